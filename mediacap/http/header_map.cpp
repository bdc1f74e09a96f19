#include "mediacap/http/header_map.hpp"

#include <locale>

namespace mediacap::http {

std::uint32_t header_hash::operator()(const std::string& name) const noexcept
{
    std::uint32_t h = 0;
    for (char byte : name) {
        // The byte is taken as a signed char; under the classic locale only
        // a-z change when upper-cased, every other value passes unchanged.
        int c = static_cast<signed char>(byte);
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
        h ^= static_cast<std::uint32_t>(c) + 0x9e3779b9u + (h << 6) + (h >> 2);
    }
    return h;
}

bool header_equal::operator()(const std::string& a, const std::string& b) const
{
    if (a.size() != b.size())
        return false;
    const std::locale locale;
    const auto& ctype = std::use_facet<std::ctype<char>>(locale);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ctype.toupper(a[i]) != ctype.toupper(b[i]))
            return false;
    }
    return true;
}

}  // namespace mediacap::http
