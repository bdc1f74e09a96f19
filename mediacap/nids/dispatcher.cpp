#include "mediacap/nids/dispatcher.hpp"

#include <chrono>
#include <cstddef>
#include <cstdio>

#include <nids.h>
#include <pcap.h>

#include "mediacap/decoder/connection_address.hpp"
#include "mediacap/nids/capture_thread.hpp"
#include "mediacap/nids/connection_registry.hpp"
#include "mediacap/nids/kernel_buffer.hpp"
#include "mediacap/nids/out_of_order_ledger.hpp"
#include "mediacap/nids/packet_summary.hpp"

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

// One of each for the one libnids of the process, never destroyed: a
// capture thread that storage holds in the kernel may still use them while
// the process exits.
mediacap::decoder::memory_budget& traffic_budget = *new mediacap::decoder::memory_budget;
out_of_order_ledger& ledger = *new out_of_order_ledger{traffic_budget};
connection_registry& registry = *new connection_registry;

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

// What was given up for memory, one line on standard error: the first time
// at once, then at most once a minute with what came in between, and what is
// left at the end of the run. The window shows nothing of it.
class loss_report {
public:
    void start() { last_ = {}; }

    void note(bool run_ended)
    {
        if (!traffic_budget.lost().any())
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!run_ended && last_ != std::chrono::steady_clock::time_point{} && now - last_ < std::chrono::minutes(1))
            return;
        last_ = now;
        const mediacap::decoder::memory_budget::losses lost = traffic_budget.take_losses();
        std::fprintf(stderr,
                     "capture gave up data for memory (budget %zu MiB): connections given up for the budget %u "
                     "(%zu MiB of waiting requests), past their bound of waiting requests %u; heads and request "
                     "bodies past the budget %u; sides holding data out of order %u\n",
                     traffic_budget.limit() >> 20, lost.holders, lost.held_bytes >> 20, lost.past_own_bound,
                     lost.grown, lost.sides);
    }

private:
    std::chrono::steady_clock::time_point last_;
};

loss_report losses;

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
    if (nids_last_pcap_header)
        traffic_budget.set_time(nids_last_pcap_header->ts.tv_sec);
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
    // Never destroyed, like the objects above.
    static auto* const the_dispatcher = new dispatcher;
    return *the_dispatcher;
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

void dispatcher::publish_handle(pcap* handle, const std::atomic<bool>* owner_stop)
{
    const std::lock_guard<std::mutex> lock(handle_mutex_);
    handle_ = handle;
    handle_owner_ = owner_stop;
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
    losses.start();
    ledger.start();
    registry.start();
    nids_register_chksum_ctl(no_checksums, 1);

    // From here stop() can wake a wait in the handle; flags set before this
    // point are seen by the first check below.
    publish_handle(live.handle, owner_stop);
    const raised_capture_thread raised(live.handle != nullptr);
    const auto stopping = [&] { return stop_requested.load() || (owner_stop && owner_stop->load()); };
    while (!stopping()) {
        // One packet per dispatch: -1 is a capture error, -2 a wake-up by
        // stop(), 0 a read time-out live or the end of a capture file.
        const int result = nids_dispatch(1);
        settle_packet();
        losses.note(false);
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
    publish_handle(nullptr, nullptr);
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
    for (tcp_stream* lost : registry.lost_all())
        report_lost(lost);
    ledger.finish();
    losses.note(true);
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

void dispatcher::wake(const std::atomic<bool>* owner_stop)
{
    const std::lock_guard<std::mutex> lock(handle_mutex_);
    if (handle_ && owner_stop && handle_owner_ == owner_stop)
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
        // side would stall for good. What the check guards against is an old
        // duplicate taken for new data once the side's sequence numbers have
        // wrapped around: 4 GiB sent while the duplicate was still on its
        // way, which takes several Gbit/s for one delayed by a second or so.
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
