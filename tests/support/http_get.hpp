#pragma once

#include <cstdint>
#include <string>

namespace test_support {

// One GET of `path` on a fresh connection to `address`:`port` (dotted IPv4),
// with the given Host header and `extra_headers` (whole lines, each ending in
// CR LF) as a client on the watched network would send it. Returns the
// response body, read up to exactly the length its head announces, so that a
// server keeping the connection alive does not matter; empty on any failure,
// a head without Content-Length, or after 10 s without data.
std::string http_get(const std::string& address, std::uint16_t port, const std::string& host,
                     const std::string& path, const std::string& extra_headers);

}  // namespace test_support
