#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>

#include <boost/regex.hpp>

#include "mediacap/http/http_tuple.hpp"

namespace mediacap {

// Splits a request target at its first "?" into the path and its query
// parameters. Without a "?" only `path` is written. Otherwise `parameters` is
// emptied and filled from the "&"-separated pieces that hold exactly one "=";
// a later piece with the same name wins. Nothing is percent-decoded.
void split_url(const std::string& target, std::string& path, std::map<std::string, std::string>& parameters);

}  // namespace mediacap

namespace mediacap::http {

// Query parameters that differ between requests for the same resource and
// are left out of its key (compared case-sensitively).
const std::set<std::string>& excluded_parameters();
// The start offset parameter of the video site: "&?start=[\d\.]+&?".
const boost::regex& start_pattern();
// A byte range in a video playback query: "&range=(\d+)-(\d+)".
const boost::regex& range_pattern();
// The domain that the start offset rule applies to (Host header suffix).
const std::string& video_site_domain();

// Whether a request target is in origin form (RFC 9112 section 3.2.1): it
// starts with "/" and holds no blank, control character or DEL. Only such a
// target can be replayed against the server it was sniffed from; any other
// form (absolute, authority, asterisk, or text that would read as user-info
// or a port after the server's address) is never fetched.
bool is_origin_form(const std::string& target);

// Removes every "&range=N-M" from a "/videoplayback?" target so that a replay
// fetches the whole resource. Other targets are left alone.
void strip_range(http_request& request);

// The key under which pieces of one resource count as one download: the
// server address, "#", the path, "?", then either "id=" and the id of a
// "/videoplayback" request, or every other parameter sorted by name as
// "name=value&".
std::string request_key(const http_request& request);

// The longest request target that is replayed, in bytes: the request line
// that common servers still take. A longer one is never fetched (nor its key
// kept).
inline constexpr std::size_t longest_replayed_target = 8192;

// The filter remembers at most this many keys, holding at most this many
// bytes of key text; past either bound the oldest keys are forgotten.
inline constexpr std::size_t request_filter_keys = 65536;
inline constexpr std::size_t request_filter_bytes = std::size_t(8) << 20;

// The keys of the requests handed to the downloader lately, oldest first
// out. Capture thread only.
class request_filter {
public:
    bool contains(const http_tuple& exchange) const;
    void insert(const http_tuple& exchange);

    std::size_t size() const { return order_.size(); }
    std::size_t bytes() const { return bytes_; }

private:
    void insert(std::string key);

    // The keys in the order they came; a deque keeps them in place as it
    // grows at one end and shrinks at the other, so the set may look at them.
    std::deque<std::string> order_;
    std::unordered_set<std::string_view> keys_;
    std::size_t bytes_ = 0;
};

}  // namespace mediacap::http
