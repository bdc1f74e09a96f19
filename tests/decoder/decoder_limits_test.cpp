// Bounds: what hostile or broken traffic may make the decoder hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <malloc.h>
#include <string>
#include <vector>

#include "tests/decoder/decoder_harness.hpp"

using mediacap::decoder::http_decoder;
using namespace decoder_test;

namespace {

constexpr std::size_t head_limit = http_decoder::max_head_size;

struct endless_case {
    const char* name;
    std::vector<segment> before;  // what comes first
    bool from_client;             // the direction that never ends its head or line
    std::vector<segment> after;   // valid traffic afterwards, on both sides
    std::vector<std::string> events;
};

// A direction that never ends a head (or chunk size line) is given up at the
// limit: it is consumed from then on, so the capture loop never holds more
// than the limit of it, and the other direction goes on.
TEST(DecoderLimits, EndlessHeadGivesUpItsDirectionOnly)
{
    const std::vector<endless_case> table = {
        {"request head", {}, true, {server(ok("x"))}, {"D1 x", "F1"}},
        {"response head", {client(get("/a") + get("/b"))}, false, {server(ok("y"))}, {}},
        {"chunk size line",
         {client(get("/a") + get("/b")), server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")}, false,
         {server(ok("z"))}, {}},
        {"request head after a good exchange", {client(get("/a")), server(ok("1"))}, true,
         {client(get("/c")), server(ok("2"))}, {"E1 GET /a 200", "D1 1", "F1", "D1 2", "F1"}},
    };
    for (const endless_case& c : table) {
        http_decoder decoder;
        recorder events(decoder);
        connection conn(decoder);
        conn.open();
        for (const segment& s : c.before)
            conn.arrive(s);
        std::size_t most_held = 0;
        for (int i = 0; i < 700; ++i) {  // about 1 MB without a line end
            conn.arrive({c.from_client, std::string(1448, i % 2 ? 'h' : '\r')});
            most_held = std::max(most_held, conn.unconsumed(c.from_client).size());
        }
        EXPECT_LT(most_held, head_limit + 1448) << c.name;
        EXPECT_TRUE(conn.unconsumed(c.from_client).empty()) << c.name;
        for (const segment& s : c.after)
            conn.arrive(s);
        conn.close();
        std::vector<std::string> expected = c.events;
        expected.push_back("C1");
        EXPECT_EQ(events.events, expected) << c.name;
    }
}

// The limit counts the head with its end, whatever the segmentation: a head
// of exactly the limit is read, one byte more is not.
TEST(DecoderLimits, HeadOfExactlyTheLimitIsReadOneMoreIsNot)
{
    const auto head_of = [](std::size_t size, const std::string& start) {
        std::string head = start + "X-Pad: ";
        head += std::string(size - head.size() - 4, 'p');
        return head + "\r\n\r\n";
    };
    for (std::size_t piece : {std::size_t{1448}, std::size_t{65536}, std::size_t{1000000}}) {
        const std::string request_ok = head_of(head_limit, "GET /r HTTP/1.1\r\n");
        const std::string response_ok = head_of(head_limit, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n");
        EXPECT_EQ(decode(in_pieces({client(request_ok), server(response_ok + "ab")}, piece)),
                  (std::vector<std::string>{"E1 GET /r 200", "D1 ab", "F1", "C1"}))
            << "pieces of " << piece;

        const std::string request_long = head_of(head_limit + 1, "GET /r HTTP/1.1\r\n");
        EXPECT_EQ(decode(in_pieces({client(request_long + get("/s")), server(ok("ab"))}, piece)),
                  (std::vector<std::string>{"D1 ab", "F1", "C1"}))
            << "pieces of " << piece;
        const std::string response_long = head_of(head_limit + 1, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n");
        EXPECT_EQ(decode(in_pieces({client(get("/r")), server(response_long + "ab" + ok("cd"))}, piece)),
                  (std::vector<std::string>{"C1"}))
            << "pieces of " << piece;
    }
}

TEST(DecoderLimits, OtherConnectionsGoOnBesideAnUnparseableOne)
{
    http_decoder decoder;
    recorder events(decoder);
    connection bad(decoder, 0x0100007f, 40000);
    connection good(decoder, 0x0100007f, 40001);
    bad.open();
    good.open();
    bad.arrive(client(get("/a")));
    good.arrive(client(get("/g")));
    for (int i = 0; i < 100; ++i) {
        bad.arrive(server(std::string(1448, 'n')));
        if (i == 50)
            good.arrive(server(ok("fine")));
    }
    good.arrive(client(get("/h")));
    good.arrive(server(ok("again")));
    good.close();
    bad.close();
    EXPECT_EQ(events.events, (std::vector<std::string>{"E2 GET /g 200", "D2 fine", "F2", "E2 GET /h 200",
                                                       "D2 again", "F2", "C2", "C1"}));
}

// A head of thousands of tiny fields keeps only the first ones in its map,
// except the fields the program reads, which are kept wherever they stand:
// nothing frames, types or names a body unless the map holds it too.
TEST(DecoderLimits, FieldsPastTheLimitAreDroppedButTheFieldsReadAreKept)
{
    std::string fields;
    for (int i = 0; i < 2000; ++i)
        fields += "F" + std::to_string(i) + ":" + std::to_string(i) + "\r\n";
    const std::string request_read = "host: far.example\r\nContent-Length: 3\r\n";
    const std::string response_read = "F0: again\r\nContent-Type: image/png\r\nContent-Encoding: gzip\r\n"
                                      "Transfer-Encoding: chunked\r\nContent-Length: 2\r\n";
    http_decoder decoder;
    recorder events(decoder);
    std::vector<mediacap::http::http_tuple> seen;
    decoder.exchange_signal.connect(
        [&](unsigned, const mediacap::http::http_tuple& exchange) { seen.push_back(exchange); });
    connection conn(decoder);
    conn.open();
    conn.arrive(client("POST /f HTTP/1.1\r\n" + fields + request_read + "\r\nabc" + get("/g")));
    conn.arrive(client(""));
    conn.arrive(server("HTTP/1.1 200 OK\r\n" + fields + response_read + "\r\nok" + ok("g")));
    conn.close();
    EXPECT_EQ(events.events, (std::vector<std::string>{"E1 POST /f 200 body=abc", "D1 ok", "F1", "E1 GET /g 200",
                                                       "D1 g", "F1", "C1"}));
    ASSERT_EQ(seen.size(), 2u);
    const auto& request = seen[0].request.headers;
    const auto& response = seen[0].response.headers;
    EXPECT_EQ(request.size(), http_decoder::max_fields + 2);
    EXPECT_EQ(request.count("F127"), 1u);
    EXPECT_EQ(request.count("F128"), 0u);
    EXPECT_EQ(request.at("Host"), "far.example");
    EXPECT_EQ(request.at("Content-Length"), "3");
    EXPECT_EQ(response.size(), http_decoder::max_fields + 4);
    EXPECT_EQ(response.at("F0"), "again") << "a field already kept is still replaced";
    EXPECT_EQ(response.at("Content-Type"), "image/png");
    EXPECT_EQ(response.at("Content-Encoding"), "gzip");
    EXPECT_EQ(response.at("Transfer-Encoding"), "chunked");
    EXPECT_EQ(response.at("Content-Length"), "2");
}

std::string post(const std::string& path, const std::string& body)
{
    return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Request bodies are kept for a replay up to a limit per connection; a
// request that lost part of its body is marked, and once its response has
// taken it the room is free again.
TEST(DecoderLimits, RequestBodiesAreKeptUpToTheConnectionLimit)
{
    constexpr std::size_t limit = http_decoder::max_kept_request_bodies;
    std::string big(limit + 1000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    const std::string half(limit / 2 + 1, 'h');
    const std::string small = "small body";

    http_decoder decoder;
    std::vector<std::pair<std::size_t, bool>> seen;  // body size, truncated
    std::vector<std::string> bodies;
    decoder.exchange_signal.connect([&](unsigned, const mediacap::http::http_tuple& exchange) {
        seen.emplace_back(exchange.request.body.size(), exchange.request.body_truncated);
        bodies.push_back(exchange.request.body);
    });
    connection conn(decoder);
    conn.open();
    for (const segment& s : in_pieces({client(post("/big", big))}, 1448))
        conn.arrive(s);
    conn.arrive(server(ok("1")));
    // Room is back after the response: a small body is whole again.
    conn.arrive(client(post("/small", small)));
    conn.arrive(server(ok("2")));
    // Two pipelined bodies that together pass the limit: the second is cut.
    for (const segment& s : in_pieces({client(post("/h1", half) + post("/h2", half))}, 1448))
        conn.arrive(s);
    conn.arrive(server(ok("3") + ok("4")));
    conn.close();

    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(limit, true));
    EXPECT_EQ(bodies[0], big.substr(0, limit)) << "the kept part is the start of the body";
    EXPECT_EQ(seen[1], std::make_pair(small.size(), false));
    EXPECT_EQ(bodies[1], small);
    EXPECT_EQ(seen[2], std::make_pair(half.size(), false));
    EXPECT_EQ(seen[3], std::make_pair(limit - half.size(), true));
}

// Requests that no response takes (a capture that sees only one direction, a
// client that floods) wait up to a bound in number and in time; past it the
// connection is given up whole: its waiting requests are dropped (one dropped
// alone would pair a later response with the wrong request), and only a body
// already under way is still followed to its end.
TEST(DecoderLimits, WaitingRequestsPastTheirBoundGiveTheConnectionUp)
{
    constexpr std::size_t limit = http_decoder::max_queued_requests;
    constexpr std::int64_t wait = http_decoder::max_request_wait_seconds;
    const auto gets = [](std::size_t count) {
        std::string requests;
        for (std::size_t i = 0; i < count; ++i)
            requests += get("/" + std::to_string(i));
        return requests;
    };
    const std::string under_way = ok("abcd");
    struct bound_case {
        const char* name;
        std::vector<segment> before;
        std::int64_t waited;  // seconds of capture time between before and after
        std::vector<segment> after;
        std::vector<std::string> events;
        std::vector<segment> midway = {};  // half way through the wait
    };
    const std::vector<bound_case> table = {
        {"as many as may wait", {client(gets(limit))}, 0, {server(ok("r"))}, {"E1 GET /0 200", "D1 r", "F1"}},
        {"one more", {client(gets(limit + 1))}, 0, {server(ok("r"))}, {}},
        {"waited as long as they may", {client(gets(2))}, wait, {server(ok("r"))}, {"E1 GET /0 200", "D1 r", "F1"}},
        {"waited longer", {client(gets(2))}, wait + 1, {server(ok("r"))}, {}},
        {"one more while a body is under way",
         {client(get("/a")), server(under_way.substr(0, under_way.size() - 2)), client(gets(limit + 1))}, 0,
         {server("cd" + ok("r"))}, {"E1 GET /a 200", "D1 abcd", "F1"}},
        {"waited longer behind a slow answer", {client(gets(2)), server(under_way.substr(0, under_way.size() - 2))},
         wait + 1, {server("d" + ok("r"))}, {"E1 GET /0 200", "D1 abcd", "F1", "E1 GET /1 200", "D1 r", "F1"},
         {server("c")}},
    };
    for (const bound_case& c : table) {
        http_decoder decoder;
        recorder events(decoder);
        connection conn(decoder);
        decoder.time_passed(1000);
        conn.open();
        for (const segment& s : c.before)
            conn.arrive(s);
        decoder.time_passed(1000 + c.waited / 2);
        for (const segment& s : c.midway)
            conn.arrive(s);
        decoder.time_passed(1000 + c.waited);
        for (const segment& s : c.after)
            conn.arrive(s);
        EXPECT_TRUE(conn.unconsumed(true).empty()) << c.name;
        conn.close();
        std::vector<std::string> expected = c.events;
        expected.push_back("C1");
        EXPECT_EQ(events.events, expected) << c.name;
    }
}

// The worst a connection can do within the limits: as many waiting requests
// as allowed, each head as long as allowed and made of tiny fields, and as
// much body as is kept. Together they must stay within a few MiB of heap.
TEST(DecoderLimits, ConnectionAtEveryLimitStaysWithinItsMemoryBound)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator does not report to mallinfo2";
#else
    std::string fields;
    for (int i = 0; fields.size() < http_decoder::max_head_size - 200; ++i)
        fields += std::to_string(i) + ":\r\n";
    const std::size_t body_each = http_decoder::max_kept_request_bodies / http_decoder::max_queued_requests;
    std::string requests;
    for (std::size_t i = 0; i < http_decoder::max_queued_requests; ++i)
        requests += "POST /" + std::to_string(i) + " HTTP/1.1\r\n" + fields +
                    "Content-Length: " + std::to_string(body_each) + "\r\n\r\n" + std::string(body_each, 'b');

    http_decoder decoder;
    connection conn(decoder);
    conn.open();
    const std::size_t before = mallinfo2().uordblks;
    for (const segment& s : in_pieces({client(requests)}, 65536))
        conn.arrive(s);
    const std::size_t held = mallinfo2().uordblks - before;
    EXPECT_TRUE(conn.unconsumed(true).empty());
    EXPECT_LT(held, std::size_t{7} << 20) << "bytes held by one connection's decoder state";
    conn.close();
#endif
}

}  // namespace
