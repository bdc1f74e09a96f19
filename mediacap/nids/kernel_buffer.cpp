#include "mediacap/nids/kernel_buffer.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "mediacap/nids/dispatcher.hpp"

namespace nids {
namespace {

constexpr std::uint64_t mebibyte = std::uint64_t(1) << 20;

// Megabits per second as the interface reports them; 0 when it does not (a
// link that is down, or has no speed: the read fails, or gives -1).
std::uint64_t link_bits_per_second(const char* device)
{
    if (!device)
        return 0;
    const std::string name = device;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return 0;
    std::ifstream file("/sys/class/net/" + name + "/speed");
    long long megabits = 0;
    if (!(file >> megabits) || megabits <= 0)
        return 0;
    return static_cast<std::uint64_t>(megabits) * 1000000;
}

std::uint64_t memory_bytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) : 0;
}

}  // namespace

std::size_t kernel_buffer_bytes(std::uint64_t bits_per_second, std::uint64_t memory)
{
    // A quarter of a second of bytes, and a quarter more: bits / 32 * 5 / 4.
    std::uint64_t bytes = kernel_buffer_unknown_speed;
    if (bits_per_second > 0)
        bytes = std::min<std::uint64_t>(bits_per_second / 128 * 5, kernel_buffer_ceiling);
    if (memory > 0)
        bytes = std::min(bytes, memory / 16);
    bytes = std::clamp<std::uint64_t>(bytes, kernel_buffer_floor, kernel_buffer_ceiling);
    return static_cast<std::size_t>((bytes + mebibyte - 1) / mebibyte * mebibyte);
}

int kernel_buffer_bytes_for(const char* device)
{
    return static_cast<int>(kernel_buffer_bytes(link_bits_per_second(device), memory_bytes()));
}

void report_drops(const char* device, const capture_counts& counts)
{
    if (counts.dropped == 0 && counts.interface_dropped == 0)
        return;
    std::fprintf(stderr, "capture on %s lost packets: received %u, dropped %u, dropped by the interface %u\n",
                 device ? device : "the default device", counts.received, counts.dropped, counts.interface_dropped);
}

}  // namespace nids
