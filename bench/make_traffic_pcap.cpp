// Writes a large pcap file of web traffic for the capture benchmarks: many
// kept-alive HTTP connections, interleaved segment by segment as on a busy
// link, carrying image and video downloads, gzip-compressed scripts, chunked
// pages and bodiless answers.
//
//   make_traffic_pcap OUT.pcap [MEGABYTES]     (default 300)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/pcap_writer.hpp"
#include "testkit/random_source.hpp"
#include "testkit/test_data.hpp"

using test_support::pcap_writer;
using test_support::side;
using test_support::tcp_flow;
using test_support::tcp_segment;

namespace {

constexpr std::size_t mss = 1448;
constexpr std::size_t concurrent_connections = 24;
constexpr std::size_t segments_per_turn = 6;

using test_support::random_source;

std::string script_text(random_source& random, std::size_t size)
{
    static const char* const words[] = {"function", "var", "return", "document", "window", "this", "=", "{",
                                        "}",        "(",   ")",      ";",        "player", "0",    "1", "\n"};
    std::string text;
    while (text.size() < size) {
        text += words[random.next() % 16];
        text += ' ';
    }
    return text;
}

struct exchange {
    std::string request;
    std::string response;
};

// One exchange of a mix: mostly images, some videos, gzip scripts, chunked
// pages and bodiless answers.
exchange next_exchange(random_source& random, unsigned number)
{
    const std::string host = "Host: media" + std::to_string(number % 7) + ".example\r\n";
    const std::size_t kind = random.next() % 100;
    std::string path, head, body;
    if (kind < 55) {
        static const char* const types[] = {"image/jpeg", "image/png", "image/gif"};
        path = "/img/" + std::to_string(number) + ".jpg";
        body = random.bytes(random.between(4000, 200000));
        head = std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + types[random.next() % 3];
    } else if (kind < 70) {
        path = "/video/" + std::to_string(number) + ".mp4";
        body = random.bytes(random.between(1000000, 6000000));
        head = std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + (kind < 65 ? "video/mp4" : "video/x-flv");
    } else if (kind < 82) {
        path = "/js/" + std::to_string(number) + ".js";
        body = test_support::gzip(script_text(random, random.between(20000, 300000)));
        head = "HTTP/1.1 200 OK\r\nContent-Type: application/javascript\r\nContent-Encoding: gzip";
    } else if (kind < 94) {
        path = "/page/" + std::to_string(number) + ".html";
        std::string page = script_text(random, random.between(5000, 80000));
        std::string chunked;
        for (std::size_t at = 0; at < page.size(); at += 4096) {
            const std::string piece = page.substr(at, 4096);
            char size_line[16];
            std::snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
            chunked += size_line + piece + "\r\n";
        }
        chunked += "0\r\n\r\n";
        return {"GET " + path + " HTTP/1.1\r\n" + host + "Accept: */*\r\n\r\n",
                "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked};
    } else {
        path = "/img/cached" + std::to_string(number) + ".png";
        return {"GET " + path + " HTTP/1.1\r\n" + host + "If-None-Match: \"x\"\r\n\r\n",
                "HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\n\r\n"};
    }
    return {"GET " + path + " HTTP/1.1\r\n" + host + "User-Agent: bench\r\nAccept: */*\r\n\r\n",
            head + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
}

struct connection {
    std::unique_ptr<tcp_flow> flow;
    std::deque<tcp_segment> pending;
    unsigned exchanges_left = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.pcap [MEGABYTES]\n", argv[0]);
        return 2;
    }
    const std::uint64_t target = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 300) * 1024 * 1024;
    try {
        pcap_writer writer(argv[1]);
        random_source random{0x9e3779b97f4a7c15ull};
        std::vector<connection> active(concurrent_connections);
        unsigned opened = 0, exchanges = 0;
        const auto open = [&](connection& c) {
            ++opened;
            c.flow = std::make_unique<tcp_flow>(writer, "192.168." + std::to_string(1 + opened / 60000) + ".10",
                                                static_cast<std::uint16_t>(1024 + opened % 60000),
                                                "203.0.113." + std::to_string(1 + opened % 200),
                                                opened % 5 == 0 ? 8080 : 80);
            c.flow->handshake();
            c.exchanges_left = static_cast<unsigned>(random.between(1, 12));
        };
        for (connection& c : active)
            open(c);
        while (writer.payload_bytes() < target) {
            for (connection& c : active) {
                if (c.pending.empty()) {
                    if (c.exchanges_left == 0) {
                        c.flow->close(random.next() % 2 ? side::client : side::server);
                        open(c);
                    }
                    --c.exchanges_left;
                    const exchange e = next_exchange(random, ++exchanges);
                    for (auto& s : c.flow->segments(side::client, e.request, mss))
                        c.pending.push_back(std::move(s));
                    for (auto& s : c.flow->segments(side::server, e.response, mss))
                        c.pending.push_back(std::move(s));
                }
                for (std::size_t i = 0; i < segments_per_turn && !c.pending.empty(); ++i) {
                    c.flow->write(c.pending.front());
                    c.pending.pop_front();
                }
            }
        }
        // Finish what is in flight, then close every connection.
        for (connection& c : active) {
            for (const tcp_segment& s : c.pending)
                c.flow->write(s);
            c.flow->close();
        }
        std::printf("frames=%zu payload_mb=%.1f connections=%u exchanges=%u\n", writer.frames(),
                    writer.payload_bytes() / 1048576.0, opened, exchanges);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
