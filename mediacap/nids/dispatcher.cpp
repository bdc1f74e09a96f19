#include "mediacap/nids/dispatcher.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <unordered_map>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <nids.h>
#include <pcap.h>

#include "mediacap/decoder/connection_address.hpp"
#include "mediacap/nids/capture_thread.hpp"
#include "mediacap/nids/kernel_buffer.hpp"

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
    pcap_set_buffer_size(handle, kernel_buffer_bytes_for(device));
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
            // A stream that libnids freed without a callback (a client's SYN
            // long after the last) leaves its entry behind for its slot.
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
            halves[i]->rmem_alloc += raised_base;
        }
    }

    // A connection's end: libnids frees its queues after the callback.
    void closed(tcp_stream* stream)
    {
        if (touched_ == stream)
            touched_ = nullptr;
        if (!stream->user)
            return;
        const auto at = entries_.find(stream);
        if (at != entries_.end()) {
            forget(at->second);
            entries_.erase(at);
        }
        stream->user = nullptr;
    }

    // Data of `stream` was delivered by the packet being processed.
    void delivered(tcp_stream* stream) { touched_ = stream; }

    // A packet about to be processed; the previous one is settled first.
    // libnids does not align the header: it is read byte by byte.
    void packet(const unsigned char* header)
    {
        settle();
        const auto read16 = [](const unsigned char* at) { return static_cast<unsigned>(at[0] << 8 | at[1]); };
        const unsigned ip_header = (header[0] & 0x0fu) * 4u, ip_length = read16(header + 2);
        if (header[9] != IPPROTO_TCP || ip_length < ip_header + 20)
            return;
        const unsigned char* tcp = header + ip_header;
        const unsigned tcp_header = (tcp[12] >> 4) * 4u;
        pending_.carries = ip_length > ip_header + tcp_header || (tcp[13] & TH_FIN);
        std::memcpy(&pending_.key.saddr, header + 12, 4);
        std::memcpy(&pending_.key.daddr, header + 16, 4);
        pending_.key.source = static_cast<u_short>(read16(tcp));
        pending_.key.dest = static_cast<u_short>(read16(tcp + 2));
        pending_.noted = true;
    }

    // Settles the last packet processed.
    void settle()
    {
        if (touched_) {
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

    out_of_order_counts counts() const { return counts_; }

private:
    // libnids discards a queue whose count passes this; a count of exactly
    // this holds nothing and lets libnids keep nothing.
    static constexpr int shut = 65535;
    static constexpr int raised_base = INT_MIN / 2;

    struct sides {
        long held[2] = {0, 0};  // client half (the server's data), server half
        bool waiting[2] = {false, false};  // given up, its queue not discarded yet
        bool dropped[2] = {false, false};  // given up for good
    };

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
            entry->held[i] = held;
        }
        if (total_ > static_cast<long>(counts_.peak_bytes))
            counts_.peak_bytes = static_cast<std::size_t>(total_);
        for (int i = 0; i < 2; ++i) {
            if (!grew[i] || entry->waiting[i])
                continue;
            const bool raised = halves[i]->rmem_alloc < 0;
            if ((raised && entry->held[i] > side_bound_) || total_ > total_bound_) {
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

    std::unordered_map<const tcp_stream*, sides> entries_;
    long side_bound_ = static_cast<long>(out_of_order_side_bytes);
    long total_bound_ = static_cast<long>(out_of_order_total_bytes);
    long total_ = 0;
    long waiting_ = 0;  // sides given up whose queue libnids still holds
    tcp_stream* touched_ = nullptr;
    noted_packet pending_;
    out_of_order_counts counts_;
};

out_of_order_ledger ledger;

// libnids' IP callback: every IP packet, before its TCP processing.
void note_packet(struct ip* header, int)
{
    ledger.packet(reinterpret_cast<const unsigned char*>(header));
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
    std::string filter = "tcp ";
    bool first = true;
    for (const std::uint16_t port : ports) {
        if (!first)
            filter += "or ";
        first = false;
        filter += "port " + std::to_string(port) + " ";
    }
    return filter;
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
    ledger.start();
    nids_register_chksum_ctl(no_checksums, 1);

    // From here stop() can wake a wait in the handle; flags set before this
    // point are seen by the first check below.
    publish_handle(live.handle);
    const raised_capture_thread raised(live.handle != nullptr);
    const auto stopping = [&] { return stop_requested.load() || (owner_stop && owner_stop->load()); };
    while (!stopping()) {
        // One packet per dispatch: -1 is a capture error, -2 a wake-up by
        // stop(), 0 a read time-out live or the end of a capture file.
        const int result = nids_dispatch(1);
        ledger.settle();
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
        if (live.handle && pcap_stats(live.handle, &stats) == 0) {
            counts = capture_counts{stats.ps_recv, stats.ps_drop, stats.ps_ifdrop};
            report_drops(nids_params.device, *counts);
        }
        const std::lock_guard<std::mutex> lock(handle_mutex_);
        last_counts_ = counts;
    }

    // Reports every connection still open with NIDS_EXITING. libnids does not
    // close a handle that it was given; `live` does, after it.
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
        break;
    default:
        break;
    }
}

}  // namespace nids
