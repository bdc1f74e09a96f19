#include "testkit/pcap_writer.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <deque>
#include <stdexcept>

#include <pcap.h>

#include "testkit/random_source.hpp"

namespace test_support {
namespace {

constexpr std::size_t ethernet_header = 14, ip_header = 20, tcp_header = 20;

std::uint32_t address_of(const std::string& text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        throw std::runtime_error("not an IPv4 address: " + text);
    return address.s_addr;  // network byte order
}

void put16(unsigned char* at, std::uint16_t value)
{
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

void put32(unsigned char* at, std::uint32_t value)
{
    put16(at, static_cast<std::uint16_t>(value >> 16));
    put16(at + 2, static_cast<std::uint16_t>(value));
}

// Internet checksum (RFC 1071) continued from `sum`.
std::uint32_t add_ones_complement(std::uint32_t sum, const unsigned char* data, std::size_t length)
{
    for (std::size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2)
        sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

pcap_writer::pcap_writer(const std::string& path)
{
    dead_ = pcap_open_dead(DLT_EN10MB, 262144);
    if (!dead_)
        throw std::runtime_error("pcap_open_dead failed");
    dumper_ = pcap_dump_open(dead_, path.c_str());
    if (!dumper_) {
        const std::string text = pcap_geterr(dead_);
        pcap_close(dead_);
        throw std::runtime_error("cannot write " + path + ": " + text);
    }
}

pcap_writer::~pcap_writer()
{
    close();
}

void pcap_writer::close()
{
    if (dumper_) {
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    if (dead_) {
        pcap_close(dead_);
        dead_ = nullptr;
    }
}

void pcap_writer::write_tcp(const std::string& source_address, std::uint16_t source_port,
                            const std::string& destination_address, std::uint16_t destination_port,
                            std::uint32_t seq, std::uint32_t ack, std::uint8_t flags, std::string_view payload,
                            std::string_view options)
{
    if (!dumper_)
        return;
    if (options.size() % 4 != 0 || options.size() > 40)
        throw std::runtime_error("TCP options must be a multiple of 4 bytes, at most 40");
    const std::size_t tcp_length = tcp_header + options.size();
    const std::size_t ip_length = ip_header + tcp_length + payload.size();
    if (ip_length > 65535)
        throw std::runtime_error("TCP segment too large for one IPv4 packet");
    frame_.assign(ethernet_header + ip_length, 0);
    unsigned char* ethernet = frame_.data();
    const unsigned char destination_mac[6] = {0x02, 0, 0, 0, 0, 0x02};
    const unsigned char source_mac[6] = {0x02, 0, 0, 0, 0, 0x01};
    std::memcpy(ethernet, destination_mac, 6);
    std::memcpy(ethernet + 6, source_mac, 6);
    put16(ethernet + 12, 0x0800);

    unsigned char* ip = ethernet + ethernet_header;
    const std::uint32_t source = address_of(source_address);
    const std::uint32_t destination = address_of(destination_address);
    ip[0] = 0x45;
    put16(ip + 2, static_cast<std::uint16_t>(ip_length));
    put16(ip + 4, static_cast<std::uint16_t>(frames_));
    put16(ip + 6, fragment_field_);
    ip[8] = 64;
    ip[9] = IPPROTO_TCP;
    std::memcpy(ip + 12, &source, 4);
    std::memcpy(ip + 16, &destination, 4);
    put16(ip + 10, fold(add_ones_complement(0, ip, ip_header)));

    unsigned char* tcp = ip + ip_header;
    put16(tcp, source_port);
    put16(tcp + 2, destination_port);
    put32(tcp + 4, seq);
    put32(tcp + 8, (flags & tcp_flow::ack) ? ack : 0);
    tcp[12] = static_cast<unsigned char>((tcp_length / 4) << 4);
    tcp[13] = flags;
    put16(tcp + 14, 65535);
    if (!options.empty())
        std::memcpy(tcp + tcp_header, options.data(), options.size());
    if (!payload.empty())
        std::memcpy(tcp + tcp_length, payload.data(), payload.size());
    // The TCP checksum covers a pseudo header of both addresses, the
    // protocol and the segment length (RFC 793 section 3.1).
    unsigned char pseudo[12];
    std::memcpy(pseudo, &source, 4);
    std::memcpy(pseudo + 4, &destination, 4);
    pseudo[8] = 0;
    pseudo[9] = IPPROTO_TCP;
    put16(pseudo + 10, static_cast<std::uint16_t>(tcp_length + payload.size()));
    const std::uint32_t sum = add_ones_complement(0, pseudo, sizeof pseudo);
    put16(tcp + 16, fold(add_ones_complement(sum, tcp, tcp_length + payload.size())));

    dump(frame_.data(), frame_.size());
    payload_bytes_ += payload.size();
}

void pcap_writer::write_first_fragment(const std::string& source_address, std::uint16_t source_port,
                                       const std::string& destination_address, std::uint16_t destination_port,
                                       std::string_view payload)
{
    fragment_field_ = 0x2000;  // more fragments, at offset 0
    write_tcp(source_address, source_port, destination_address, destination_port, 1, 1,
              tcp_flow::ack | tcp_flow::psh, payload);
    fragment_field_ = 0x4000;
}

void pcap_writer::write_frame(std::string_view frame)
{
    if (dumper_)
        dump(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
}

void pcap_writer::dump(const unsigned char* frame, std::size_t size)
{
    pcap_pkthdr header{};
    header.ts.tv_sec = 1700000000 + static_cast<long>(skipped_ + frames_ / 1000);
    header.ts.tv_usec = static_cast<long>(frames_ % 1000) * 1000;
    header.caplen = header.len = static_cast<bpf_u_int32>(size);
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame);
    ++frames_;
}

tcp_flow::tcp_flow(pcap_writer& writer, std::string client_address, std::uint16_t client_port,
                   std::string server_address, std::uint16_t server_port)
    : writer_(writer), client_address_(std::move(client_address)), server_address_(std::move(server_address)),
      client_port_(client_port), server_port_(server_port),
      client_next_(1000000u + client_port * 7919u), server_next_(3000000000u + server_port * 104729u + client_port)
{
    of_client_.in_order = of_client_.acknowledged = client_next_;
    of_server_.in_order = of_server_.acknowledged = server_next_;
}

void tcp_flow::handshake()
{
    write({side::client, client_next_ - 1, syn, {}});
    write({side::server, server_next_ - 1, syn | ack, {}});
    write({side::client, client_next_, ack, {}});
}

void tcp_flow::handshake(unsigned shift, bool timestamps)
{
    // No-operation, then window scale (kind 3, length 3).
    const std::string scale{1, 3, 3, static_cast<char>(shift)};
    timestamps_ = timestamps;
    write({side::client, client_next_ - 1, syn, {}, scale});
    write({side::server, server_next_ - 1, syn | ack, {}, scale});
    write({side::client, client_next_, ack, {}});
}

std::string tcp_flow::options_of(const tcp_segment& segment)
{
    if (!timestamps_)
        return segment.options;
    // Two no-operations, then timestamps (kind 8, length 10): the value, and
    // an echo that libnids does not read.
    std::string stamp{1, 1, 8, 10, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::uint32_t value = segment.stamp != 0 ? segment.stamp : clock_++;
    for (int i = 0; i < 4; ++i)
        stamp[4 + i] = static_cast<char>(value >> (24 - 8 * i));
    return segment.options + stamp;
}

std::vector<tcp_segment> tcp_flow::segments(side from, std::string_view data, std::size_t mss)
{
    std::vector<tcp_segment> result;
    std::uint32_t& next = from == side::client ? client_next_ : server_next_;
    for (std::size_t at = 0; at < data.size(); at += mss) {
        const std::string_view piece = data.substr(at, mss);
        result.push_back({from, next, static_cast<std::uint8_t>(ack | psh), std::string(piece)});
        next += static_cast<std::uint32_t>(piece.size());
    }
    return result;
}

void tcp_flow::write(const tcp_segment& segment)
{
    // Each side acknowledges what it has received in order so far, never
    // data of the peer that is built but not written yet.
    const std::string options = options_of(segment);
    if (segment.from == side::client)
        writer_.write_tcp(client_address_, client_port_, server_address_, server_port_, segment.seq,
                          of_server_.in_order, segment.flags, segment.payload, options);
    else
        writer_.write_tcp(server_address_, server_port_, client_address_, client_port_, segment.seq,
                          of_client_.in_order, segment.flags, segment.payload, options);
    // A FIN takes one sequence number, as a byte of data would.
    const std::size_t length = segment.payload.size() + ((segment.flags & fin) ? 1 : 0);
    if (length > 0)
        received(segment.from, segment.seq, length);
}

void tcp_flow::received(side from, std::uint32_t seq, std::size_t length)
{
    receiver& peer = from == side::client ? of_client_ : of_server_;
    const auto end = static_cast<std::uint32_t>(seq + length);
    // Sequence numbers compare modulo 2^32.
    if (static_cast<std::int32_t>(end - peer.in_order) <= 0)
        return;  // a retransmission of data already seen
    if (static_cast<std::int32_t>(seq - peer.in_order) > 0) {
        peer.out_of_order[seq] = end;
        return;
    }
    peer.in_order = end;
    for (auto next = peer.out_of_order.begin(); next != peer.out_of_order.end();) {
        if (static_cast<std::int32_t>(next->first - peer.in_order) > 0)
            break;
        if (static_cast<std::int32_t>(next->second - peer.in_order) > 0)
            peer.in_order = next->second;
        next = peer.out_of_order.erase(next);
    }
    if (peer.in_order - peer.acknowledged >= 16384) {
        peer.acknowledged = peer.in_order;
        write_ack(from == side::client ? side::server : side::client, peer.in_order);
    }
}

void tcp_flow::write_ack(side from, std::uint32_t ack_value)
{
    // A pure acknowledgement carries the sequence number after what its side
    // has written in order, not after segments that are built but not written
    // yet (a pipelined exchange builds the answers before the upload is
    // through): libnids drops a segment ahead of the window, and with it the
    // window update, and then the rest of the upload.
    const std::string options = options_of({from, 0, ack, {}});
    if (from == side::client)
        writer_.write_tcp(client_address_, client_port_, server_address_, server_port_, of_client_.in_order,
                          ack_value, ack, {}, options);
    else
        writer_.write_tcp(server_address_, server_port_, client_address_, client_port_, of_server_.in_order,
                          ack_value, ack, {}, options);
}

void tcp_flow::send(side from, std::string_view data, std::size_t mss)
{
    for (const tcp_segment& segment : segments(from, data, mss))
        write(segment);
}

void tcp_flow::split(side from, std::string_view data, std::initializer_list<std::size_t> cuts)
{
    std::size_t start = 0;
    for (std::size_t cut : cuts) {
        cut = std::min(cut, data.size());
        if (cut > start)
            send(from, data.substr(start, cut - start), cut - start);
        start = std::max(start, cut);
    }
    if (start < data.size())
        send(from, data.substr(start), data.size() - start);
}

void tcp_flow::reorder(side from, std::string_view data, std::size_t mss)
{
    std::vector<tcp_segment> pieces = segments(from, data, mss);
    std::reverse(pieces.begin(), pieces.end());
    for (const tcp_segment& segment : pieces)
        write(segment);
}

void tcp_flow::retransmit(side from, std::string_view data, std::size_t mss, std::size_t index)
{
    const std::vector<tcp_segment> pieces = segments(from, data, mss);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        write(pieces[i]);
        if (i == index)
            write(pieces[i]);
    }
}

std::size_t tcp_flow::lossy(side from, std::string_view data, std::size_t mss, double loss, std::size_t delay,
                            std::uint64_t seed, bool overtaking)
{
    const side to = from == side::client ? side::server : side::client;
    const receiver& peer = from == side::client ? of_client_ : of_server_;
    random_source random{seed | 1};
    const auto lost_below = static_cast<std::uint64_t>(loss * 1e9);
    struct missing {
        tcp_segment segment;
        std::size_t due;  // bytes written after which it is sent again
    };
    std::deque<missing> waiting;
    std::size_t written = 0, lost = 0;
    for (tcp_segment& segment : segments(from, data, mss)) {
        if (random.next() % 1000000000u < lost_below) {
            waiting.push_back({std::move(segment), written + delay});
            ++lost;
            continue;
        }
        written += segment.payload.size();
        if (overtaking && !waiting.empty() && written >= waiting.front().due) {
            // Sent first, so stamped first; it arrives after the retransmissions.
            segment.stamp = clock_++;
            while (!waiting.empty() && written >= waiting.front().due) {
                write(waiting.front().segment);
                waiting.pop_front();
            }
        }
        write(segment);
        if (!peer.out_of_order.empty())
            write_ack(to, peer.in_order);
        while (!waiting.empty() && written >= waiting.front().due) {
            write(waiting.front().segment);
            waiting.pop_front();
        }
    }
    for (const missing& late : waiting)
        write(late.segment);
    return lost;
}

void tcp_flow::reset(side from)
{
    write({from, from == side::client ? client_next_ : server_next_, static_cast<std::uint8_t>(rst | ack), {}});
}

void tcp_flow::close(side first)
{
    const side second = first == side::client ? side::server : side::client;
    std::uint32_t& first_next = first == side::client ? client_next_ : server_next_;
    std::uint32_t& second_next = first == side::client ? server_next_ : client_next_;
    // A FIN takes one sequence number.
    write({first, first_next++, static_cast<std::uint8_t>(fin | ack), {}});
    write({second, second_next++, static_cast<std::uint8_t>(fin | ack), {}});
    write({first, first_next, ack, {}});
}

}  // namespace test_support
