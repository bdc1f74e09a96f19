#pragma once

// A reproducible mix of web traffic for long runs: thousands of kept-alive
// connections, interleaved segment by segment as on a busy link, carrying
// images, videos, gzip bodies, chunked pages, scripts, bodiless answers
// (304s and answers to HEAD that announce a length) and uploads,
// some with pipelined requests and some cut by a reset in the middle of
// their last body. Used by the soak test and by the benchmarks.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testkit/pcap_writer.hpp"
#include "testkit/random_source.hpp"
#include "testkit/test_data.hpp"

namespace soak {

using test_support::pcap_writer;
using test_support::side;
using test_support::tcp_flow;
using test_support::tcp_segment;

// The file name a kept response gets from its request target: "/k/17" is
// kept as "k_17".
inline std::string kept_name(const std::string& target)
{
    std::string name;
    for (char c : target.substr(1))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name.substr(0, 100);
}

constexpr std::size_t concurrent = 40;
constexpr std::size_t mss = 1448;

using test_support::random_source;

// Words, for bodies that compress like text.
inline std::string text(random_source& random, std::size_t size)
{
    static const char* const words[] = {"frame ", "pixel ", "header ", "the ", "0 ", "1 ", "\n", "video "};
    std::string out;
    while (out.size() < size)
        out += words[random.next() % 8];
    return out;
}

using test_support::gzip;

// What the traffic should leave behind, by kept name: the body's hash and
// size, or that it was cut and must leave nothing.
struct expected_body {
    std::size_t hash = 0;
    std::size_t size = 0;
    bool cut = false;
};

struct exchange {
    std::string request, response;
    std::string kept_name;  // empty: not an image or video
    std::string kept_body;
};

inline exchange next_exchange(random_source& random, unsigned number)
{
    const std::string target = "/k/" + std::to_string(number);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: media" + std::to_string(number % 13) +
                                ".example\r\nAccept: */*\r\n\r\n";
    const auto sized = [&](const std::string& head, const std::string& body) {
        return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::size_t kind = random.next() % 100;
    exchange e{request, {}, {}, {}};
    if (kind < 50) {
        e.kept_body = random.bytes(random.between(500, 12000));
        e.response = sized("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n", e.kept_body);
    } else if (kind < 60) {
        e.kept_body = text(random, random.between(2000, 30000));
        e.response = sized("HTTP/1.1 200 OK\r\nContent-Type: image/svg+xml\r\nContent-Encoding: gzip\r\n",
                           gzip(e.kept_body));
    } else if (kind < 62) {
        e.kept_body = random.bytes(random.between(60000, 250000));
        e.response = sized("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\n", e.kept_body);
    } else if (kind < 75) {
        const std::string page = text(random, random.between(1000, 20000));
        std::string chunked;
        for (std::size_t at = 0; at < page.size(); at += 3000) {
            const std::string piece = page.substr(at, 3000);
            char size_line[16];
            std::snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
            chunked += size_line + piece + "\r\n";
        }
        e.response = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked +
                     "0\r\n\r\n";
    } else if (kind < 88) {
        e.response = sized("HTTP/1.1 200 OK\r\nContent-Type: application/javascript\r\n",
                           text(random, random.between(500, 8000)));
    } else if (kind < 94) {
        // Some servers repeat the stored resource's length in a 304.
        e.response = "HTTP/1.1 304 Not Modified\r\nContent-Length: " +
                     std::to_string(random.next() % 2 ? 0 : random.between(100, 90000)) + "\r\n\r\n";
    } else if (kind < 97) {
        // The answer to HEAD announces the length of a body it does not send.
        e.request.replace(0, 3, "HEAD");
        e.response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                     std::to_string(random.between(100, 90000)) + "\r\n\r\n";
    } else {
        // An upload answered with an image.
        const std::string upload = random.bytes(random.between(1000, 100000));
        e.request = "POST " + target + " HTTP/1.1\r\nHost: upload.example\r\nContent-Length: " +
                    std::to_string(upload.size()) + "\r\n\r\n" + upload;
        e.kept_body = random.bytes(random.between(500, 5000));
        e.response = sized("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n", e.kept_body);
    }
    if (!e.kept_body.empty())
        e.kept_name = kept_name(target);
    return e;
}

struct connection {
    std::unique_ptr<tcp_flow> flow;
    std::deque<tcp_segment> pending;
    unsigned exchanges_left = 0;
    bool pipelined = false;
    bool cut_last = false;  // reset in the middle of the last response body
};

struct traffic {
    std::map<std::string, expected_body> bodies;
    unsigned connections = 0, exchanges = 0;
    std::uint64_t payload_bytes = 0;
};

// Writes the traffic to a pcap file at `path`: at least `connections_wanted`
// connections, `exchanges_wanted` exchanges and `bytes_wanted` bytes of TCP
// payload, whichever comes last.
inline traffic write_traffic(const std::string& path, unsigned connections_wanted, unsigned exchanges_wanted,
                             std::uint64_t bytes_wanted = 0)
{
    traffic made;
    random_source random;
    pcap_writer writer(path);
    std::vector<connection> active(concurrent);
    const auto open = [&](connection& c) {
        ++made.connections;
        const unsigned n = made.connections;
        c.flow = std::make_unique<tcp_flow>(writer, "10.1." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250),
                                            static_cast<std::uint16_t>(20000 + n % 40000),
                                            "192.0.2." + std::to_string(1 + n % 50), n % 4 == 0 ? 8080 : 80);
        c.flow->handshake();
        c.exchanges_left = static_cast<unsigned>(random.between(1, 11));
        c.pipelined = random.next() % 4 == 0;
        c.cut_last = random.next() % 20 == 0;
    };
    const auto queue = [&](connection& c, side from, const std::string& data) {
        for (auto& s : c.flow->segments(from, data, mss))
            c.pending.push_back(std::move(s));
    };
    const auto expect = [&](const exchange& e, bool cut) {
        if (!e.kept_name.empty())
            made.bodies[e.kept_name] = {std::hash<std::string>()(e.kept_body), e.kept_body.size(), cut};
    };
    // Queues the rest of a connection's exchanges: one at a time, or all its
    // requests first and then all the answers (pipelined). A cut connection
    // sends half of its last response and then a reset.
    const auto plan = [&](connection& c) {
        std::vector<exchange> batch;
        const unsigned count = c.pipelined ? c.exchanges_left : 1;
        for (unsigned i = 0; i < count; ++i)
            batch.push_back(next_exchange(random, ++made.exchanges));
        c.exchanges_left -= count;
        std::string requests, responses;
        for (const exchange& e : batch)
            requests += e.request;
        queue(c, side::client, requests);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const bool cut = c.cut_last && c.exchanges_left == 0 && i + 1 == batch.size();
            expect(batch[i], cut);
            responses += cut ? batch[i].response.substr(0, batch[i].response.size() - batch[i].response.size() / 3)
                             : batch[i].response;
        }
        queue(c, side::server, responses);
    };
    for (connection& c : active)
        open(c);
    while (made.connections < connections_wanted || made.exchanges < exchanges_wanted ||
           writer.payload_bytes() < bytes_wanted) {
        for (connection& c : active) {
            if (c.pending.empty()) {
                if (c.exchanges_left == 0) {
                    if (c.cut_last)
                        c.flow->reset(side::server);
                    else
                        c.flow->close(random.next() % 2 ? side::client : side::server);
                    open(c);
                }
                plan(c);
            }
            for (std::size_t i = 0; i < 3 && !c.pending.empty(); ++i) {
                c.flow->write(c.pending.front());
                c.pending.pop_front();
            }
        }
    }
    for (connection& c : active) {
        for (const tcp_segment& s : c.pending)
            c.flow->write(s);
        if (c.cut_last && c.exchanges_left == 0)
            c.flow->reset(side::server);
        else
            c.flow->close();
    }
    made.payload_bytes = writer.payload_bytes();
    return made;
}

}  // namespace soak
