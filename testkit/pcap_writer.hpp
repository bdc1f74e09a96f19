#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace test_support {

// Writes a pcap file of Ethernet/IPv4/TCP frames, for feeding libnids in file
// mode. Frames get consecutive timestamps one millisecond apart (skip moves
// them on). IP and TCP checksums are filled in. Throws std::runtime_error when
// the file cannot be opened.
class pcap_writer {
public:
    explicit pcap_writer(const std::string& path);
    ~pcap_writer();

    pcap_writer(const pcap_writer&) = delete;
    pcap_writer& operator=(const pcap_writer&) = delete;

    // Writes one frame carrying a TCP segment. Addresses are dotted IPv4
    // text; `flags` are the TCP flag bits (tcp_flow's constants); `options`
    // are TCP options, a multiple of 4 bytes long.
    void write_tcp(const std::string& source_address, std::uint16_t source_port,
                   const std::string& destination_address, std::uint16_t destination_port,
                   std::uint32_t seq, std::uint32_t ack, std::uint8_t flags, std::string_view payload,
                   std::string_view options = {});

    // Writes the first fragment of an IPv4 datagram that carries a TCP
    // segment: the TCP header and `payload`, and the flag that more fragments
    // follow (none ever does).
    void write_first_fragment(const std::string& source_address, std::uint16_t source_port,
                              const std::string& destination_address, std::uint16_t destination_port,
                              std::string_view payload);

    // Writes one Ethernet frame exactly as given (another protocol, a broken
    // packet), with the next timestamp.
    void write_frame(std::string_view frame);

    // The frames written from now on are stamped `seconds` later.
    void skip(unsigned seconds) { skipped_ += seconds; }

    // Flushes and closes the file; further writes are ignored.
    void close();

    std::size_t frames() const { return frames_; }
    std::uint64_t payload_bytes() const { return payload_bytes_; }

private:
    void dump(const unsigned char* frame, std::size_t size);

    pcap* dead_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    std::vector<unsigned char> frame_;
    std::size_t frames_ = 0;
    std::uint64_t payload_bytes_ = 0;
    unsigned skipped_ = 0;
    std::uint16_t fragment_field_ = 0x4000;  // don't fragment
};

enum class side { client, server };

// One TCP segment of a flow, ready to be written (or written again).
struct tcp_segment {
    side from;
    std::uint32_t seq;
    std::uint8_t flags;
    std::string payload;
    std::string options = {};  // TCP options, a multiple of 4 bytes
    // The TCP timestamp it carries when its flow has timestamps on: the
    // sender's clock when it was sent. 0: when it is written.
    std::uint32_t stamp = 0;
};

// One TCP connection between a client and a server, written through a
// pcap_writer with correct sequence and acknowledgement numbers. Helpers are
// named after what happens on the wire:
//
//   tcp_flow flow(writer, "10.0.0.1", 40000, "10.0.0.2", 80);
//   flow.handshake();
//   flow.send(side::client, request);
//   flow.send(side::server, response, 1460);   // segmented at an MSS
//   flow.close();                               // FIN both ways
//
// Out-of-order and retransmitted data: build the segments with segments()
// (which advances the sequence numbers as if they were sent) and write them in
// any order, or twice, with write().
//
// The receiving side acknowledges in-order data every 16 KiB, as a real peer
// would: libnids drops segments beyond the receiver's advertised window.
class tcp_flow {
public:
    static constexpr std::uint8_t fin = 0x01, syn = 0x02, rst = 0x04, psh = 0x08, ack = 0x10;

    tcp_flow(pcap_writer& writer, std::string client_address, std::uint16_t client_port,
             std::string server_address, std::uint16_t server_port);

    // SYN, SYN-ACK, ACK.
    void handshake();
    // The same with window scaling: each side's window of 65535 counts in
    // units of 2^`shift` bytes, so that libnids accepts segments up to that
    // far beyond the receiver's last acknowledgement. With `timestamps`, both
    // sides also agree on TCP timestamps, and every later segment carries
    // one: a clock that ticks once per segment written (or stamped).
    void handshake(unsigned shift, bool timestamps = false);
    // `data` from one side in segments of at most `mss` bytes, in order.
    void send(side from, std::string_view data, std::size_t mss = 1460);
    // `data` from one side cut into segments at the given offsets.
    void split(side from, std::string_view data, std::initializer_list<std::size_t> cuts);
    // `data` from one side in segments of at most `mss` bytes, written last
    // segment first; the receiver can only deliver when the first one comes.
    void reorder(side from, std::string_view data, std::size_t mss);
    // `data` in segments, with the segment at `index` written twice.
    void retransmit(side from, std::string_view data, std::size_t mss, std::size_t index);
    // `data` in segments over a lossy link: each segment is missing at first
    // with probability `loss` (drawn from `seed`), and is sent again once
    // `delay` more bytes of `data` were written after it (or at its end), as a
    // retransmission reaches a sniffer about a round trip after the loss. The
    // receiver answers every segment that arrives while a hole is open with a
    // duplicate acknowledgement at the hole. Returns the number of segments
    // lost. Needs a handshake with a window shift that lets `delay` bytes in.
    // With `overtaking`, the path reorders a little: a retransmission that is
    // due after a segment reaches the sniffer before that segment, which
    // carries the older timestamp.
    std::size_t lossy(side from, std::string_view data, std::size_t mss, double loss, std::size_t delay,
                      std::uint64_t seed, bool overtaking = false);
    // The segments that would carry `data`, sequence numbers advanced as if
    // they were sent; nothing is written.
    std::vector<tcp_segment> segments(side from, std::string_view data, std::size_t mss);
    // Writes one segment (again).
    void write(const tcp_segment& segment);
    // A reset from one side.
    void reset(side from);
    // FIN from `first`, FIN-ACK from the other, ACK from `first`.
    void close(side first = side::client);

private:
    // What the receiver of `from`'s data has seen in order, and what it
    // acknowledged last.
    struct receiver {
        std::uint32_t in_order = 0;
        std::uint32_t acknowledged = 0;
        std::map<std::uint32_t, std::uint32_t> out_of_order;  // seq -> end
    };

    void received(side from, std::uint32_t seq, std::size_t length);
    void write_ack(side from, std::uint32_t ack_value);

    // The TCP options of a segment: its own, and a timestamp when they are on.
    std::string options_of(const tcp_segment& segment);

    pcap_writer& writer_;
    bool timestamps_ = false;
    std::uint32_t clock_ = 1;
    std::string client_address_, server_address_;
    std::uint16_t client_port_, server_port_;
    std::uint32_t client_next_, server_next_;
    receiver of_client_, of_server_;
};

}  // namespace test_support
