// A long run of the whole engine in capture mode over one generated capture
// file: thousands of kept-alive connections, interleaved segment by segment,
// with images, videos, gzip bodies, chunked pages, bodiless answers,
// pipelined requests and connections cut in the middle of a body.
//
// Every kept body must be byte-exact, every cut one must be reported and
// leave no file, no descriptor may stay open, and the engine's peak memory
// must stay far below the traffic it went through.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/soak/engine_run.hpp"
#include "testkit/traffic_mix.hpp"

namespace fs = std::filesystem;
using soak::keeping_handler;

namespace {

constexpr unsigned connections_wanted = 5000;
constexpr unsigned exchanges_wanted = 30000;

// The peak resident size of this process since the last reset, in KiB.
long peak_resident_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Starts counting the peak resident size anew (Linux 4.0 and later).
bool reset_peak_resident()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

TEST(Soak, ThousandsOfConnectionsKeptByteExactInBoundedMemory)
{
    soak::scratch_folder folder;
    const std::string capture = (folder.path() / "soak.pcap").string();
    const auto writing = std::chrono::steady_clock::now();
    const soak::traffic made = soak::write_traffic(capture, connections_wanted, exchanges_wanted);
    const double writing_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - writing).count();
    ASSERT_GE(made.connections, connections_wanted);
    ASSERT_GE(made.exchanges, exchanges_wanted);
    const fs::path kept = folder.path() / "kept";
    fs::create_directories(kept);

    // The captures' temporary files go to a folder of this run alone. No
    // thread exists yet that could read the environment meanwhile.
    const fs::path temporary = folder.path() / "tmp";
    fs::create_directories(temporary);
    const std::string previous_tmpdir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", temporary.c_str(), 1);

    const std::size_t descriptors_before = soak::open_descriptors();
    const bool peak_counted = reset_peak_resident();
    const long resident_before = peak_resident_kib();
    keeping_handler handler(kept);
    const auto running = std::chrono::steady_clock::now();
    soak::run_engine(capture, handler);
    const double running_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - running).count();
    const long peak_during = peak_resident_kib();
    if (previous_tmpdir.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", previous_tmpdir.c_str(), 1);
    EXPECT_EQ(soak::open_descriptors(), descriptors_before) << "descriptors left open by the run";

    std::size_t finished = 0, cut = 0;
    for (const auto& [name, expected] : made.bodies) {
        const auto found = handler.outcomes.find(name);
        ASSERT_NE(found, handler.outcomes.end()) << name << " was never captured";
        if (expected.cut) {
            ++cut;
            EXPECT_EQ(found->second.how, "error 5") << name;
            EXPECT_FALSE(fs::exists(kept / name)) << name << " was cut but left a file";
            continue;
        }
        ++finished;
        ASSERT_EQ(found->second.how, "finished") << name;
        const std::string body = soak::read_file(kept / name);
        ASSERT_EQ(body.size(), expected.size) << name;
        ASSERT_EQ(std::hash<std::string>()(body), expected.hash) << name << " is not byte-exact";
    }
    EXPECT_EQ(handler.outcomes.size(), made.bodies.size()) << "captures of responses that keep nothing";
    EXPECT_GT(cut, 10u);
    EXPECT_TRUE(fs::is_empty(temporary)) << "temporary files left behind";

    const double traffic_mib = made.payload_bytes / 1048576.0;
    std::printf("soak: connections=%u exchanges=%u kept=%zu cut=%zu traffic_mib=%.1f peak_rss_kib=%ld "
                "(before the run %ld) writing_s=%.1f engine_s=%.1f\n",
                made.connections, made.exchanges, finished, cut, traffic_mib, peak_during, resident_before,
                writing_seconds, running_seconds);
#if defined(__SANITIZE_ADDRESS__)
    (void)peak_counted;  // AddressSanitizer's quarantine keeps freed memory resident
#else
    if (peak_counted) {
        // Holding the traffic would take its whole size; the run may add only
        // a small fraction of it.
        EXPECT_LT(peak_during - resident_before, 64 * 1024) << "KiB more at the peak than before the run";
        EXPECT_LT(64.0, traffic_mib / 2) << "the traffic must dwarf the bound for the bound to mean anything";
    }
#endif
}

}  // namespace
