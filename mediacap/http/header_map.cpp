#include "mediacap/http/header_map.hpp"

#include <limits>

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

std::uint32_t content_length_value(std::string_view value) noexcept
{
    bool negative = false;
    if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    if (value.empty())
        return 0;
    std::uint64_t number = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + static_cast<unsigned>(c - '0');
        if (number > std::numeric_limits<std::uint32_t>::max())
            return 0;
    }
    const auto length = static_cast<std::uint32_t>(number);
    return negative ? 0u - length : length;
}

}  // namespace mediacap::http
