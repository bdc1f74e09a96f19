#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "mediacap/decoder/memory_budget.hpp"

// libnids' own types; only the sources of mediacap/nids see their
// definitions.
struct tuple4;
struct tcp_stream;
struct ip;
struct pcap;

namespace nids {

// libnids or libpcap could not start capturing (no such device, no rights,
// a filter or link type they reject, an unreadable capture file). what() is
// the library's own text.
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// libnids settings for the next run. An unset field leaves libnids' default.
// The object must stay alive until the run that follows configure() returns:
// libnids keeps pointers to its strings.
struct options {
    std::optional<std::string> device;    // capture device (interface name)
    std::optional<bool> promiscuous;
    // Test and benchmark seam: read this pcap file instead of a device. The
    // run then ends at the end of the file.
    std::optional<std::string> capture_file;
    // Test seam: the bounds of out-of-order data (see below); unset, the
    // defaults.
    std::optional<std::size_t> out_of_order_side_bytes;
    std::optional<std::size_t> out_of_order_total_bytes;
    // Test seam: the limit of the run's memory budget; unset, 1 GiB.
    std::optional<std::size_t> budget_bytes;
};

// Out-of-order data: the segments libnids holds for a side of a connection
// that arrived after a hole, until the hole is filled (a lost segment's
// retransmission comes about one round trip of later data after it). Counted
// as libnids counts them: each segment with its headers and bookkeeping, about
// 1,700 bytes for one of 1,448 bytes of data.
//
// A side may hold 8 MiB: about 6.7 MiB of data in full-size segments, more
// than a round trip of 50 ms at 1 Gbit/s. All sides together may hold
// 256 MiB. A side that passes its bound, or grows while all together hold
// more than theirs, is given up as libnids gives up a side past its own bound
// of 64 KiB: its whole queue is discarded with its next segment, the bytes
// after the hole never arrive, and that direction of the connection stalls
// until it closes (the other direction goes on). From then on libnids keeps
// nothing out of order for that side.
constexpr std::size_t out_of_order_side_bytes = std::size_t(8) << 20;
constexpr std::size_t out_of_order_total_bytes = std::size_t(256) << 20;

// Out-of-order data over one run.
struct out_of_order_counts {
    std::size_t peak_bytes = 0;  // most held at once, all connections together
    unsigned sides_given_up = 0;  // sides given up at either bound
    std::size_t held_bytes = 0;  // held now (0 once the run has ended)
};

// Applies `settings` to libnids' global parameters, switches libnids'
// port-scan detection and its logging off. Call on the capture thread, before
// dispatcher::run, never while a run is in progress.
void configure(const options& settings);

// libpcap's packet counts of a live run, as its loop ended.
struct capture_counts {
    unsigned received = 0;           // packets that passed the filter
    unsigned dropped = 0;            // dropped for want of room in the kernel buffer
    unsigned interface_dropped = 0;  // dropped by the interface or its driver
};

// libnids' log hook: drops every warning and log line.
void null_syslog(int type, int errnum, struct ip* header, void* data);

// The one libnids capture loop of the process. It runs libnids on the calling
// thread and turns its TCP callback into four plain callbacks, all called on
// that thread from inside run(). The connection key handed to every callback
// is the address of the connection's tuple4 inside libnids (source = client,
// destination = server); it stays the same for the life of the connection.
//
// None of the callbacks may let an exception out into libnids' C frames; one
// that does anyway is caught here and the bytes offered to it are dropped.
class dispatcher {
public:
    static dispatcher& instance();

    dispatcher(const dispatcher&) = delete;
    dispatcher& operator=(const dispatcher&) = delete;

    // A connection completed its handshake.
    std::function<void(tuple4*)> established;
    // The connection ended; the state is libnids': 3 closed, 4 reset,
    // 5 timed out, 6 libnids exiting (the run is ending). A connection that
    // libnids let go without a word (its client opened again on the same
    // ends over an hour after it began) ends as timed out, after the packet
    // that let it go, and without a last offer of its bytes.
    std::function<void(tuple4*, int)> closed;
    // Bytes the client sent: every byte of that direction not consumed yet,
    // oldest first. Returns how many leading bytes it consumed; libnids keeps
    // the rest and offers it again with the next arrival in that direction.
    // The data lives in libnids' buffer and is valid during the call only.
    std::function<unsigned(tuple4*, const char*, unsigned)> request_bytes;
    // Bytes the server sent; as request_bytes.
    std::function<unsigned(tuple4*, const char*, unsigned)> response_bytes;
    // Called after every turn of the loop: after each packet, after a read
    // time-out, and after wake().
    std::function<void()> after_dispatch;

    // Set by stop(); the loop ends before its next dispatch.
    std::atomic<bool> stop_requested{false};

    // The pcap filter for the watched TCP ports, IPv4 and unfragmented only:
    // "tcp and (port 80 or port 8080) and ip[6:2] & 0x3fff = 0".
    static std::string make_filter(const std::set<std::uint16_t>& ports);

    // Captures on the configured device (or reads the configured file) and
    // calls the callbacks, until stop() or `*owner_stop` becomes true, libnids
    // reports a capture error, or the capture file ends. Before it returns,
    // every connection still open is flushed and reported to `closed` with
    // state 6. Clears stop_requested at its start; an owner whose stop may
    // come before the run sets its own `owner_stop` first, which is checked
    // once the run can be woken and before every dispatch. Throws nids::error
    // when capture cannot start. One run per process at a time.
    void run(const std::set<std::uint16_t>& ports, const std::atomic<bool>* owner_stop = nullptr);

    // Asks the running loop to end and wakes it if it is waiting for a
    // packet. Safe from any thread, at any time.
    void stop();

    // Wakes the running loop if it is waiting for a packet, so that
    // after_dispatch runs; the loop goes on. Live, a wait for packets may
    // last until the next packet arrives. Safe from any thread, at any time.
    void wake();
    // As wake(), but only while the loop running is the run whose owner_stop
    // is `owner_stop`: an owner whose run has ended (its writer still
    // working, or a late stop) never wakes the run of the next owner.
    void wake(const std::atomic<bool>* owner_stop);

    // The counts of the last live run, taken as its loop ended; empty before
    // the first live run and after a run over a capture file. Any thread.
    std::optional<capture_counts> last_counts();

    // The out-of-order counts of the last run, or of the run in progress so
    // far. On the capture thread only.
    out_of_order_counts last_out_of_order() const;

    // The account of the memory that traffic makes a run hold (see
    // memory_budget), emptied as each run starts: libnids' buffers of each
    // direction and its out-of-order segments are charged to it here, and
    // the decoder that decoder_feed binds charges its waiting requests and
    // gives up the connections that hold it. The loop sets its clock to the
    // time of each packet. On the capture thread only.
    mediacap::decoder::memory_budget& budget();

    // Registered with libnids; turns its callback into the four above.
    static void tcp_callback(tcp_stream* stream, void** unused);

private:
    dispatcher() = default;

    void publish_handle(pcap* handle, const std::atomic<bool>* owner_stop);

    // The live capture handle while the loop may wait in it; stop() wakes
    // the wait through it. Guarded so that run() never closes it under a
    // concurrent pcap_breakloop.
    std::mutex handle_mutex_;
    pcap* handle_ = nullptr;
    const std::atomic<bool>* handle_owner_ = nullptr;  // the owner_stop of the run that published handle_
    std::optional<capture_counts> last_counts_;  // under handle_mutex_
};

}  // namespace nids
