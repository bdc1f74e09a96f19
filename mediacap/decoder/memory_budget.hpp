#pragma once

#include <cstddef>

namespace mediacap::decoder {

// One account of the memory that traffic makes a capture hold: the heads
// that have not ended (the bytes libnids keeps unconsumed, in its buffers of
// each direction), the requests that wait for their responses with their
// heads and kept bodies, and the segments libnids holds out of order. The
// decoder and the capture loop charge what they take and release it when it
// goes; past the limit, the connection whose memory grows is made unreadable
// in that direction (its growing head, its next request), a request body
// stops being kept, and a side whose out-of-order data grows is given up.
// What is already charged stays: nothing being kept is cut short for it.
//
// Capture thread only.
class memory_budget {
public:
    static constexpr std::size_t default_limit = std::size_t(1) << 30;  // 1 GiB

    void set_limit(std::size_t limit) { limit_ = static_cast<long long>(limit); }
    std::size_t limit() const { return static_cast<std::size_t>(limit_); }

    // Forgets every charge: at the start of a capture run.
    void reset()
    {
        used_ = 0;
        peak_ = 0;
    }

    // Takes (a positive count) or gives back (a negative one) bytes.
    void charge(long long bytes)
    {
        used_ += bytes;
        if (used_ > peak_)
            peak_ = used_;
    }

    // Takes `bytes` when they fit under the limit; false, taking nothing,
    // when they do not.
    bool take(std::size_t bytes)
    {
        if (used_ + static_cast<long long>(bytes) > limit_)
            return false;
        charge(static_cast<long long>(bytes));
        return true;
    }

    // More is charged than the limit allows.
    bool over() const { return used_ > limit_; }

    // What is charged now (a count given back twice would show here as a
    // huge one).
    std::size_t used() const { return static_cast<std::size_t>(used_); }
    std::size_t peak() const { return static_cast<std::size_t>(peak_); }

private:
    long long limit_ = static_cast<long long>(default_limit);
    long long used_ = 0;
    long long peak_ = 0;
};

}  // namespace mediacap::decoder
