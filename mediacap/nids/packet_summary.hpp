#pragma once

// Inside the libnids wrapper only: includes <nids.h>.

#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <nids.h>

namespace nids {

// What the out-of-order ledger and the connection registry read of a packet
// before libnids processes it.
struct packet_summary {
    tuple4 key{};          // as the sender's end were the client's
    bool carries = false;  // data or a FIN
    bool opens = false;    // a SYN without ACK or RST: a client opening
};

// libnids does not align the header: it is read byte by byte. False for what
// is not a whole TCP header.
inline bool summarize(const unsigned char* header, packet_summary& packet)
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

}  // namespace nids
