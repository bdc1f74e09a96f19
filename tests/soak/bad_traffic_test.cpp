// Hostile and broken traffic in one capture file, between good connections:
// none of it may crash or stall the capture loop, each broken response ends
// as the capture rules say, and every good body is still kept byte-exact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/soak/engine_run.hpp"
#include "testkit/pcap_writer.hpp"
#include "testkit/test_data.hpp"

namespace fs = std::filesystem;
using namespace std::string_literals;
using soak::keeping_handler;
using test_support::pcap_writer;
using test_support::side;
using test_support::tcp_flow;

using test_support::random_bytes;
namespace {

std::string get(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: img.example\r\nAccept: */*\r\n\r\n";
}

std::string image_head(const std::string& length, const std::string& extra = "")
{
    return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n" + extra + "Content-Length: " + length + "\r\n\r\n";
}

std::string image(const std::string& body)
{
    return image_head(std::to_string(body.size())) + body;
}

// An IPv6 TCP segment carrying an HTTP request to port 80 (libnids follows
// IPv4 only; the frame must be passed over cleanly).
std::string ipv6_frame(const std::string& payload)
{
    std::string frame = "\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x86\xdd"s;
    std::string ip(40, '\0');
    ip[0] = 0x60;
    const std::size_t length = 20 + payload.size();
    ip[4] = static_cast<char>(length >> 8);
    ip[5] = static_cast<char>(length);
    ip[6] = 6;  // TCP
    ip[7] = 64;
    ip[23] = 1;  // ::1 -> ::2
    ip[39] = 2;
    std::string tcp(20, '\0');
    tcp[0] = static_cast<char>(40000 >> 8);
    tcp[1] = static_cast<char>(40000 & 0xff);
    tcp[3] = 80;
    tcp[12] = 0x50;
    tcp[13] = 0x18;  // PSH ACK
    tcp[14] = tcp[15] = static_cast<char>(0xff);
    return frame + ip + tcp + payload;
}

TEST(BadTraffic, BrokenConnectionsBetweenGoodOnesNeitherCrashNorStallTheLoop)
{
    soak::scratch_folder folder;
    const std::string capture = (folder.path() / "bad.pcap").string();
    std::vector<std::pair<std::string, std::string>> good;  // kept name, body
    {
        pcap_writer writer(capture);
        std::uint16_t port = 30000;
        const auto flow = [&] {
            return tcp_flow(writer, "10.0.0.1", ++port, "10.0.0.2", 80);
        };
        const auto good_connection = [&] {
            tcp_flow f = flow();
            f.handshake();
            const std::string body = random_bytes(20000 + 1000 * good.size(), static_cast<unsigned>(port));
            const std::string target = "/good/" + std::to_string(good.size());
            f.send(side::client, get(target));
            f.send(side::server, image(body));
            f.close();
            good.emplace_back(soak::kept_name(target), body);
        };

        good_connection();
        {  // 1 MB of response head that never ends, then the close
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, get("/endless-response-head"));
            f.send(side::server, "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nX-Pad: " + std::string(1 << 20, 'a'));
            f.close();
        }
        good_connection();
        {  // 1 MB of request head that never ends; the server still answers
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, "GET /endless-request-head HTTP/1.1\r\nX-Pad: " + std::string(1 << 20, 'b'));
            f.send(side::server, image("orphan"));
            f.close();
        }
        {  // a longer Content-Length than the body, then the close
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, get("/short-body"));
            f.send(side::server, image_head("5000") + random_bytes(3000, 1));
            f.close();
        }
        good_connection();
        {  // two Content-Length headers: the later one counts, for both the decoder and the table
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, get("/two-lengths"));
            f.send(side::server, image_head("40", "Content-Length: 10\r\n") + std::string(40, 'L'));
            f.close();
        }
        {  // a NUL inside a head
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, "GET /nul-in-head HTTP/1.1\r\nHost: img\0.example\r\n\r\n"s);
            f.send(side::server, image_head("7", "X-Odd: a\0b\r\n"s) + "nulbody");
            f.close();
        }
        {  // a response with no request
            tcp_flow f = flow();
            f.handshake();
            f.send(side::server, image(random_bytes(5000, 2)));
            f.close();
        }
        good_connection();
        {  // a 4 GB Content-Length, then the close
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, get("/four-gigabytes"));
            f.send(side::server, image_head("4294967295") + random_bytes(100000, 3));
            f.close();
        }
        {  // one more than 32 bits: no body announced, so the body reads as a head
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, get("/past-32-bits") + get("/after-past-32-bits"));
            f.send(side::server, image_head("4294967296") + random_bytes(100000, 4));
            f.close();
        }
        // an IPv6 conversation on port 80
        writer.write_frame(ipv6_frame(get("/over-ipv6")));
        writer.write_frame(ipv6_frame(image("v6")));
        {  // a reset in the middle of a body
            tcp_flow f = flow();
            f.handshake();
            f.send(side::client, get("/reset-mid-body"));
            const std::string full = image(random_bytes(50000, 5));
            f.send(side::server, full.substr(0, 20000));
            f.reset(side::server);
        }
        good_connection();
    }

    keeping_handler handler(folder.path());
    soak::run_engine(capture, handler, std::chrono::seconds(60));

    for (const auto& [name, body] : good) {
        ASSERT_TRUE(handler.outcomes.count(name)) << name;
        EXPECT_EQ(handler.outcomes[name].how, "finished") << name;
        EXPECT_TRUE(soak::read_file(folder.path() / name) == body) << name << " is not byte-exact";
    }
    const std::map<std::string, std::string> expected = {
        {"short_body", "error 5"},
        {"two_lengths", "finished"},
        {"nul_in_head", "finished"},
        {"four_gigabytes", "error 5"},
        {"reset_mid_body", "error 5"},
    };
    for (const auto& [name, how] : expected) {
        ASSERT_TRUE(handler.outcomes.count(name)) << name;
        EXPECT_EQ(handler.outcomes[name].how, how) << name;
        EXPECT_EQ(fs::exists(folder.path() / name), how == "finished") << name;
    }
    EXPECT_EQ(soak::read_file(folder.path() / "two_lengths"), std::string(40, 'L'));
    EXPECT_EQ(soak::read_file(folder.path() / "nul_in_head"), "nulbody");
    for (const char* never : {"endless_response_head", "endless_request_head", "past_32_bits",
                              "after_past_32_bits", "over_ipv6"})
        EXPECT_EQ(handler.outcomes.count(never), 0u) << never << " must not be captured";
    EXPECT_EQ(handler.outcomes.size(), good.size() + expected.size());
}

// More connections open at once than libnids follows: it ends the oldest
// ones to make room (as timed out). Their captures end with an error and
// leave no file, the others are kept byte-exact, and none is left open.
TEST(BadTraffic, MoreOpenConnectionsThanTheReassemblerFollows)
{
    constexpr unsigned count = 1500;
    soak::scratch_folder folder;
    const std::string capture = (folder.path() / "crowd.pcap").string();
    const fs::path temporary = folder.path() / "tmp";
    fs::create_directories(temporary);
    std::vector<std::string> bodies;
    {
        pcap_writer writer(capture);
        std::vector<tcp_flow> flows;
        flows.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            flows.emplace_back(writer, "10.2." + std::to_string(i / 200) + "." + std::to_string(1 + i % 200),
                               static_cast<std::uint16_t>(41000 + i), "10.3.0.1", 80);
            bodies.push_back(random_bytes(3000, i));
        }
        // Every connection opens and starts its body before any of them ends.
        for (unsigned i = 0; i < count; ++i) {
            flows[i].handshake();
            flows[i].send(side::client, get("/crowd/" + std::to_string(i)));
            flows[i].send(side::server, image(bodies[i]).substr(0, 1000));
        }
        for (unsigned i = 0; i < count; ++i) {
            flows[i].send(side::server, image(bodies[i]).substr(1000));
            flows[i].close();
        }
    }

    // The captures' temporary files go to this test's folder; no thread that
    // reads the environment exists yet.
    const std::string previous = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", temporary.c_str(), 1);
    const std::size_t descriptors = soak::open_descriptors();
    keeping_handler handler(folder.path());
    soak::run_engine(capture, handler, std::chrono::seconds(60));
    previous.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", previous.c_str(), 1);

    unsigned finished = 0, dropped = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::string name = soak::kept_name("/crowd/" + std::to_string(i));
        const auto found = handler.outcomes.find(name);
        if (found == handler.outcomes.end())
            continue;  // not followed at all
        if (found->second.how == "finished") {
            ++finished;
            EXPECT_TRUE(soak::read_file(folder.path() / name) == bodies[i]) << name << " is not byte-exact";
        } else {
            ++dropped;
            EXPECT_EQ(found->second.how, "error 5") << name;
            EXPECT_FALSE(fs::exists(folder.path() / name)) << name;
        }
    }
    EXPECT_GT(finished, 0u);
    EXPECT_GT(dropped, 0u) << "the reassembler's table was expected to overflow";
    EXPECT_TRUE(fs::is_empty(temporary)) << "temporary files left behind";
    EXPECT_EQ(soak::open_descriptors(), descriptors);
    std::printf("crowd: %u connections, %u kept, %u ended by the reassembler\n", count, finished, dropped);
}

}  // namespace
