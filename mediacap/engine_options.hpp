#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace mediacap {

// What the engine's owner hands to the engine. Owned by the caller; it must
// live while the engine's constructor runs (pool_size) and while run()
// executes (device, capture_file).
struct engine_options {
    std::string device;          // capture device (interface name) handed to libnids
    std::string temp_directory;  // chosen by the owner; the engine does not read it
    std::uint32_t pool_size = 0; // number of download worker threads

    // Test and benchmark seam: when set, libnids reads this pcap file instead
    // of capturing on `device`.
    std::optional<std::string> capture_file;
    // Test seam: when set, the capture writer is given up after this long
    // without progress instead of capture_stall_limit (capture_writer.hpp).
    std::optional<std::chrono::milliseconds> writer_stall_limit;
};

}  // namespace mediacap
