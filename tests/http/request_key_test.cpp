#include <gtest/gtest.h>

#include "mediacap/http/request_key.hpp"

#include <algorithm>
#include <map>
#include <string>

using mediacap::http::http_request;
using mediacap::http::http_response;
using mediacap::http::http_tuple;

namespace {

http_request make_request(const std::string& path, const std::string& host = "media.example",
                          const std::string& server = "10.0.0.5")
{
    http_request request;
    request.server_address = server;
    request.server_port = 80;
    request.method = "GET";
    request.path = path;
    if (!host.empty())
        request.headers["Host"] = host;
    return request;
}

std::string stripped(const std::string& path)
{
    http_request request = make_request(path);
    mediacap::http::strip_range(request);
    return request.path;
}

std::string key_of(const std::string& path, const std::string& host = "media.example")
{
    return mediacap::http::request_key(make_request(path, host));
}

}  // namespace

TEST(StripRange, OnlyPlaybackTargetsAndOnlyAfterAnAmpersand)
{
    struct {
        std::string path, expected;
    } cases[] = {
        {"/videoplayback?id=abc&itag=34&range=0-1000", "/videoplayback?id=abc&itag=34"},
        {"/videoplayback?range=0-1000&id=abc", "/videoplayback?range=0-1000&id=abc"},
        {"/videoplayback?itag=34&range=5-9", "/videoplayback?itag=34"},
        {"/videoplayback?a=1&range=1-2&b=2&range=3-4", "/videoplayback?a=1&b=2"},
        {"/videoplayback?a=1&range=1-x", "/videoplayback?a=1&range=1-x"},
        {"/other?a=1&range=0-1000", "/other?a=1&range=0-1000"},
        {"/VideoPlayback?a=1&range=0-1000", "/VideoPlayback?a=1&range=0-1000"},
        {"/videoplayback&range=0-1000", "/videoplayback&range=0-1000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stripped(c.path), c.expected) << "path " << c.path;
}

TEST(SplitUrl, PiecesWithExactlyOneEqualsSign)
{
    std::string path;
    std::map<std::string, std::string> parameters{{"old", "1"}};
    mediacap::split_url("/v", path, parameters);
    EXPECT_EQ(path, "/v");
    EXPECT_EQ(parameters.size(), 1u) << "no query leaves the map as it was";

    mediacap::split_url("/v?flag&a=1&x=1=2&&A=2&a=3&=e&n=", path, parameters);
    EXPECT_EQ(path, "/v");
    const std::map<std::string, std::string> expected{{"a", "3"}, {"A", "2"}, {"", "e"}, {"n", ""}};
    EXPECT_EQ(parameters, expected);

    mediacap::split_url("/p%20q?x=%41", path, parameters);
    EXPECT_EQ(path, "/p%20q");
    EXPECT_EQ(parameters.at("x"), "%41") << "nothing is percent-decoded";
}

TEST(RequestKey, Examples)
{
    const std::string site = "www.youtube.com";
    struct {
        std::string path, host, expected;
    } cases[] = {
        // A playback target with an id is keyed by the id alone.
        {"/videoplayback?id=abc&itag=34", "", "10.0.0.5#/videoplayback?id=abc"},
        {"/videoplayback?range=0-1000&id=abc", "", "10.0.0.5#/videoplayback?id=abc"},
        {"/videoplayback?itag=34", "", "10.0.0.5#/videoplayback?itag=34&"},
        {"/videoplayback?itag=34&range=5-9", "", "10.0.0.5#/videoplayback?itag=34&range=5-9&"},
        // Sorted names, excluded names dropped, exclusion case-sensitive.
        {"/v?b=2&a=1&token=x&aksessionid=y", "", "10.0.0.5#/v?a=1&b=2&"},
        {"/v?Token=x", "", "10.0.0.5#/v?Token=x&"},
        {"/v", "", "10.0.0.5#/v?"},
        {"/v?", "", "10.0.0.5#/v?"},
        {"/v?flag&a=1&x=1=2&a=3", "", "10.0.0.5#/v?a=3&"},
        // The start offset rule applies only on the video site.
        {"/video?a=1&start=5&b=2", site, "10.0.0.5#/video?"},
        {"/video?start=12.5&a=1", site, "10.0.0.5#/video?a=1&"},
        {"/video?start=12.5&a=1", "WWW.YOUTUBE.COM", "10.0.0.5#/video?a=1&"},
        {"/video?start=12.5&a=1", "notyoutube.com", "10.0.0.5#/video?a=1&"},
        {"/video?start=12.5&a=1", "media.example", "10.0.0.5#/video?a=1&start=12.5&"},
        {"/video?start=12.5&a=1", "youtube.com.example", "10.0.0.5#/video?a=1&start=12.5&"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(key_of(c.path, c.host), c.expected) << "path " << c.path << " host " << c.host;
}

TEST(RequestKey, PiecesOfOneResourceShareAKeyAcrossStartValues)
{
    const std::string site = "youtube.com";
    EXPECT_EQ(key_of("/video?a=1&start=5&b=2", site), key_of("/video?a=9&start=7&b=3", site));
    EXPECT_NE(key_of("/video?a=1&start=5&b=2"), key_of("/video?a=9&start=7&b=3"));
}

TEST(RequestFilter, OnePerKeyAndServer)
{
    mediacap::http::request_filter filter;
    const http_response response{};
    const http_tuple first(make_request("/a?b=1&token=1", "x", "10.0.0.5"), response);
    const http_tuple again(make_request("/a?token=2&b=1", "y", "10.0.0.5"), response);
    const http_tuple elsewhere(make_request("/a?b=1", "x", "10.0.0.6"), response);

    EXPECT_FALSE(filter.contains(first));
    filter.insert(first);
    EXPECT_TRUE(filter.contains(first));
    EXPECT_TRUE(filter.contains(again)) << "same path and query on a new connection";
    EXPECT_FALSE(filter.contains(elsewhere)) << "another server address";
    filter.insert(again);
    filter.insert(elsewhere);
    EXPECT_TRUE(filter.contains(elsewhere));
}

// Past either bound, by count of keys or by bytes of key text, the oldest
// keys are forgotten, so those resources may be fetched again.
TEST(RequestFilter, ForgetsTheOldestKeysPastItsBounds)
{
    using mediacap::http::request_filter_bytes;
    using mediacap::http::request_filter_keys;
    struct {
        const char* name;
        std::size_t target_length, inserted;
    } cases[] = {
        {"short keys: the count bound", 20, request_filter_keys + 10},
        {"long keys: the byte bound", mediacap::http::longest_replayed_target, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto exchange = [&](std::size_t number) {
            std::string target = "/" + std::to_string(number) + "/";
            target.resize(c.target_length, 'a');
            return http_tuple(make_request(target), http_response{});
        };
        mediacap::http::request_filter filter;
        for (std::size_t i = 0; i < c.inserted; ++i)
            filter.insert(exchange(i));
        const std::size_t key_size = mediacap::http::request_key(exchange(0).request).size();
        const std::size_t kept = std::min(request_filter_keys, request_filter_bytes / key_size);
        EXPECT_EQ(filter.size(), kept);
        EXPECT_EQ(filter.bytes(), kept * key_size);
        EXPECT_FALSE(filter.contains(exchange(c.inserted - kept - 1))) << "the newest forgotten";
        EXPECT_TRUE(filter.contains(exchange(c.inserted - kept))) << "the oldest kept";
        EXPECT_TRUE(filter.contains(exchange(c.inserted - 1)));
        filter.insert(exchange(c.inserted - 1));
        EXPECT_TRUE(filter.contains(exchange(c.inserted - kept))) << "a key inserted again is not new";
    }
}
