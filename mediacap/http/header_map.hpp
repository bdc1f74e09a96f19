#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace mediacap::http {

// Hash of a header name that ignores the letter case of a-z, so that
// "Content-Length" and "content-length" land in the same bucket.
struct header_hash {
    std::uint32_t operator()(const std::string& name) const noexcept;
};

// Header names compare equal when they have the same length and every pair
// of characters is equal after upper-casing with the default locale.
struct header_equal {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Map from header name to value. One entry per name whatever its case: the
// key keeps the spelling under which the name was first inserted, and a later
// field of the same name replaces the value. Readers use find(); operator[]
// inserts and is used only by the parsers.
using header_map = std::unordered_map<std::string, std::string, header_hash, header_equal>;

}  // namespace mediacap::http
