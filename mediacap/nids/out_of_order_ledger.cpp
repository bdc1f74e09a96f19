#include "mediacap/nids/out_of_order_ledger.hpp"

#include <algorithm>
#include <cstdlib>

namespace nids {

void out_of_order_ledger::set_bounds(std::size_t side, std::size_t total)
{
    side_bound_ = static_cast<long>(std::min<std::size_t>(side, std::size_t(256) << 20));
    total_bound_ = static_cast<long>(std::min<std::size_t>(total, std::size_t(1) << 40));
}

void out_of_order_ledger::start()
{
    entries_.clear();
    counts_ = {};
    total_ = 0;
    waiting_ = 0;
    touched_ = nullptr;
    pending_ = {};
}

void out_of_order_ledger::established(tcp_stream* stream)
{
    stream->user = nullptr;
    try {
        // A stream that libnids freed without a callback and that the
        // connection registry did not see go leaves its entry behind.
        const auto [at, fresh] = entries_.try_emplace(stream);
        if (!fresh)
            forget(at->second);
        at->second = {};
        stream->user = &at->second;
    } catch (...) {
        return;  // libnids' own bound holds for this connection
    }
    // libnids may have queued a segment before the handshake ended.
    auto* entry = static_cast<sides*>(stream->user);
    half_stream* halves[2] = {&stream->client, &stream->server};
    for (int i = 0; i < 2; ++i) {
        entry->held[i] = halves[i]->rmem_alloc;
        total_ += entry->held[i];
        budget_.charge(entry->held[i]);
        halves[i]->rmem_alloc += raised_base;
    }
}

void out_of_order_ledger::closed(tcp_stream* stream)
{
    if (touched_ == stream)
        touched_ = nullptr;
    const auto at = entries_.find(stream);
    if (at != entries_.end()) {
        forget(at->second);
        entries_.erase(at);
    }
    stream->user = nullptr;
}

void out_of_order_ledger::settle()
{
    if (touched_) {
        if (budget_.over())
            shrink(touched_);
        // Nothing held anywhere and nothing queued now: nothing to settle
        // (the common case, without a look at the ledger's entry).
        if (total_ != 0 || touched_->client.rmem_alloc != raised_base || touched_->server.rmem_alloc != raised_base)
            settle(touched_);
    } else if (pending_.noted && (pending_.carries || waiting_ > 0)) {
        // libnids keys a connection by its client's end first; most data
        // comes from the server.
        tuple4 reverse{pending_.key.dest, pending_.key.source, pending_.key.daddr, pending_.key.saddr};
        tcp_stream* stream = nids_find_tcp_stream(&reverse);
        if (!stream)
            stream = nids_find_tcp_stream(&pending_.key);
        if (stream)
            settle(stream);
    }
    touched_ = nullptr;
    pending_.noted = false;
}

out_of_order_counts out_of_order_ledger::counts() const
{
    out_of_order_counts now = counts_;
    now.held_bytes = static_cast<std::size_t>(total_);
    return now;
}

void out_of_order_ledger::shrink(tcp_stream* stream)
{
    for (half_stream* half : {&stream->client, &stream->server}) {
        if (half->data && half->count == half->offset) {
            std::free(half->data);
            half->data = nullptr;
            half->bufsize = 0;
        }
    }
    buffered(stream);
}

long out_of_order_ledger::held_in(int count)
{
    if (count < 0)
        return static_cast<long>(count) - raised_base;
    if (count == shut)
        return 0;
    if (count > shut)
        return count - (shut + 1);
    return count;
}

void out_of_order_ledger::forget(const sides& entry)
{
    for (int i = 0; i < 2; ++i) {
        total_ -= entry.held[i];
        waiting_ -= entry.waiting[i] ? 1 : 0;
    }
    budget_.charge(-(entry.held[0] + entry.held[1] + entry.buffers));
}

void out_of_order_ledger::settle(tcp_stream* stream)
{
    auto* entry = static_cast<sides*>(stream->user);
    if (!entry)
        return;
    half_stream* halves[2] = {&stream->client, &stream->server};
    bool grew[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        int& count = halves[i]->rmem_alloc;
        if (entry->waiting[i] && count <= shut) {
            entry->waiting[i] = false;  // libnids discarded the queue
            --waiting_;
        }
        if (entry->dropped[i] && count == 0)
            count = shut;
        const long held = held_in(count);
        grew[i] = held > entry->held[i];
        total_ += held - entry->held[i];
        budget_.charge(held - entry->held[i]);
        entry->held[i] = held;
    }
    if (total_ > static_cast<long>(counts_.peak_bytes))
        counts_.peak_bytes = static_cast<std::size_t>(total_);
    for (int i = 0; i < 2; ++i) {
        if (!grew[i] || entry->waiting[i])
            continue;
        const bool raised = halves[i]->rmem_alloc < 0;
        // Past the budget, the connections that hold it are given up first;
        // the side that grows only when they cannot make the room.
        if ((raised && entry->held[i] > side_bound_) || total_ > total_bound_ ||
            !budget_.make_room(0, &stream->addr)) {
            halves[i]->rmem_alloc = static_cast<int>(shut + 1 + entry->held[i]);
            entry->waiting[i] = entry->dropped[i] = true;
            ++waiting_;
            ++counts_.sides_given_up;
            ++budget_.lost().sides;
        }
    }
}

}  // namespace nids
