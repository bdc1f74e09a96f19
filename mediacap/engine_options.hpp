#pragma once

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
};

}  // namespace mediacap
