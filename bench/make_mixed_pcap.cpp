// Writes a large pcap file of the soak test's traffic mix: thousands of
// kept-alive connections with images, videos, gzip bodies, chunked pages,
// pipelined requests and cut connections. For comparing capture tools on the
// same file (bench/compare.sh).
//
//   make_mixed_pcap OUT.pcap [MEGABYTES]     (default 600)
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "testkit/traffic_mix.hpp"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.pcap [MEGABYTES]\n", argv[0]);
        return 2;
    }
    const std::uint64_t megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 600;
    try {
        const soak::traffic made = soak::write_traffic(argv[1], 0, 0, megabytes * 1024 * 1024);
        std::size_t kept = 0;
        for (const auto& [name, body] : made.bodies)
            kept += !body.cut;
        std::printf("payload_mb=%.1f connections=%u exchanges=%u kept_bodies=%zu\n",
                    made.payload_bytes / 1048576.0, made.connections, made.exchanges, kept);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
