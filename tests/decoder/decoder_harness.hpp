// The decoder's test harness: libnids' side of the consumption contract for
// one connection, a recorder of what the decoder reports, and the case table
// whose scripts run whole, split at every byte, in small pieces and twice on
// one kept-alive connection (the TEST_Ps are in http_decoder_test.cpp; other
// files instantiate them with tables of their own).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "mediacap/decoder/http_decoder.hpp"

namespace decoder_test {

using mediacap::decoder::connection_address;
using mediacap::decoder::connection_key;
using mediacap::decoder::http_decoder;

// One arrival of bytes in one direction.
struct segment {
    bool from_client;
    std::string bytes;
};

inline segment client(std::string bytes) { return {true, std::move(bytes)}; }
inline segment server(std::string bytes) { return {false, std::move(bytes)}; }

// Records what the decoder reports, one string per event:
//   "E<id> <method> <path> <status>[ body=<request body>]"  exchange
//   "D<id> <bytes>"   body bytes; consecutive chunks of one body are joined
//   "F<id>"           body finished
//   "C<id>"           connection closed
class recorder {
public:
    explicit recorder(http_decoder& decoder)
    {
        decoder.exchange_signal.connect([this](unsigned id, const mediacap::http::http_tuple& exchange) {
            std::string event = "E" + std::to_string(id) + " " + exchange.request.method + " " +
                                exchange.request.path + " " + std::to_string(exchange.response.status);
            if (!exchange.request.body.empty())
                event += " body=" + exchange.request.body;
            events.push_back(event);
            last_exchange = exchange;
        });
        decoder.data_signal.connect([this](unsigned id, const char* data, unsigned length) {
            const std::string prefix = "D" + std::to_string(id) + " ";
            if (events.empty() || events.back().rfind(prefix, 0) != 0)
                events.push_back(prefix);
            events.back().append(data, length);
        });
        decoder.finished_signal.connect([this](unsigned id) { events.push_back("F" + std::to_string(id)); });
        decoder.closed_signal.connect([this](unsigned id) { events.push_back("C" + std::to_string(id)); });
    }

    std::vector<std::string> events;
    mediacap::http::http_tuple last_exchange;
};

// libnids' side of the consumption contract for one connection: every arrival
// offers all unconsumed bytes of its direction and keeps what was not
// consumed; at the close the server's unconsumed bytes are offered once more
// (or the client's, when the server never sent anything).
class connection {
public:
    connection(http_decoder& decoder, std::uint32_t client_ip = 0x0100007f, std::uint16_t client_port = 40000,
               std::uint32_t server_ip = 0x0200007f, std::uint16_t server_port = 80)
        : decoder_(decoder), address_{client_port, server_port, client_ip, server_ip}
    {
    }

    void open() { decoder_.on_established(connection_key(address_)); }

    void arrive(const segment& s)
    {
        std::string& buffer = s.from_client ? request_ : response_;
        (s.from_client ? client_sent_ : server_sent_) = true;
        buffer += s.bytes;
        offer(s.from_client);
    }

    void close(int state = 3)
    {
        if (server_sent_)
            offer(false);
        else if (client_sent_)
            offer(true);
        decoder_.on_close(connection_key(address_), state);
    }

    unsigned offer(bool from_client)
    {
        std::string& buffer = from_client ? request_ : response_;
        const auto key = connection_key(address_);
        const auto size = static_cast<unsigned>(buffer.size());
        const unsigned consumed = from_client ? decoder_.on_request_bytes(key, buffer.data(), size)
                                              : decoder_.on_response_bytes(key, buffer.data(), size);
        EXPECT_LE(consumed, size);
        buffer.erase(0, consumed);
        return consumed;
    }

    const std::string& unconsumed(bool from_client) const { return from_client ? request_ : response_; }

private:
    http_decoder& decoder_;
    connection_address address_;
    std::string request_, response_;
    bool client_sent_ = false, server_sent_ = false;
};

inline std::vector<std::string> decode(const std::vector<segment>& arrivals)
{
    http_decoder decoder;
    recorder events(decoder);
    connection c(decoder);
    c.open();
    for (const segment& s : arrivals)
        c.arrive(s);
    c.close();
    return events.events;
}

// The script with the byte at `position` (counted over all segments) starting
// a new arrival.
inline std::vector<segment> split_at(const std::vector<segment>& script, std::size_t position)
{
    std::vector<segment> result;
    for (const segment& s : script) {
        if (position > 0 && position < s.bytes.size()) {
            result.push_back({s.from_client, s.bytes.substr(0, position)});
            result.push_back({s.from_client, s.bytes.substr(position)});
        } else {
            result.push_back(s);
        }
        position -= std::min(position, s.bytes.size());
    }
    return result;
}

inline std::vector<segment> in_pieces(const std::vector<segment>& script, std::size_t piece)
{
    std::vector<segment> result;
    for (const segment& s : script)
        for (std::size_t at = 0; at < s.bytes.size(); at += piece)
            result.push_back({s.from_client, s.bytes.substr(at, piece)});
    return result;
}

inline std::string get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: example.com\r\n\r\n"; }

inline std::string ok(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

inline const std::string chunked_ok =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n";

struct decoder_case {
    const char* name;
    std::vector<segment> script;
    std::vector<std::string> events;  // without the final close
    bool repeatable;                  // leaves the connection idle, so it can run twice in a row
};

inline void PrintTo(const decoder_case& c, std::ostream* os)
{
    *os << c.name;
}

class DecoderCases : public ::testing::TestWithParam<decoder_case> {};

// A test name made of the case's name.
inline std::string case_name(const ::testing::TestParamInfo<decoder_case>& info)
{
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name;
}

}  // namespace decoder_test
