#include <gtest/gtest.h>

#include "mediacap/http/header_map.hpp"
#include "mediacap/http/http_tuple.hpp"
#include "mediacap/http/ip_to_string.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

// Counts the allocations of this program, so that a test can see that a
// lookup makes none.
namespace {
std::atomic<long> allocations{0};
}
void* operator new(std::size_t size)
{
    ++allocations;
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

using mediacap::http::header_equal;
using mediacap::http::header_hash;
using mediacap::http::header_map;

TEST(HeaderMap, LookupIgnoresCaseButNotTrailingBlank)
{
    header_map headers;
    headers["Content-Length"] = "1500";
    ASSERT_NE(headers.find("content-length"), headers.end());
    ASSERT_NE(headers.find("CONTENT-LENGTH"), headers.end());
    EXPECT_EQ(headers.find("content-length")->second, "1500");
    EXPECT_EQ(headers.find("Content-Length "), headers.end());
    EXPECT_EQ(headers.size(), 1u) << "a lookup must never create an entry";
}

TEST(HeaderMap, LookupsMakeNoString)
{
    header_map headers;
    headers["Content-Encoding"] = "gzip";
    headers["Transfer-Encoding"] = "chunked";
    const long before = allocations;
    EXPECT_EQ(headers.find("content-encoding")->second, "gzip");
    EXPECT_EQ(headers.find("TRANSFER-ENCODING")->second, "chunked");
    EXPECT_EQ(headers.find("Content-Location"), headers.end());
    EXPECT_EQ(allocations - before, 0) << "names longer than a short string were copied to look them up";
}

TEST(HeaderMap, FirstSpellingKeptLaterValueWins)
{
    header_map headers;
    headers["Host"] = "a.example";
    headers["HOST"] = "b.example";
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers.begin()->first, "Host");
    EXPECT_EQ(headers.begin()->second, "b.example");
}

TEST(HeaderHash, EmptyNameAndCase)
{
    header_hash hash;
    EXPECT_EQ(hash(""), 0u);
    EXPECT_EQ(hash("content-type"), hash("CONTENT-TYPE"));
    EXPECT_EQ(hash("Content-Type"), hash("cOnTeNt-TyPe"));
    EXPECT_NE(hash("Content-Type"), hash("Content-Length"));
    // Bytes above 0x7F are taken as negative chars and are not case-folded.
    EXPECT_NE(hash("\xe9"), hash("\xc9"));
}

TEST(HeaderHash, FollowsTheMixingRule)
{
    // One letter: h = 0 ^ ('A' + 0x9e3779b9 + 0 + 0).
    EXPECT_EQ(header_hash{}("a"), static_cast<std::uint32_t>('A' + 0x9e3779b9u));
    // A byte above 0x7F widens to a negative int before mixing.
    EXPECT_EQ(header_hash{}("\xff"), static_cast<std::uint32_t>(-1) + 0x9e3779b9u);
}

TEST(HeaderEqual, LengthAndLetters)
{
    header_equal equal;
    EXPECT_TRUE(equal("content-length", "Content-Length"));
    EXPECT_FALSE(equal("Content-Length ", "Content-Length"));
    EXPECT_FALSE(equal("Content-Lengtx", "Content-Length"));
    EXPECT_TRUE(equal("", ""));
}

TEST(IpToString, MemoryOrderBytes)
{
    auto from_bytes = [](unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
        const unsigned char bytes[4] = {a, b, c, d};
        std::uint32_t address;
        std::memcpy(&address, bytes, 4);
        return mediacap::ip_to_string(address);
    };
    EXPECT_EQ(from_bytes(0xC0, 0xA8, 0x01, 0x0A), "192.168.1.10");
    EXPECT_EQ(from_bytes(0, 0, 0, 0), "0.0.0.0");
    EXPECT_EQ(from_bytes(0xFF, 0xFF, 0xFF, 0xFF), "255.255.255.255");
}

TEST(HttpTuple, CopyIsIndependent)
{
    mediacap::http::http_request request;
    request.path = "/a";
    request.headers["Host"] = "x.example";
    mediacap::http::http_response response;
    response.status = 200;
    mediacap::http::http_tuple original(request, response);
    mediacap::http::http_tuple copy(original);
    copy.request.path = "/b";
    copy.request.headers["Host"] = "y.example";
    EXPECT_EQ(original.request.path, "/a");
    EXPECT_EQ(original.request.headers.find("host")->second, "x.example");
    EXPECT_EQ(original.response.status, 200);
}

TEST(HttpRequest, ValueInitialised)
{
    mediacap::http::http_request request;
    EXPECT_EQ(request.server_port, 0);
    EXPECT_TRUE(request.server_address.empty());
    EXPECT_TRUE(request.method.empty());
    EXPECT_TRUE(request.headers.empty());
}
