#pragma once

#include <cstdint>
#include <string>

namespace mediacap {

// Writes an IPv4 address as libnids stores it (network byte order in memory)
// as dotted decimal text: the bytes C0 A8 01 0A give "192.168.1.10".
std::string ip_to_string(std::uint32_t address);

}  // namespace mediacap
