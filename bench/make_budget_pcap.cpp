// Writes the hostile captures that the memory budget is measured over, for
// engine_bench (read from a file, so that the resident size of the capture
// loop alone is seen):
//
//   make_budget_pcap holders FILE [--fast-clock]
//       A 500 MiB video under way, then 400 connections that each pipeline
//       32 POSTs of 96 KiB with no response until together they hold the
//       1 GiB budget, and fall silent; 7 probe images on new connections
//       during the flood and 20 after it, spread over 3,700 s of capture
//       time.
//   make_budget_pcap waves FILE [--fast-clock]
//       Three waves of 780 connections that each pipeline 32 requests with
//       heads near 64 KiB and 4 MiB of bodies, with 256 MiB of out-of-order
//       data and 32,000 first fragments of 16 KiB between them.
//   make_budget_pcap heads FILE [--fast-clock]
//       300 such pipelining connections, then 400 that each send 60 KB of a
//       head that never ends.
//
// Frames are 1 ms apart, as pcap_writer stamps them; with --fast-clock
// 10 us apart (the time skipped between phases stays), so that the flood
// lasts seconds of capture time, as on a fast link, not minutes.
//
// Prints one line per image or video response, in the order of their heads
// (engine_bench keeps them as 1, 2, ... in that order):
//   expected N SIZE CRC32
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <pcap.h>
#include <zlib.h>

#include "testkit/pcap_writer.hpp"
#include "testkit/test_data.hpp"

using test_support::pcap_writer;
using test_support::side;
using test_support::tcp_flow;
using test_support::tcp_segment;

namespace {

constexpr std::size_t mss = 1448;

struct expectations {
    unsigned count = 0;
    void add(const std::string& body)
    {
        const auto crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
        std::printf("expected %u %zu %lu\n", ++count, body.size(), static_cast<unsigned long>(crc));
    }
};

std::string media_head(const char* type, std::size_t length)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(type) + "\r\nContent-Length: " +
           std::to_string(length) + "\r\n\r\n";
}

std::string address(const char* prefix, unsigned n)
{
    return std::string(prefix) + std::to_string(n / 250) + "." + std::to_string(1 + n % 250);
}

// A probe: one new connection fetching one image.
void probe(pcap_writer& writer, expectations& expected, unsigned n)
{
    tcp_flow flow(writer, address("10.30.", n), static_cast<std::uint16_t>(50000 + n), "10.0.0.2", 80);
    flow.handshake(8);
    flow.send(side::client, "GET /probe/" + std::to_string(n) + " HTTP/1.1\r\nHost: img.example\r\n\r\n");
    const std::string body = test_support::random_bytes(30000 + 997 * n, 7000 + n);
    flow.send(side::server, media_head("image/jpeg", body.size()) + body, mss);
    flow.close();
    expected.add(body);
}

// Connections that each pipeline `requests` POSTs of `body` bytes with a head
// of about `head` bytes, and get no response.
void pipeline(pcap_writer& writer, std::vector<std::unique_ptr<tcp_flow>>& flows, const char* prefix,
              unsigned count, unsigned requests, std::size_t head, std::size_t body,
              const std::function<void(unsigned)>& between = {})
{
    std::string start = "POST /upload HTTP/1.1\r\nHost: up.example\r\nContent-Length: " + std::to_string(body) + "\r\n";
    for (unsigned field = 0; start.size() + 700 < head; ++field)
        start += "X-Fill-" + std::to_string(field) + ": " + std::string(600, 'h') + "\r\n";
    const std::string request = start + "\r\n" + std::string(body, 'b');
    for (unsigned n = 0; n < count; ++n) {
        flows.push_back(std::make_unique<tcp_flow>(writer, address(prefix, n), static_cast<std::uint16_t>(20000 + n),
                                                   "10.0.0.2", 80));
        flows.back()->handshake(8);
        for (unsigned r = 0; r < requests; ++r)
            flows.back()->send(side::client, request, mss);
        if (between)
            between(n);
    }
}

void holders(pcap_writer& writer, expectations& expected)
{
    // The video, half of it before the flood.
    tcp_flow video(writer, "10.20.0.1", 40000, "10.0.0.2", 80);
    video.handshake(8);
    video.send(side::client, "GET /video HTTP/1.1\r\nHost: v.example\r\n\r\n");
    const std::size_t size = std::size_t(500) << 20;
    std::string body = test_support::random_bytes(size, 1);
    const std::string whole = media_head("video/mp4", size) + body;
    expected.add(body);
    video.send(side::server, std::string_view(whole).substr(0, whole.size() / 2), mss);

    unsigned probes = 0;
    std::vector<std::unique_ptr<tcp_flow>> flows;
    pipeline(writer, flows, "10.10.", 400, 32, 0, 96 << 10, [&](unsigned n) {
        if (n >= 330 && n % 10 == 0)
            probe(writer, expected, probes++);
    });
    video.send(side::server, std::string_view(whole).substr(whole.size() / 2), mss);
    video.close();
    body.clear();
    // The flood's connections stay open and silent.
    for (unsigned i = 0; i < 20; ++i) {
        writer.skip(i < 10 ? 20 : 340);
        probe(writer, expected, probes++);
    }
}

// `count` connections each losing the first segment of a response of `size`
// bytes, whose rest is held out of order.
void holes(pcap_writer& writer, std::vector<std::unique_ptr<tcp_flow>>& flows, const char* prefix, unsigned count,
           std::size_t size)
{
    for (unsigned n = 0; n < count; ++n) {
        flows.push_back(std::make_unique<tcp_flow>(writer, address(prefix, n), static_cast<std::uint16_t>(30000 + n),
                                                   "10.0.0.2", 80));
        tcp_flow& flow = *flows.back();
        flow.handshake(8);
        flow.send(side::client, "GET /hole HTTP/1.1\r\n\r\n");
        const std::vector<tcp_segment> segments =
            flow.segments(side::server, media_head("image/png", size) + std::string(size, 'o'), mss);
        for (std::size_t i = 1; i < segments.size(); ++i)
            flow.write(segments[i]);
    }
}

void waves(pcap_writer& writer)
{
    std::vector<std::unique_ptr<tcp_flow>> flows;
    const char* prefixes[] = {"10.11.", "10.12.", "10.13."};
    for (unsigned wave = 0; wave < 3; ++wave) {
        pipeline(writer, flows, prefixes[wave], 780, 32, 64000, (4 << 20) / 32);
        if (wave == 0)
            holes(writer, flows, "10.14.", 40, 6 << 20);
        for (unsigned k = 0; k < 32000 / 3; ++k)
            writer.write_first_fragment("10.15.0.1", static_cast<std::uint16_t>(1000 + k % 60000),
                                        address("10.16.", k % 4000), 80, std::string(16 << 10, 'f'));
    }
}

void heads(pcap_writer& writer)
{
    std::vector<std::unique_ptr<tcp_flow>> flows;
    pipeline(writer, flows, "10.11.", 300, 32, 64000, (4 << 20) / 32);
    const std::string endless = "GET /endless HTTP/1.1\r\nX-Pad: " + std::string(60000, 'e');
    for (unsigned n = 0; n < 400; ++n) {
        flows.push_back(std::make_unique<tcp_flow>(writer, address("10.17.", n), static_cast<std::uint16_t>(25000 + n),
                                                   "10.0.0.2", 80));
        flows.back()->handshake(8);
        flows.back()->send(side::client, endless, mss);
    }
}

// Stamps the frames of `from` 10 us apart into `to`, keeping the seconds
// that pcap_writer skipped.
bool fast_clock(const std::string& from, const std::string& to)
{
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(from.c_str(), error);
    if (!in)
        return false;
    pcap_dumper_t* out = pcap_dump_open(in, to.c_str());
    if (!out) {
        pcap_close(in);
        return false;
    }
    pcap_pkthdr* header;
    const u_char* data;
    for (long long i = 0; pcap_next_ex(in, &header, &data) == 1; ++i) {
        const long long skipped = header->ts.tv_sec - 1700000000 - i / 1000;
        const long long micros = skipped * 1000000 + i * 10;
        pcap_pkthdr stamped = *header;
        stamped.ts.tv_sec = 1700000000 + micros / 1000000;
        stamped.ts.tv_usec = micros % 1000000;
        pcap_dump(reinterpret_cast<u_char*>(out), &stamped, data);
    }
    pcap_dump_close(out);
    pcap_close(in);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool fast = argc == 4 && std::strcmp(argv[3], "--fast-clock") == 0;
    if (argc != 3 && !fast) {
        std::fprintf(stderr, "usage: %s holders|waves|heads FILE [--fast-clock]\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[1], file = argv[2];
    const std::string written = fast ? file + ".slow" : file;
    expectations expected;
    {
        pcap_writer writer(written);
        if (kind == "holders")
            holders(writer, expected);
        else if (kind == "waves")
            waves(writer);
        else if (kind == "heads")
            heads(writer);
        else
            return 2;
    }
    if (fast) {
        const bool stamped = fast_clock(written, file);
        std::remove(written.c_str());
        if (!stamped)
            return 1;
    }
    return 0;
}
