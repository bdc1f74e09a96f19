#pragma once

// Inside the libnids wrapper only: includes <nids.h>.

#include <climits>
#include <cstddef>
#include <unordered_map>

#include <nids.h>

#include "mediacap/decoder/memory_budget.hpp"
#include "mediacap/nids/dispatcher.hpp"
#include "mediacap/nids/packet_summary.hpp"

namespace nids {

// The out-of-order data libnids holds, per side and in all, and its bounds;
// and, on the memory budget, all that libnids holds for each connection it
// follows: its out-of-order segments and its buffers.
//
// libnids counts a side's queue in its half stream's rmem_alloc: it adds a
// segment's size with its headers and bookkeeping when it queues the segment,
// subtracts it when the segment is delivered, and after every segment of the
// connection discards the side's whole queue (and sets the count to 0) once
// the count passes 65,535. No other code of libnids reads the count.
//
// Each side of a followed connection gets its count lowered far below zero
// when the connection is established, so that libnids' own check never fires
// for it; the ledger checks both bounds itself after every segment that may
// have grown a queue. A side past a bound is given up: its count is set above
// 65,535 (to 65,536 plus what it holds), and libnids discards its queue with
// the side's next segment, as past its own bound. The bytes after the hole are
// then lost for good, so the side's count is then kept at 65,535: libnids
// discards whatever it queues for the side at once. A count thus tells its
// side's state at any time between two packets:
//   below 0          raised: holds count - raised_base
//   65,535           given up and emptied: holds nothing
//   above 65,535     given up, until its next segment: holds count - 65,536
//   0 to 65,534      libnids' own (a side whose emptying was not seen yet)
//
// Growth happens only when a segment is queued, which calls no callback; the
// ledger notes every TCP packet before libnids processes it (an IP callback
// of libnids runs before its TCP processing) and settles it when the next
// packet comes or the dispatch returns. A packet that delivered data needs no
// lookup: the delivery named its stream. Only a packet that carried data (or a
// FIN) and delivered none is looked up in libnids' table, and every packet
// while some side waits for its queue to be discarded. A side's memory stays
// counted until libnids freed it. So all sides together hold at most the total
// bound, and the one segment with which each side that was given up for it
// passed it, until that side's next segment.
class out_of_order_ledger {
public:
    explicit out_of_order_ledger(mediacap::decoder::memory_budget& budget) : budget_(budget) {}

    // A side's count must stay below zero while raised: its bound is kept
    // well under 1 GiB.
    void set_bounds(std::size_t side, std::size_t total);

    void start();

    // Raises both sides of a connection that was just established.
    void established(tcp_stream* stream);

    // libnids' buffers of the two directions (what was not consumed yet and
    // the room it made for the segment just added), charged to the budget as
    // they grow: before the stream's bytes are offered.
    void buffered(const tcp_stream* stream)
    {
        auto* entry = static_cast<sides*>(stream->user);
        if (!entry)
            return;
        const long buffers = static_cast<long>(stream->client.bufsize) + stream->server.bufsize;
        if (buffers != entry->buffers) {
            budget_.charge(buffers - entry->buffers);
            entry->buffers = buffers;
        }
    }

    // A connection's end: libnids frees its queues after the callback (or
    // freed them already, without one).
    void closed(tcp_stream* stream);

    // Data of `stream` was delivered by the packet being processed.
    void delivered(tcp_stream* stream) { touched_ = stream; }

    // A TCP packet about to be processed (the previous one is settled).
    void packet(const packet_summary& packet)
    {
        pending_.key = packet.key;
        pending_.carries = packet.carries;
        pending_.noted = true;
    }

    // Settles the last packet processed.
    void settle();

    // Before libnids lets go of its connections at the end of a run: nothing
    // may be looked up after that.
    void finish()
    {
        touched_ = nullptr;
        pending_.noted = false;
    }

    out_of_order_counts counts() const;

private:
    // libnids discards a queue whose count passes this; a count of exactly
    // this holds nothing and lets libnids keep nothing.
    static constexpr int shut = 65535;
    static constexpr int raised_base = INT_MIN / 2;

    struct sides {
        long buffers = 0;       // libnids' buffers of both halves, as charged
        long held[2] = {0, 0};  // client half (the server's data), server half
        bool waiting[2] = {false, false};  // given up, its queue not discarded yet
        bool dropped[2] = {false, false};  // given up for good
    };

    // Past the budget, the buffer of a direction that holds nothing
    // unconsumed goes back to the allocator after its packet, so that what a
    // connection given up took with that packet does not stay: libnids
    // allocates a buffer anew for a direction's next segment when it has none
    // (as for its first).
    void shrink(tcp_stream* stream);

    static long held_in(int count);
    void forget(const sides& entry);
    void settle(tcp_stream* stream);

    struct noted_packet {
        tuple4 key{};
        bool carries = false;  // data or a FIN
        bool noted = false;
    };

    mediacap::decoder::memory_budget& budget_;
    std::unordered_map<const tcp_stream*, sides> entries_;
    long side_bound_ = static_cast<long>(out_of_order_side_bytes);
    long total_bound_ = static_cast<long>(out_of_order_total_bytes);
    long total_ = 0;
    long waiting_ = 0;  // sides given up whose queue libnids still holds
    tcp_stream* touched_ = nullptr;
    noted_packet pending_;
    out_of_order_counts counts_;
};

}  // namespace nids
