// Interim (1xx) responses and the switch away from HTTP, through the
// decoder's case table: each script also runs split at every byte, in small
// pieces, and twice on one kept-alive connection.
#include "tests/decoder/decoder_harness.hpp"

using namespace decoder_test;

namespace {

const std::string upgrade =
    "GET /chat HTTP/1.1\r\nHost: example.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
const std::string switching = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
// WebSocket frames that happen to look like HTTP.
const std::string frames = "\x81\x7e" + get("/frame") + ok("frame");

const std::vector<decoder_case> interim_cases = {
    {"100 leaves the request to the final response", {client(get("/a")), server("HTTP/1.1 100 Continue\r\n\r\n" + ok("xy"))},
     {"E1 GET /a 200", "D1 xy", "F1"}, true},
    {"102 and 103 before the final response",
     {client(get("/a")), server("HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n" + ok("xy"))},
     {"E1 GET /a 200", "D1 xy", "F1"}, true},
    {"interim responses between pipelined answers",
     {client(get("/a") + get("/b")), server("HTTP/1.1 100 Continue\r\n\r\n" + ok("1") + "HTTP/1.1 103 Early Hints\r\n\r\n" + ok("2"))},
     {"E1 GET /a 200", "D1 1", "F1", "E1 GET /b 200", "D1 2", "F1"}, true},
    {"interim with a length has no body", {client(get("/a")), server("HTTP/1.1 100 Continue\r\nContent-Length: 9\r\n\r\n" + ok("b"))},
     {"E1 GET /a 200", "D1 b", "F1"}, true},
    {"199 is interim too", {client(get("/a")), server("HTTP/1.1 199 Other\r\n\r\n" + ok("q"))}, {"E1 GET /a 200", "D1 q", "F1"}, true},
    {"101 ends HTTP on the connection", {client(upgrade), server(switching + frames), client(frames + get("/b")), server(ok("y"))},
     {}, true},
    {"101 drops a request queued behind the upgrade", {client(upgrade + get("/b")), server(switching + ok("x"))}, {}, true},
    {"101 after a kept exchange", {client(get("/a")), server(ok("1")), client(upgrade), server(switching + ok("2"))},
     {"E1 GET /a 200", "D1 1", "F1"}, false},
};

INSTANTIATE_TEST_SUITE_P(Interim, DecoderCases, ::testing::ValuesIn(interim_cases), case_name);

}  // namespace
