#include <gtest/gtest.h>

#include <arpa/inet.h>
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

}  // namespace
