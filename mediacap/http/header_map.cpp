#include "mediacap/http/header_map.hpp"

namespace mediacap::http {

namespace {

int upper(char byte)
{
    // The byte is taken as a signed char; under the classic locale only a-z
    // change when upper-cased, every other value passes unchanged.
    int c = static_cast<signed char>(byte);
    if (c >= 'a' && c <= 'z')
        c -= 'a' - 'A';
    return c;
}

}  // namespace

std::uint32_t header_hash::operator()(std::string_view name) const noexcept
{
    std::uint32_t h = 0;
    for (char byte : name)
        h ^= static_cast<std::uint32_t>(upper(byte)) + 0x9e3779b9u + (h << 6) + (h >> 2);
    return h;
}

bool header_equal::operator()(std::string_view a, std::string_view b) const noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

}  // namespace mediacap::http
