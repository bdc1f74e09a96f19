#pragma once

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>

namespace test_support {

// `size` bytes from a Mersenne twister seeded with `seed`: the same bytes for
// the same seed on every run, all 256 values likely.
std::string random_bytes(std::size_t size, unsigned seed);

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// The names of the entries of `folder`, hidden ones included.
std::set<std::string> names_in(const std::filesystem::path& folder);

// `plain` compressed as one gzip member (RFC 1952).
std::string gzip(const std::string& plain);

}  // namespace test_support
