#pragma once

#include <cstdint>
#include <cstring>

// libnids' record of a connection's two ends. The decoder only keeps its
// address as the connection key and reads the four fields below through
// connection_address; <nids.h> itself stays inside mediacap/nids.
struct tuple4;

namespace mediacap::decoder {

// Mirror of libnids' `struct tuple4` (ports in host order, addresses in
// network byte order as they stand in the IP header). The capture loop checks
// at compile time that the layout matches the library's.
struct connection_address {
    std::uint16_t source;  // client port
    std::uint16_t dest;    // server port
    std::uint32_t saddr;   // client address
    std::uint32_t daddr;   // server address
};

// Reads the two ends of the connection behind a libnids connection key.
inline connection_address read_connection_address(const tuple4* key)
{
    connection_address address;
    std::memcpy(&address, key, sizeof address);
    return address;
}

// The key under which libnids would hand over a connection whose ends are
// stored in `address`. Tests and tools that feed the decoder without libnids
// use it to make keys of their own.
inline tuple4* connection_key(connection_address& address)
{
    return reinterpret_cast<tuple4*>(&address);
}

}  // namespace mediacap::decoder
