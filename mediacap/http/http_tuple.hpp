#pragma once

#include <cstdint>
#include <string>

#include "mediacap/http/header_map.hpp"

namespace mediacap::http {

// One sniffed request head and its body. Strings hold the bytes as sniffed.
struct http_request {
    std::string server_address;     // dotted IPv4 of the connection's server, never the Host header
    std::uint16_t server_port = 0;  // the connection's destination port
    std::string method;             // first word of the request line
    std::string path;               // request target (path and query) as sent
    std::string body;               // request body; empty without a Content-Length
    // The body was longer than the decoder keeps in memory: `body` holds only
    // its start, so replaying this request would send a different body.
    bool body_truncated = false;
    header_map headers;
};

// The head of one response.
struct http_response {
    std::int32_t status = 0;  // the number after the protocol word of the status line
    header_map headers;
};

// One exchange: a request and the response paired with it.
struct http_tuple {
    http_tuple() = default;
    http_tuple(const http_request& request, const http_response& response)
        : request(request), response(response)
    {
    }

    http_request request;
    http_response response;
};

}  // namespace mediacap::http
