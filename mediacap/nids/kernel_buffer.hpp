#pragma once

#include <cstddef>
#include <cstdint>

namespace nids {

struct capture_counts;

// The kernel's buffer of a live capture holds the packets that the capture
// thread has not read yet; when it is full the kernel drops what comes. It
// is sized for a burst: room for 250 ms of the link's rate, and a quarter
// more for what the kernel stores beside each packet (its header, and the
// acknowledgements of the other direction). Never less than 32 MiB (a
// 100 Mbit/s or a 1 Gbit/s link: 32 and 38 MiB; 10 Gbit/s, which a veth
// link reports: 373 MiB); 128 MiB for a link whose speed is not known
// (loopback, wireless, some virtual links); at most 1 GiB, and at most a
// sixteenth of the machine's memory where that is more than 32 MiB.
constexpr std::size_t kernel_buffer_floor = std::size_t(32) << 20;
constexpr std::size_t kernel_buffer_unknown_speed = std::size_t(128) << 20;
constexpr std::size_t kernel_buffer_ceiling = std::size_t(1) << 30;

// The size for a link of `bits_per_second` (0: not known) on a machine of
// `memory_bytes` (0: not known), in whole MiB.
std::size_t kernel_buffer_bytes(std::uint64_t bits_per_second, std::uint64_t memory_bytes);

// The size for `device`, from its speed in /sys/class/net/<device>/speed
// (where readable and positive) and the machine's memory.
int kernel_buffer_bytes_for(const char* device);

// Writes one line to stderr when `counts` show packets lost, with libpcap's
// three counts: received, dropped, dropped by the interface. Nothing
// otherwise.
void report_drops(const char* device, const capture_counts& counts);

}  // namespace nids
