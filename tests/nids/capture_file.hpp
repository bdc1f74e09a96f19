#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <unistd.h>

#include "mediacap/nids/dispatcher.hpp"

// A fresh temporary folder for the pcap files of one test, removed after it.
class scratch_folder {
public:
    scratch_folder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vendrax-nids-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~scratch_folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// `size` bytes of a pattern, from `offset` on.
inline std::string pattern(std::size_t size, unsigned seed, std::size_t offset = 0)
{
    std::string bytes(size, '\0');
    for (std::size_t i = offset; i < offset + size; ++i)
        bytes[i - offset] = static_cast<char>((i * 131 + seed * 17 + i / 7) & 0xff);
    return bytes;
}

// Runs the dispatcher over a pcap file with the callbacks already set, then
// clears them. `settings` give everything but the file.
inline void run_over_file(const std::string& file, const std::set<std::uint16_t>& ports = {80, 8080},
                          nids::options settings = {})
{
    settings.capture_file = file;
    nids::configure(settings);
    nids::dispatcher& loop = nids::dispatcher::instance();
    struct clear_callbacks {
        nids::dispatcher& loop;
        ~clear_callbacks()
        {
            loop.established = nullptr;
            loop.closed = nullptr;
            loop.request_bytes = nullptr;
            loop.response_bytes = nullptr;
        }
    } clear{loop};
    loop.run(ports);
}
