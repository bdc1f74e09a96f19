#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <malloc.h>
#include <map>
#include <string>
#include <vector>

#include "tests/decoder/decoder_harness.hpp"

using mediacap::decoder::connection_address;
using mediacap::decoder::connection_key;
using mediacap::decoder::http_decoder;
using namespace decoder_test;

namespace {
const std::vector<decoder_case> cases = {
    {"plain exchange", {client(get("/a")), server(ok("hello"))}, {"E1 GET /a 200", "D1 hello", "F1"}, true},
    {"two requests in one segment", {client(get("/a") + get("/b")), server(ok("one") + ok("two"))},
     {"E1 GET /a 200", "D1 one", "F1", "E1 GET /b 200", "D1 two", "F1"}, true},
    {"pipelined, answered one by one", {client(get("/a") + get("/b") + get("/c")), server(ok("1")), server(ok("22")), server(ok("333"))},
     {"E1 GET /a 200", "D1 1", "F1", "E1 GET /b 200", "D1 22", "F1", "E1 GET /c 200", "D1 333", "F1"}, true},
    {"request body in the head's segment",
     {client("POST /u HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"), server(ok("done"))},
     {"E1 POST /u 200 body=abc", "D1 done", "F1"}, true},
    {"body end and next head in one segment", {client(get("/a") + get("/b")), server(ok("first") + ok("second"))},
     {"E1 GET /a 200", "D1 first", "F1", "E1 GET /b 200", "D1 second", "F1"}, true},
    {"lower-case content-length", {client(get("/a")), server("HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nhi")},
     {"E1 GET /a 200", "D1 hi", "F1"}, true},
    {"length 0 takes a request silently", {client(get("/a") + get("/b")), server(ok("") + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"chunked response skipped", {client(get("/a") + get("/b")), server(chunked_ok + ok("next"))},
     {"E1 GET /b 200", "D1 next", "F1"}, true},
    {"Chunked with a capital is not chunked",
     {client(get("/a") + get("/b")), server("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n" + ok("z"))},
     {"E1 GET /b 200", "D1 z", "F1"}, true},
    {"length wins over chunked",
     {client(get("/a")), server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\nabcd")},
     {"E1 GET /a 200", "D1 abcd", "F1"}, true},
    {"no queued request", {server(ok("orphan"))}, {"D1 orphan", "F1"}, true},
    {"status without a number", {client(get("/a")), server("HTTP/1.1 OK\r\nContent-Length: 1\r\n\r\nx")},
     {"E1 GET /a 0", "D1 x", "F1"}, true},
    {"empty content-length", {client(get("/a") + get("/b")), server("HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"content-length with letters", {client(get("/a") + get("/b")), server("HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"content-length over 32 bits", {client(get("/a") + get("/b")), server("HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"content-length sign only", {client(get("/a") + get("/b")), server("HTTP/1.1 200 OK\r\nContent-Length: +\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"bad request content-length reads no body",
     {client("POST /u HTTP/1.1\r\nContent-Length: ten\r\n\r\n" + get("/b")), server(ok("1") + ok("2"))},
     {"E1 POST /u 200", "D1 1", "F1", "E1 GET /b 200", "D1 2", "F1"}, true},
    {"plus sign accepted", {client(get("/a")), server("HTTP/1.1 200 OK\r\nContent-Length: +3\r\n\r\nabc")},
     {"E1 GET /a 200", "D1 abc", "F1"}, true},
    {"minus one waits for the close", {client(get("/a")), server("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nabc")},
     {"E1 GET /a 200", "D1 abc"}, false},
    {"closed in the middle of a body", {client(get("/a")), server("HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n0123456789")},
     {"E1 GET /a 200", "D1 0123456789"}, false},
    {"request line without a blank after the path", {client("GET /x\r\nAccept:*\r\n\r\n"), server(ok("q"))},
     {"E1 GET /x\r\nAccept:* 200", "D1 q", "F1"}, true},
    {"chunked response with trailer fields",
     {client(get("/a") + get("/b")),
      server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nX-Sum: 1\r\nX-Other: 2\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"304 with the stored length has no body",
     {client(get("/a") + get("/b")), server("HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"204 with a length has no body",
     {client(get("/a") + get("/b")), server("HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"answer to HEAD has no body",
     {client("HEAD /a HTTP/1.1\r\n\r\n" + get("/b")), server(ok("12345").substr(0, ok("12345").size() - 5) + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"304 chunked has no body either",
     {client(get("/a") + get("/b")), server("HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n" + ok("b"))},
     {"E1 GET /b 200", "D1 b", "F1"}, true},
    {"response never comes", {client(get("/a"))}, {}, true},
    {"incomplete head at the close", {client(get("/a")), server("HTTP/1.1 200 OK\r\nContent-Len")}, {}, false},
};

TEST_P(DecoderCases, Whole)
{
    const decoder_case& c = GetParam();
    std::vector<std::string> expected = c.events;
    expected.push_back("C1");
    EXPECT_EQ(decode(c.script), expected);
}

TEST_P(DecoderCases, SplitAtEveryByte)
{
    const decoder_case& c = GetParam();
    std::vector<std::string> expected = c.events;
    expected.push_back("C1");
    std::size_t total = 0;
    for (const segment& s : c.script)
        total += s.bytes.size();
    for (std::size_t position = 1; position < total; ++position)
        ASSERT_EQ(decode(split_at(c.script, position)), expected) << "split at byte " << position;
}

TEST_P(DecoderCases, InPiecesOfEverySmallSize)
{
    const decoder_case& c = GetParam();
    std::vector<std::string> expected = c.events;
    expected.push_back("C1");
    for (std::size_t piece : {1, 2, 3, 5, 7, 16, 61})
        ASSERT_EQ(decode(in_pieces(c.script, piece)), expected) << "pieces of " << piece << " bytes";
}

TEST_P(DecoderCases, TwiceOnOneKeptAliveConnection)
{
    const decoder_case& c = GetParam();
    if (!c.repeatable)
        GTEST_SKIP() << "the case leaves a body open";
    std::vector<segment> script = c.script;
    script.insert(script.end(), c.script.begin(), c.script.end());
    std::vector<std::string> expected = c.events;
    expected.insert(expected.end(), c.events.begin(), c.events.end());
    expected.push_back("C1");
    EXPECT_EQ(decode(script), expected);
    EXPECT_EQ(decode(in_pieces(script, 1)), expected) << "a byte at a time";
}

INSTANTIATE_TEST_SUITE_P(Table, DecoderCases, ::testing::ValuesIn(cases), case_name);

std::map<std::string, std::string> sorted(const mediacap::http::header_map& headers)
{
    return {headers.begin(), headers.end()};
}

struct header_case {
    const char* fields;  // header lines of the head, each ending in CR LF
    std::map<std::string, std::string> expected;
};

// Both heads use the same field rules; the response head here has the
// Content-Length that makes the exchange visible.
TEST(DecoderHeaders, FieldLinesSplitAtTheFirstColon)
{
    const std::vector<header_case> table = {
        {"Host: example.com:8080\r\n", {{"Host", "example.com:8080"}}},
        {"Referer: http://a.example/b?c=d\r\n", {{"Referer", "http://a.example/b?c=d"}}},
        {"X-Time:  12:30:45 \r\n", {{"X-Time", "12:30:45"}}},
        {"Empty:\r\n", {{"Empty", ""}}},
        {"  Padded-Name \t:\t value  \r\n", {{"Padded-Name", "value"}}},
        {"no colon here\r\n", {}},
        {"Accept: a\r\naccept: b\r\n", {{"Accept", "b"}}},
        {"A: 1\r\nB: 2\r\n", {{"A", "1"}, {"B", "2"}}},
    };
    for (const header_case& c : table) {
        http_decoder decoder;
        recorder events(decoder);
        connection conn(decoder);
        conn.open();
        conn.arrive(client(std::string("GET / HTTP/1.1\r\n") + c.fields + "\r\n"));
        conn.arrive(server(std::string("HTTP/1.1 200 OK\r\n") + c.fields + "Content-Length: 1\r\n\r\nx"));
        ASSERT_EQ(events.events.size(), 3u) << c.fields;
        EXPECT_EQ(sorted(events.last_exchange.request.headers), c.expected) << c.fields;
        auto response_expected = c.expected;
        response_expected["Content-Length"] = "1";
        EXPECT_EQ(sorted(events.last_exchange.response.headers), response_expected) << c.fields;
    }
}

TEST(DecoderHeaders, RequestLineAndConnectionEnds)
{
    http_decoder decoder;
    recorder events(decoder);
    connection conn(decoder, inet_addr("192.168.1.10"), 51000, inet_addr("10.0.0.2"), 8080);
    conn.open();
    conn.arrive(client("  GET /v/clip.mp4?range=0-100 HTTP/1.1\r\nHost: cdn\r\n\r\n"));
    conn.arrive(server("HTTP/1.0  206 Partial\r\nContent-Length: 2\r\n\r\nab"));
    const auto& request = events.last_exchange.request;
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/v/clip.mp4?range=0-100");
    EXPECT_EQ(request.server_address, "10.0.0.2") << "the connection's server, not the Host header";
    EXPECT_EQ(request.server_port, 8080);
    EXPECT_EQ(events.last_exchange.response.status, 206);
    connection_address same_ends{51000, 8080, inet_addr("192.168.1.10"), inet_addr("10.0.0.2")};
    const auto found = decoder.find_stream(connection_key(same_ends));
    EXPECT_FALSE(found) << "a key is compared as a pointer, not by its contents";
}

TEST(DecoderConnections, IdsCountFromOnePerDecoderAndStreamsLeaveAtClose)
{
    http_decoder decoder;
    recorder events(decoder);
    connection first(decoder, inet_addr("10.1.1.1"), 1000, inet_addr("10.2.2.2"), 80);
    connection second(decoder);
    connection third(decoder);
    first.open();
    second.open();
    third.open();
    first.arrive(client(get("/1")));
    third.arrive(client(get("/3")));
    third.arrive(server(ok("c")));
    first.arrive(server(ok("a")));
    second.close(4);
    first.close();
    third.close(6);
    EXPECT_EQ(events.events, (std::vector<std::string>{"E3 GET /3 200", "D3 c", "F3", "E1 GET /1 200", "D1 a", "F1",
                                                       "C2", "C1", "C3"}));

    http_decoder next_run;
    recorder next_events(next_run);
    connection again(next_run);
    again.open();
    again.close();
    EXPECT_EQ(next_events.events, std::vector<std::string>{"C1"}) << "a new decoder counts from 1 again";
}

TEST(DecoderConnections, StreamRecordsTheConnectionEnds)
{
    http_decoder decoder;
    connection_address address{51000, 8080, inet_addr("192.168.1.10"), inet_addr("10.0.0.2")};
    decoder.on_established(connection_key(address));
    const auto s = decoder.find_stream(connection_key(address));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->id, 1u);
    EXPECT_EQ(s->source_address, "192.168.1.10");
    EXPECT_EQ(s->source_port, 51000);
    EXPECT_EQ(s->destination_address, "10.0.0.2");
    EXPECT_EQ(s->destination_port, 8080);
    decoder.on_close(connection_key(address), 3);
    EXPECT_FALSE(decoder.find_stream(connection_key(address)));
    EXPECT_EQ(s->id, 1u) << "a caller's shared pointer keeps the stream alive";
}

TEST(DecoderConnections, UnknownConnectionBytesAreDroppedSilently)
{
    http_decoder decoder;
    recorder events(decoder);
    connection_address address{1, 2, 3, 4};
    const std::string bytes = get("/a");
    EXPECT_EQ(decoder.on_request_bytes(connection_key(address), bytes.data(), static_cast<unsigned>(bytes.size())),
              bytes.size());
    EXPECT_EQ(decoder.on_response_bytes(connection_key(address), "HTTP", 4), 4u);
    decoder.on_close(connection_key(address), 3);
    EXPECT_TRUE(events.events.empty());
}

TEST(DecoderConsumption, EveryCompleteStepOfAnOfferIsTaken)
{
    http_decoder decoder;
    recorder events(decoder);
    connection conn(decoder);
    conn.open();
    // Two whole requests and the start of a third: the first two are taken
    // at this arrival, the partial head stays for the next one.
    conn.arrive(client(get("/a") + get("/b") + "GET /c HT"));
    EXPECT_EQ(conn.unconsumed(true), "GET /c HT");
    conn.arrive(server(ok("1") + ok("2") + "HTTP/1.1 2"));
    EXPECT_EQ(conn.unconsumed(false), "HTTP/1.1 2");
    EXPECT_EQ(events.events, (std::vector<std::string>{"E1 GET /a 200", "D1 1", "F1", "E1 GET /b 200", "D1 2", "F1"}));
}

TEST(DecoderConsumption, CloseFlushInABodyReportsAnEmptyChunkOnce)
{
    http_decoder decoder;
    int empty_chunks = 0;
    decoder.data_signal.connect([&](unsigned, const char*, unsigned length) { empty_chunks += length == 0; });
    connection conn(decoder);
    conn.open();
    conn.arrive(client(get("/a")));
    conn.arrive(server("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc"));
    conn.close();
    EXPECT_EQ(empty_chunks, 1);
}

TEST(DecoderConsumption, HugeHeadArrivingAByteAtATime)
{
    std::string head = "GET /big HTTP/1.1\r\n";
    for (int i = 0; head.size() < 8000; ++i)
        head += "X-Field-" + std::to_string(i) + ": " + std::string(50, 'v') + "\r\n";
    head += "\r\n";
    const std::vector<segment> script = {client(head), server(ok("body"))};
    EXPECT_EQ(decode(in_pieces(script, 1)),
              (std::vector<std::string>{"E1 GET /big 200", "D1 body", "F1", "C1"}));
}

// Bytes that do not end a head yet pile up unconsumed; each arrival must not
// search the whole pile again, and a head end that straddles two arrivals is
// still found.
TEST(DecoderConsumption, LongHeadlessStreamThenAHeadEndAcrossTwoArrivals)
{
    http_decoder decoder;
    recorder events(decoder);
    connection conn(decoder);
    conn.open();
    conn.arrive(client(get("/a")));
    const std::string piece(1000, 'x');
    for (int i = 0; i < 40; ++i)
        conn.arrive(server(piece));
    EXPECT_EQ(conn.unconsumed(false).size(), 40u * 1000u);
    conn.arrive(server("\r\n"));
    conn.arrive(server("\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    conn.close();
    // The pile is read as a head with status 0; it takes /a, announces no
    // body, and the real response after it has no request left.
    EXPECT_EQ(events.events, (std::vector<std::string>{"D1 ok", "F1", "C1"}));
}

TEST(DecoderConsumption, LargeBodyReportsEveryByteOnce)
{
    std::string body(1 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + i / 251);
    const std::vector<segment> script = in_pieces({client(get("/v")), server(ok(body))}, 1460);
    EXPECT_EQ(decode(script), (std::vector<std::string>{"E1 GET /v 200", "D1 " + body, "F1", "C1"}));
}

// --- Bounds: what hostile or broken traffic may make the decoder hold -------

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

// Requests that no response takes (a capture that sees only one direction)
// queue up to a limit; beyond it the client's side is given up rather than
// let a later response pair with the wrong request.
TEST(DecoderLimits, QueuedRequestsAreLimited)
{
    constexpr std::size_t limit = http_decoder::max_queued_requests;
    std::string requests;
    for (std::size_t i = 0; i < limit + 5; ++i)
        requests += get("/" + std::to_string(i));
    std::string responses;
    for (std::size_t i = 0; i < limit + 5; ++i)
        responses += ok("r");

    http_decoder decoder;
    std::vector<std::string> paths;
    decoder.exchange_signal.connect(
        [&](unsigned, const mediacap::http::http_tuple& exchange) { paths.push_back(exchange.request.path); });
    connection conn(decoder);
    conn.open();
    conn.arrive(client(requests));
    conn.arrive(client(get("/late")));
    EXPECT_TRUE(conn.unconsumed(true).empty());
    conn.arrive(server(responses));
    conn.close();
    ASSERT_EQ(paths.size(), limit) << "only the queued requests are answered";
    for (std::size_t i = 0; i < limit; ++i)
        EXPECT_EQ(paths[i], "/" + std::to_string(i));
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
