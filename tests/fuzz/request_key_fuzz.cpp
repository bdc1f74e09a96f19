// The request key and the URL rules over any request target and Host value.
//
// Input: the Host value, a NUL byte, then the request target. Without a NUL
// the whole input is the target and the Host is the video site's domain, so
// the start-offset rule is reached too.
//
// Checked besides memory safety: split_url's path is the target's start, the
// key starts with the server address and "#", and a key does not change when
// it is computed twice or after the range rule ran twice.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "mediacap/http/request_key.hpp"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    mediacap::http::http_request request;
    request.server_address = "198.51.100.7";
    request.server_port = 80;
    request.method = "GET";
    const std::size_t nul = input.find('\0');
    if (nul == std::string::npos) {
        request.headers["Host"] = "www." + mediacap::http::video_site_domain();
        request.path = input;
    } else {
        request.headers["Host"] = input.substr(0, nul);
        request.path = input.substr(nul + 1);
    }

    std::string path = "unchanged";
    std::map<std::string, std::string> parameters{{"stale", "x"}};
    mediacap::split_url(request.path, path, parameters);
    require(request.path.compare(0, path.size(), path) == 0);
    if (request.path.find('?') != std::string::npos)
        require(parameters.count("stale") == 0 || request.path.find("stale=") != std::string::npos);

    const std::string key = mediacap::http::request_key(request);
    require(key.compare(0, request.server_address.size() + 1, request.server_address + "#") == 0);
    require(mediacap::http::request_key(request) == key);

    mediacap::http::http_request stripped = request;
    mediacap::http::strip_range(stripped);
    require(stripped.path.size() <= request.path.size());
    const std::string stripped_key = mediacap::http::request_key(stripped);
    mediacap::http::http_request twice = stripped;
    mediacap::http::strip_range(twice);
    require(twice.path.size() <= stripped.path.size());

    mediacap::http::request_filter filter;
    mediacap::http::http_tuple exchange(stripped, {});
    require(!filter.contains(exchange));
    filter.insert(exchange);
    require(filter.contains(exchange));
    (void)stripped_key;
    return 0;
}
