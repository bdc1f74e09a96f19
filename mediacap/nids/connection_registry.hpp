#pragma once

// Inside the libnids wrapper only: includes <nids.h>.

#include <unordered_map>
#include <vector>

#include <nids.h>

#include "mediacap/nids/packet_summary.hpp"

namespace nids {

// The connections reported established and not reported closed yet.
//
// libnids frees a stream without a callback when its client sends a SYN
// (without ACK or RST) on the stream's four ends more than tcp_flow_timeout
// seconds (an hour) after the stream began: it takes the SYN for a new
// connection and follows that one in the same slot. Every other stream that
// libnids frees after it was reported established is reported closed. So a
// followed stream that is gone after such a SYN (its four ends name no stream
// or another one, or its slot holds a stream not established) was freed
// silently, and the dispatcher reports its end. In case libnids frees one
// silently in another way, a stream reported established anew while it is
// followed, and each followed stream that is gone when the run ends, are
// reported closed too.
class connection_registry {
public:
    void start();

    // True when `stream` is followed: established anew, the earlier
    // connection in its slot was freed silently.
    bool follows(const tcp_stream* stream) const { return followed_.count(stream) != 0; }

    void opened(const tcp_stream* stream);
    void closed(const tcp_stream* stream) { followed_.erase(stream); }

    // A TCP packet about to be processed: a client's SYN on the four ends of
    // a followed stream may free it.
    void packet(const packet_summary& packet)
    {
        watched_ = nullptr;
        if (packet.opens && !followed_.empty())
            watch(packet.key);
    }

    // After the packet: the followed stream that it freed silently, or null.
    tcp_stream* lost()
    {
        if (!watched_)
            return nullptr;
        tcp_stream* stream = watched_;
        watched_ = nullptr;
        return follows(stream) && gone(stream, watched_key_) ? stream : nullptr;
    }

    // Before libnids' exit: the followed streams that it no longer holds.
    std::vector<tcp_stream*> lost_all();

private:
    void watch(tuple4 key);
    static bool gone(const tcp_stream* stream, tuple4 key);

    std::unordered_map<const tcp_stream*, tuple4> followed_;  // stream -> its four ends
    tcp_stream* watched_ = nullptr;
    tuple4 watched_key_{};
};

}  // namespace nids
