// Drives the HTTP decoder the way the capture loop does, with bytes in both
// directions of up to four connections, cut anywhere, and closes at any time.
//
// Script ops (see script_input.hpp), connection = (op >> 2) & 3:
//   op & 3 == 0   client bytes (payload), arriving 1 + 64 * (op >> 4) times
//   op & 3 == 1   server bytes (payload), the same
//   op & 3 == 2   the connection ends (after the close flush); state 3 + (op >> 4) % 4
//   op & 3 == 3   the connection opens (a reopened key replaces the old stream),
//                 after 100 * (op >> 4) seconds of capture time (which may
//                 take other connections past the bound of waiting requests)
//
// Checked besides memory safety: every offer leaves less than the head limit
// unconsumed, every opened connection is closed exactly once, no body byte is
// reported for a connection that is not open, what is reported does not
// depend on how the bytes were cut into arrivals (the script is run again
// with every arrival cut in two), and all that was charged to the memory
// budget (one too large to refuse anything) is given back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mediacap/decoder/http_decoder.hpp"
#include "tests/fuzz/script_input.hpp"

using mediacap::decoder::connection_address;
using mediacap::decoder::connection_key;
using mediacap::decoder::http_decoder;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// libnids' side of one connection: the unconsumed bytes of each direction.
struct wire {
    connection_address address;
    bool open = false;
    unsigned id = 0;
    bool client_sent = false, server_sent = false;
    std::string request, response;
};

class harness {
public:
    std::vector<std::string> events;

    // Ids are counted per decoder; at most one connection opens per input byte.
    // `cut_arrivals`: every arrival of two bytes or more comes as two.
    harness(std::size_t most_connections, bool cut_arrivals)
        : cut_arrivals_(cut_arrivals), closes_(most_connections + 1)
    {
        for (unsigned i = 0; i < 4; ++i)
            wires_[i].address = {static_cast<std::uint16_t>(40000 + i), 80, 0x0100007f, 0x0200007f};
        budget_.set_limit(std::size_t(1) << 62);
        decoder_.set_budget(&budget_);
        decoder_.exchange_signal.connect([this](unsigned id, const mediacap::http::http_tuple& exchange) {
            require(is_open(id));
            require(exchange.request.body.size() <= http_decoder::max_kept_request_bodies);
            require(exchange.request.headers.size() <= http_decoder::max_fields + http_decoder::read_fields.size());
            require(exchange.response.headers.size() <= http_decoder::max_fields + http_decoder::read_fields.size());
            log("E" + std::to_string(id) + " " + exchange.request.method + " " + exchange.request.path + " " +
                std::to_string(exchange.response.status) + " " + std::to_string(exchange.request.body.size()) +
                (exchange.request.body_truncated ? " cut" : "") + " " + std::to_string(exchange.response.headers.size()));
        });
        decoder_.data_signal.connect([this](unsigned id, const char* data, unsigned length) {
            require(is_open(id));
            // Consecutive chunks of one body are joined; how they were cut
            // may differ.
            const std::string prefix = "D" + std::to_string(id) + " ";
            if (length == 0)
                return;
            if (events.empty() || events.back().compare(0, prefix.size(), prefix) != 0)
                log(prefix);
            events.back().append(data, length);
        });
        decoder_.finished_signal.connect([this](unsigned id) {
            require(is_open(id));
            log("F" + std::to_string(id));
        });
        decoder_.closed_signal.connect([this](unsigned id) {
            require(is_open(id));
            ++closes_[id];
            log("C" + std::to_string(id));
        });
    }

    void run(fuzz::script_input& script)
    {
        std::uint8_t op;
        std::string_view payload;
        const auto data_op = [](std::uint8_t o) { return (o & 3) < 2; };
        while (script.next(op, payload, data_op)) {
            wire& w = wires_[(op >> 2) & 3];
            switch (op & 3) {
            case 0:
            case 1:
                // Repeats reach the size limits of heads and bodies with
                // short inputs.
                for (int i = 0; i < 1 + 64 * (op >> 4); ++i)
                    arrive(w, (op & 3) == 0, payload);
                break;
            case 2:
                close(w, 3 + (op >> 4) % 4);
                break;
            default:
                seconds_ += 100 * (op >> 4);
                decoder_.time_passed(seconds_);
                if (w.open)
                    close(w, 3);
                decoder_.on_established(connection_key(w.address));
                w.open = true;
                w.id = ++opened_;
                w.client_sent = w.server_sent = false;
                w.request.clear();
                w.response.clear();
                break;
            }
        }
        for (wire& w : wires_)
            if (w.open)
                close(w, 6);
        for (unsigned id = 1; id <= opened_; ++id)
            require(closes_[id] == 1);
        require(budget_.used() == 0);
    }

private:
    bool is_open(unsigned id) const
    {
        for (const wire& w : wires_)
            if (w.open && w.id == id)
                return true;
        return false;
    }

    void offer(wire& w, bool from_client)
    {
        std::string& buffer = from_client ? w.request : w.response;
        const auto size = static_cast<unsigned>(buffer.size());
        const auto key = connection_key(w.address);
        const unsigned consumed = from_client ? decoder_.on_request_bytes(key, buffer.data(), size)
                                              : decoder_.on_response_bytes(key, buffer.data(), size);
        require(consumed <= size);
        buffer.erase(0, consumed);
        require(buffer.size() < http_decoder::max_head_size);
    }

    void arrive(wire& w, bool from_client, std::string_view bytes)
    {
        if (!w.open)
            return;  // libnids follows only connections it saw open
        if (cut_arrivals_ && bytes.size() >= 2) {
            const std::size_t cut = 1 + bytes.size() / 3;
            arrive_whole(w, from_client, bytes.substr(0, cut));
            arrive_whole(w, from_client, bytes.substr(cut));
            return;
        }
        arrive_whole(w, from_client, bytes);
    }

    void arrive_whole(wire& w, bool from_client, std::string_view bytes)
    {
        (from_client ? w.request : w.response).append(bytes);
        (from_client ? w.client_sent : w.server_sent) = true;
        offer(w, from_client);
    }

    void close(wire& w, int state)
    {
        if (!w.open)
            return;
        if (w.server_sent)
            offer(w, false);
        else if (w.client_sent)
            offer(w, true);
        decoder_.on_close(connection_key(w.address), state);
        w.open = false;
    }

    void log(std::string event) { events.push_back(std::move(event)); }

    bool cut_arrivals_;
    mediacap::decoder::memory_budget budget_;
    http_decoder decoder_;
    wire wires_[4];
    unsigned opened_ = 0;
    std::int64_t seconds_ = 0;
    std::vector<unsigned> closes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    harness whole(size, false);
    fuzz::script_input script(data, size);
    whole.run(script);

    harness cut(size, true);
    fuzz::script_input again(data, size);
    cut.run(again);
    require(cut.events == whole.events);
    return 0;
}
