#include "mediacap/nids/dispatcher.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <nids.h>
#include <pcap.h>

#include "mediacap/decoder/connection_address.hpp"

namespace nids {
namespace {

// The decoder reads connection keys through its own mirror of tuple4.
using mediacap::decoder::connection_address;
static_assert(sizeof(connection_address) == sizeof(tuple4));
static_assert(offsetof(connection_address, source) == offsetof(tuple4, source));
static_assert(offsetof(connection_address, dest) == offsetof(tuple4, dest));
static_assert(offsetof(connection_address, saddr) == offsetof(tuple4, saddr));
static_assert(offsetof(connection_address, daddr) == offsetof(tuple4, daddr));

// libnids' own device opening uses a 16 KiB snapshot and the default 2 MiB
// kernel buffer: frames from loopback or with receive offload are longer than
// that, and bursts overflow the buffer. The handle is opened here instead.
constexpr int snapshot_length = 262144;
constexpr int kernel_buffer_bytes = 32 * 1024 * 1024;
// How long one read may wait; stop() does not depend on it (it breaks the
// loop), but a short value keeps delivery of a lone packet prompt.
constexpr int read_timeout_ms = 100;

// libnids keeps a pointer to this table, so it must outlive every run:
// checksums are checked for no address, since loopback traffic and frames
// with checksum offload carry checksums that were never filled in.
nids_chksum_ctl no_checksums[] = {{0, 0, NIDS_DONT_CHKSUM, 0}};

// One owner for the live handle; closing it also frees the filter program.
struct live_handle {
    pcap_t* handle = nullptr;
    ~live_handle()
    {
        if (handle)
            pcap_close(handle);
    }
};

std::string pcap_error_text(pcap_t* handle, int status)
{
    std::string text = pcap_geterr(handle);
    return text.empty() ? pcap_statustostr(status) : text;
}

void open_live(live_handle& owner, const char* device, bool promiscuous, const std::string& filter)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    owner.handle = pcap_create(device, errbuf);
    if (!owner.handle)
        throw error(errbuf);
    pcap_t* handle = owner.handle;
    pcap_set_snaplen(handle, snapshot_length);
    pcap_set_promisc(handle, promiscuous ? 1 : 0);
    pcap_set_timeout(handle, read_timeout_ms);
    pcap_set_buffer_size(handle, kernel_buffer_bytes);
    const int status = pcap_activate(handle);
    if (status < 0)
        throw error(pcap_error_text(handle, status));

    // Compiled here, not by libnids: libnids returns without a message when
    // the filter is rejected.
    bpf_program program;
    if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
        throw error(pcap_error_text(handle, PCAP_ERROR));
    const int set = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (set != 0)
        throw error(pcap_error_text(handle, PCAP_ERROR));
}

unsigned offer(const std::function<unsigned(tuple4*, const char*, unsigned)>& callback, tcp_stream* stream,
               const half_stream& half)
{
    const auto length = static_cast<unsigned>(half.count - half.offset);
    if (!callback)
        return length;
    try {
        return callback(&stream->addr, half.data, length);
    } catch (...) {
        // Nothing may unwind through libnids; the bytes are given up.
        return length;
    }
}

void consume(tcp_stream* stream, unsigned consumed)
{
    // libnids drops min(consumed, buffered) leading bytes after the callback
    // returns and keeps the rest; without this call it would drop them all.
    nids_discard(stream, static_cast<int>(consumed));
}

// What the ledger and the registry below read of a packet before libnids
// processes it.
struct packet_summary {
    tuple4 key{};          // as the sender's end were the client's
    bool carries = false;  // data or a FIN
    bool opens = false;    // a SYN without ACK or RST: a client opening
};

// libnids does not align the header: it is read byte by byte. False for what
// is not a whole TCP header.
bool summarize(const unsigned char* header, packet_summary& packet)
{
    const auto read16 = [](const unsigned char* at) { return static_cast<unsigned>(at[0] << 8 | at[1]); };
    const unsigned ip_header = (header[0] & 0x0fu) * 4u, ip_length = read16(header + 2);
    if (header[9] != IPPROTO_TCP || ip_length < ip_header + 20)
        return false;
    const unsigned char* tcp = header + ip_header;
    const unsigned tcp_header = (tcp[12] >> 4) * 4u;
    packet.carries = ip_length > ip_header + tcp_header || (tcp[13] & TH_FIN);
    packet.opens = (tcp[13] & (TH_SYN | TH_ACK | TH_RST)) == TH_SYN;
    std::memcpy(&packet.key.saddr, header + 12, 4);
    std::memcpy(&packet.key.daddr, header + 16, 4);
    packet.key.source = static_cast<u_short>(read16(tcp));
    packet.key.dest = static_cast<u_short>(read16(tcp + 2));
    return true;
}

// The out-of-order data libnids holds, per side and in all, and its bounds.
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
    void set_bounds(std::size_t side, std::size_t total)
    {
        side_bound_ = static_cast<long>(std::min<std::size_t>(side, std::size_t(256) << 20));
        total_bound_ = static_cast<long>(std::min<std::size_t>(total, std::size_t(1) << 40));
    }

    void start()
    {
        entries_.clear();
        counts_ = {};
        total_ = 0;
        waiting_ = 0;
        touched_ = nullptr;
        pending_ = {};
    }

    // Raises both sides of a connection that was just established.
    void established(tcp_stream* stream)
    {
        stream->user = nullptr;
        try {
            // A stream that libnids freed without a callback and that the
            // registry below did not see go leaves its entry behind.
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
    void closed(tcp_stream* stream)
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
    void settle()
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

    // Before libnids lets go of its connections at the end of a run: nothing
    // may be looked up after that.
    void finish()
    {
        touched_ = nullptr;
        pending_.noted = false;
    }

    out_of_order_counts counts() const
    {
        out_of_order_counts now = counts_;
        now.held_bytes = static_cast<std::size_t>(total_);
        return now;
    }

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
    void shrink(tcp_stream* stream)
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

    static long held_in(int count)
    {
        if (count < 0)
            return static_cast<long>(count) - raised_base;
        if (count == shut)
            return 0;
        if (count > shut)
            return count - (shut + 1);
        return count;
    }

    void forget(const sides& entry)
    {
        for (int i = 0; i < 2; ++i) {
            total_ -= entry.held[i];
            waiting_ -= entry.waiting[i] ? 1 : 0;
        }
        budget_.charge(-(entry.held[0] + entry.held[1] + entry.buffers));
    }

    void settle(tcp_stream* stream)
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
            if ((raised && entry->held[i] > side_bound_) || total_ > total_bound_ || budget_.over()) {
                halves[i]->rmem_alloc = static_cast<int>(shut + 1 + entry->held[i]);
                entry->waiting[i] = entry->dropped[i] = true;
                ++waiting_;
                ++counts_.sides_given_up;
            }
        }
    }

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

// The connections reported established and not reported closed yet.
//
// libnids frees a stream without a callback when its client sends a SYN
// (without ACK or RST) on the stream's four ends more than tcp_flow_timeout
// seconds (an hour) after the stream began: it takes the SYN for a new
// connection and follows that one in the same slot. Every other stream that
// libnids frees after it was reported established is reported closed. So a
// followed stream that is gone after such a SYN (its four ends name no stream
// or another one, or its slot holds a stream not established) was freed
// silently, and its end is reported here. In case libnids frees one silently
// in another way, a stream reported established anew while it is followed, and
// each followed stream that is gone when the run ends, are reported closed too.
class connection_registry {
public:
    void start()
    {
        followed_.clear();
        watched_ = nullptr;
    }

    // True when `stream` is followed: established anew, the earlier
    // connection in its slot was freed silently.
    bool follows(const tcp_stream* stream) const { return followed_.count(stream) != 0; }

    void opened(const tcp_stream* stream)
    {
        try {
            followed_.emplace(stream, stream->addr);
        } catch (...) {
            // Not watched; libnids reports its close as ever.
        }
    }

    void closed(const tcp_stream* stream) { followed_.erase(stream); }

    // A TCP packet about to be processed: a client's SYN on the four ends of
    // a followed stream may free it.
    void packet(const packet_summary& packet)
    {
        watched_ = nullptr;
        if (!packet.opens || followed_.empty())
            return;
        tuple4 key = packet.key;
        tcp_stream* stream = nids_find_tcp_stream(&key);
        if (stream && follows(stream)) {
            watched_ = stream;
            watched_key_ = key;
        }
    }

    // After the packet: the followed stream that it freed silently, or null.
    tcp_stream* lost()
    {
        tcp_stream* stream = watched_;
        watched_ = nullptr;
        return stream && follows(stream) && gone(stream, watched_key_) ? stream : nullptr;
    }

    // Before libnids' exit: the followed streams that it no longer holds.
    std::vector<tcp_stream*> lost_all()
    {
        std::vector<tcp_stream*> lost;
        for (auto& [stream, key] : followed_)
            if (gone(stream, key))
                lost.push_back(const_cast<tcp_stream*>(stream));
        return lost;
    }

private:
    static bool gone(const tcp_stream* stream, tuple4 key)
    {
        return nids_find_tcp_stream(&key) != stream || stream->nids_state != NIDS_DATA;
    }

    std::unordered_map<const tcp_stream*, tuple4> followed_;  // stream -> its four ends
    tcp_stream* watched_ = nullptr;
    tuple4 watched_key_{};
};

mediacap::decoder::memory_budget traffic_budget;
out_of_order_ledger ledger{traffic_budget};
connection_registry registry;

// Reports the end of a followed connection whose stream libnids freed
// without a callback: as timed out, with no last offer of its bytes (they
// went with the stream).
void report_lost(tcp_stream* stream)
{
    dispatcher& self = dispatcher::instance();
    if (self.closed) {
        try {
            self.closed(&stream->addr, NIDS_TIMED_OUT);
        } catch (...) {
            // Nothing may unwind through libnids.
        }
    }
    ledger.closed(stream);
    registry.closed(stream);
}

// Settles the packet processed last.
void settle_packet()
{
    ledger.settle();
    if (tcp_stream* lost = registry.lost())
        report_lost(lost);
}

// libnids' IP callback: every IP packet, before its TCP processing.
void note_packet(struct ip* header, int)
{
    settle_packet();
    packet_summary packet;
    if (!summarize(reinterpret_cast<const unsigned char*>(header), packet))
        return;
    ledger.packet(packet);
    registry.packet(packet);
}

}  // namespace

void configure(const options& settings)
{
    // The string fields are reset when unset, so that a run never reads a
    // pointer left by an options object of an earlier run.
    nids_params.device = settings.device ? const_cast<char*>(settings.device->c_str()) : nullptr;
    nids_params.filename = settings.capture_file ? const_cast<char*>(settings.capture_file->c_str()) : nullptr;
    if (settings.promiscuous)
        nids_params.promisc = *settings.promiscuous ? 1 : 0;
    nids_params.scan_num_hosts = 0;
    ledger.set_bounds(settings.out_of_order_side_bytes.value_or(out_of_order_side_bytes),
                      settings.out_of_order_total_bytes.value_or(out_of_order_total_bytes));
    traffic_budget.set_limit(settings.budget_bytes.value_or(mediacap::decoder::memory_budget::default_limit));
    nids_params.syslog = reinterpret_cast<void (*)()>(&null_syslog);
}

void null_syslog(int, int, struct ip*, void*)
{
}

dispatcher& dispatcher::instance()
{
    static dispatcher the_dispatcher;
    return the_dispatcher;
}

std::string dispatcher::make_filter(const std::set<std::uint16_t>& ports)
{
    std::string filter = "tcp and ";
    if (!ports.empty()) {
        std::string any;
        for (const std::uint16_t port : ports)
            any += (any.empty() ? "port " : " or port ") + std::to_string(port);
        filter += "(" + any + ") and ";
    }
    // No IP fragment: a port test already rejects every fragment but the
    // first, so a fragmented datagram is never whole, and libnids would only
    // hold its first fragment (up to 256 KiB per host) until it timed out.
    return filter + "ip[6:2] & 0x3fff = 0";
}

void dispatcher::publish_handle(pcap* handle)
{
    const std::lock_guard<std::mutex> lock(handle_mutex_);
    handle_ = handle;
}

void dispatcher::run(const std::set<std::uint16_t>& ports, const std::atomic<bool>* owner_stop)
{
    stop_requested = false;
    std::string filter = make_filter(ports);
    nids_params.pcap_filter = filter.data();

    const bool from_file = nids_params.filename != nullptr;
    live_handle live;
    if (!from_file && nids_params.device) {
        try {
            open_live(live, nids_params.device, nids_params.promisc != 0, filter);
        } catch (...) {
            nids_params.pcap_filter = nullptr;
            throw;
        }
    }
    nids_params.pcap_desc = live.handle;

    if (!nids_init()) {
        nids_params.pcap_desc = nullptr;
        nids_params.pcap_filter = nullptr;
        throw error(nids_errbuf);
    }
    // nids_init empties the callback lists: register after it.
    nids_register_tcp(reinterpret_cast<void*>(&dispatcher::tcp_callback));
    nids_register_ip(reinterpret_cast<void*>(&note_packet));
    traffic_budget.reset();
    ledger.start();
    registry.start();
    nids_register_chksum_ctl(no_checksums, 1);

    // From here stop() can wake a wait in the handle; flags set before this
    // point are seen by the first check below.
    publish_handle(live.handle);
    const auto stopping = [&] { return stop_requested.load() || (owner_stop && owner_stop->load()); };
    while (!stopping()) {
        // One packet per dispatch: -1 is a capture error, -2 a wake-up by
        // stop(), 0 a read time-out live or the end of a capture file.
        const int result = nids_dispatch(1);
        settle_packet();
        if (after_dispatch) {
            try {
                after_dispatch();
            } catch (...) {
                // The loop goes on whatever the hook met.
            }
        }
        if (result == -1)
            break;
        if (result == 0 && from_file)
            break;
    }
    publish_handle(nullptr);
    {
        std::optional<capture_counts> counts;
        pcap_stat stats{};
        if (live.handle && pcap_stats(live.handle, &stats) == 0)
            counts = capture_counts{stats.ps_recv, stats.ps_drop, stats.ps_ifdrop};
        const std::lock_guard<std::mutex> lock(handle_mutex_);
        last_counts_ = counts;
    }

    // Reports every connection still open with NIDS_EXITING. libnids does not
    // close a handle that it was given; `live` does, after it.
    for (tcp_stream* lost : registry.lost_all())
        report_lost(lost);
    ledger.finish();
    nids_exit();
    nids_params.pcap_desc = nullptr;
    nids_params.pcap_filter = nullptr;
}

void dispatcher::stop()
{
    stop_requested = true;
    const std::lock_guard<std::mutex> lock(handle_mutex_);
    if (handle_)
        pcap_breakloop(handle_);
}

std::optional<capture_counts> dispatcher::last_counts()
{
    const std::lock_guard<std::mutex> lock(handle_mutex_);
    return last_counts_;
}

out_of_order_counts dispatcher::last_out_of_order() const
{
    return ledger.counts();
}

mediacap::decoder::memory_budget& dispatcher::budget()
{
    return traffic_budget;
}

void dispatcher::wake()
{
    const std::lock_guard<std::mutex> lock(handle_mutex_);
    if (handle_)
        pcap_breakloop(handle_);
}

void dispatcher::tcp_callback(tcp_stream* stream, void**)
{
    dispatcher& self = instance();
    switch (stream->nids_state) {
    case NIDS_JUST_EST:
        // libnids drops a segment whose TCP timestamp is older than that of
        // the last segment it took in order (PAWS, RFC 7323), where a receiver
        // takes it. On a path that reorders a little, a retransmission that
        // fills a hole may overtake a segment sent just before it: libnids
        // would then drop that segment, which is never sent again, and the
        // side would stall for good. Without the check, only a segment of a
        // sequence number that wrapped around (4 GiB on one side, within a
        // segment's lifetime on the path: several Gbit/s) could be taken for
        // new data.
        stream->client.ts_on = 0;
        stream->server.ts_on = 0;
        if (registry.follows(stream))
            report_lost(stream);
        registry.opened(stream);
        ledger.established(stream);
        if (self.established) {
            try {
                self.established(&stream->addr);
            } catch (...) {
                // Nothing may unwind through libnids.
            }
        }
        stream->client.collect++;
        stream->server.collect++;
        return;
    case NIDS_DATA:
        // The client half holds what the server sent, the server half what
        // the client sent. When both have news, the server's bytes go first
        // and the client's wait for the stream's next callback.
        ledger.delivered(stream);
        ledger.buffered(stream);
        if (stream->client.count_new > 0)
            consume(stream, offer(self.response_bytes, stream, stream->client));
        else if (stream->server.count_new > 0)
            consume(stream, offer(self.request_bytes, stream, stream->server));
        return;
    default:
        break;
    }

    // A last offer of one direction's unconsumed bytes: the server's when it
    // ever sent something, else the client's.
    if (stream->client.count > 0)
        consume(stream, offer(self.response_bytes, stream, stream->client));
    else if (stream->server.count > 0)
        consume(stream, offer(self.request_bytes, stream, stream->server));

    switch (stream->nids_state) {
    case NIDS_CLOSE:
    case NIDS_RESET:
    case NIDS_TIMED_OUT:
    case NIDS_EXITING:
        if (self.closed) {
            try {
                self.closed(&stream->addr, stream->nids_state);
            } catch (...) {
                // Nothing may unwind through libnids.
            }
        }
        ledger.closed(stream);
        registry.closed(stream);
        break;
    default:
        break;
    }
}

}  // namespace nids
