#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace test_support {

// xorshift: reproducible traffic and files without the cost of a real
// generator. The same state gives the same bytes on every run.
struct random_source {
    std::uint64_t state = 0x2545f4914f6cdd1dull;

    std::uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }

    // A number from `low` to `high`, both included.
    std::size_t between(std::size_t low, std::size_t high) { return low + next() % (high - low + 1); }

    std::string bytes(std::size_t size)
    {
        std::string out(size + 8, '\0');
        for (std::size_t i = 0; i < size; i += 8) {
            const std::uint64_t value = next();
            std::memcpy(out.data() + i, &value, 8);
        }
        out.resize(size);
        return out;
    }
};

}  // namespace test_support
