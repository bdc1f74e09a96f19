#pragma once

#include <cstddef>
#include <cstdint>

// libnids' record of a connection's two ends; its address is the key of a
// connection here as in the decoder.
struct tuple4;

namespace mediacap::decoder {

// One account of the memory that traffic makes a capture hold: the heads
// that have not ended (the bytes libnids keeps unconsumed, in its buffers of
// each direction), the requests that wait for their responses with their
// heads and kept bodies, and the segments libnids holds out of order. The
// decoder and the capture loop charge what they take and release it when it
// goes.
//
// When something needs room past the limit, what holds the budget goes first:
// the holder (the decoder) gives up whole the connections whose waiting
// requests hold the most and have been idle the longest, sparing the
// connection that asks, until the room is there. Only when that cannot make
// the room is the connection that grows given up where it grows (its growing
// head, its next request, a request body stops being kept, a side whose
// out-of-order data grows). What is being kept is never cut short for it: a
// connection given up finishes the body under way on it.
//
// It also carries the capture's clock (the time of the packet at hand), which
// bounds how long requests may wait, and counts what it gave up, so that the
// capture loop can say so.
//
// Capture thread only.
class memory_budget {
public:
    static constexpr std::size_t default_limit = std::size_t(1) << 30;  // 1 GiB

    // What gives up the connections that hold the budget.
    class holders {
    public:
        virtual ~holders() = default;
        // Gives up connections holding waiting requests, the largest and
        // idlest first and never `sparing`, until `bytes` more fit under the
        // limit or none that could make the room is left.
        virtual void give_up_holders(std::size_t bytes, const tuple4* sparing) = 0;
        // What the connections other than `sparing` could give back.
        virtual std::size_t reclaimable(const tuple4* sparing) const = 0;
        // The capture's clock reached `seconds`.
        virtual void time_passed(std::int64_t seconds) = 0;
    };

    // What was given up for memory since the last look.
    struct losses {
        unsigned holders = 0;        // connections given up for the budget
        std::size_t held_bytes = 0;  // what their waiting requests held
        unsigned past_own_bound = 0;  // connections past their own bound of waiting requests
        unsigned grown = 0;  // directions and request bodies given up as they grew past the budget
        unsigned sides = 0;  // sides given up with what they held out of order, at its bounds or the budget's

        bool any() const { return holders != 0 || past_own_bound != 0 || grown != 0 || sides != 0; }
    };

    void set_limit(std::size_t limit) { limit_ = static_cast<long long>(limit); }
    std::size_t limit() const { return static_cast<std::size_t>(limit_); }

    void set_holders(holders* owner) { holders_ = owner; }
    void forget_holders(const holders* owner)
    {
        if (holders_ == owner)
            holders_ = nullptr;
    }

    // Forgets every charge and loss: at the start of a capture run.
    void reset()
    {
        used_ = 0;
        peak_ = 0;
        losses_ = {};
        seconds_ = 0;
    }

    // Takes (a positive count) or gives back (a negative one) bytes.
    void charge(long long bytes)
    {
        used_ += bytes;
        if (used_ > peak_)
            peak_ = used_;
    }

    // True when `bytes` more fit under the limit, once the holders other
    // than `sparing` were given up as far as that makes the room. When it
    // cannot make the room, nobody is given up.
    bool make_room(std::size_t bytes, const tuple4* sparing)
    {
        const long long wanted = used_ + static_cast<long long>(bytes);
        if (wanted <= limit_)
            return true;
        if (!holders_ || wanted - static_cast<long long>(holders_->reclaimable(sparing)) > limit_)
            return false;
        holders_->give_up_holders(bytes, sparing);
        return used_ + static_cast<long long>(bytes) <= limit_;
    }

    // Takes `bytes` when they fit under the limit (see make_room); false,
    // taking nothing, when they do not.
    bool take(std::size_t bytes, const tuple4* sparing)
    {
        if (!make_room(bytes, sparing))
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

    // The capture's clock: the time of the packet at hand, in whole seconds.
    // The holders hear of every second that it moves on.
    void set_time(std::int64_t seconds)
    {
        if (seconds == seconds_)
            return;
        seconds_ = seconds;
        if (holders_)
            holders_->time_passed(seconds);
    }

    losses& lost() { return losses_; }
    // What was given up since the last call, forgotten here.
    losses take_losses()
    {
        const losses taken = losses_;
        losses_ = {};
        return taken;
    }

private:
    long long limit_ = static_cast<long long>(default_limit);
    long long used_ = 0;
    long long peak_ = 0;
    holders* holders_ = nullptr;
    std::int64_t seconds_ = 0;
    losses losses_;
};

}  // namespace mediacap::decoder
