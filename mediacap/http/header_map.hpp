#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace mediacap::http {

// Hash of a header name that ignores the letter case of a-z, so that
// "Content-Length" and "content-length" land in the same bucket.
// Transparent: a lookup by string view or literal makes no string.
struct header_hash {
    using is_transparent = void;
    std::uint32_t operator()(std::string_view name) const noexcept;
};

// Header names compare equal when they have the same length and every pair
// of characters is equal after upper-casing a-z (the classic locale's rule;
// every other byte compares as it is).
struct header_equal {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// A Content-Length value as a count of bytes: an optional sign, then decimal
// digits only, within 32 bits; "-N" wraps to 2^32 - N. Anything else (empty,
// other characters, too many digits) counts as 0.
std::uint32_t content_length_value(std::string_view value) noexcept;

// Map from header name to value. One entry per name whatever its case: the
// key keeps the spelling under which the name was first inserted, and a later
// field of the same name replaces the value. Readers use find(); operator[]
// inserts and is used only by the parsers.
using header_map = std::unordered_map<std::string, std::string, header_hash, header_equal>;

}  // namespace mediacap::http
