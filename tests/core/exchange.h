#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "mediacap/http/http_tuple.hpp"

// Builds the exchange the decoder would hand over for a GET of `path` whose
// response carries `status` and the given response headers. `host` empty
// means the request has no Host header at all.
inline mediacap::http::http_tuple makeExchange(
    const std::string& host, const std::string& path, int status,
    std::initializer_list<std::pair<std::string, std::string>> responseHeaders)
{
    mediacap::http::http_tuple exchange;
    exchange.request.server_address = "127.0.0.1";
    exchange.request.server_port = 80;
    exchange.request.method = "GET";
    exchange.request.path = path;
    if (!host.empty())
        exchange.request.headers["Host"] = host;
    exchange.response.status = status;
    for (const auto& [name, value] : responseHeaders)
        exchange.response.headers[name] = value;
    return exchange;
}
