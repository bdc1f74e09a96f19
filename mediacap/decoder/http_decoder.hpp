#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include <boost/signals2/signal.hpp>

#include "mediacap/decoder/basic_decoder.hpp"
#include "mediacap/decoder/memory_budget.hpp"
#include "mediacap/decoder/stream.hpp"
#include "mediacap/http/http_tuple.hpp"

namespace mediacap::decoder {

// Decodes the HTTP requests and responses of every connection and reports
// them through four signals. All of it runs on the capture thread: signals are
// emitted synchronously and their slots run before the emission returns (each
// signal guards its own slot list with its own mutex, so slots may be
// connected from another thread).
//
// Per connection, requests are queued in the order their heads complete and
// every final response head takes the oldest queued request, whatever its
// status; an interim (1xx) head takes none. After a 101 (Switching Protocols)
// the connection is not parsed any more. Only sized response bodies are
// followed and reported; chunked bodies are skipped.
//
// Memory is bounded per connection, whatever the traffic:
// - a request or response head, or a chunk size line, that has not ended
//   within max_head_size bytes makes that direction of the connection
//   unparseable: its bytes are consumed and dropped until the close, so the
//   capture loop never holds more than that of it unconsumed;
// - a head's map keeps at most max_fields fields, and besides them the
//   read_fields wherever they stand (other names past the limit are
//   dropped);
// - at most max_queued_requests requests wait for their response, and they
//   wait at most max_request_wait_seconds of capture time while the
//   connection is silent (no byte either way: a slow answer or a long
//   upload still under way keeps them); a connection past either bound is
//   given up whole (see below). Single requests are never dropped from the queue: a later
//   response would then be paired with the wrong request;
// - the bodies kept for the waiting requests total at most
//   max_kept_request_bodies bytes; a request whose body did not fit is
//   passed on with the part that fit and `body_truncated` set, and must not
//   be replayed.
// With a memory budget (set_budget), all connections together are also held
// to it: a waiting request is charged with what its head and body take. When
// something needs room past the budget, the decoder gives up whole the other
// connections whose waiting requests hold the most and have been idle the
// longest, until the room is there; only when they cannot make it does a
// head that has not ended make its direction unparseable when more of it
// arrives, a request head do the same on the request side, and a request
// body go unkept (`body_truncated`).
//
// A connection given up whole drops its waiting requests and gives back what
// they were charged; both directions become unparseable, except that a
// response body under way is followed to its end.
class http_decoder : public basic_decoder<http_decoder>, private memory_budget::holders {
public:
    static constexpr std::uint32_t max_head_size = 64 * 1024;
    static constexpr std::size_t max_fields = 128;
    // The fields that the program reads from a head (the body's length,
    // framing, coding and type, and the site's name).
    static constexpr std::array<std::string_view, 5> read_fields{"Content-Length", "Transfer-Encoding",
                                                                 "Content-Encoding", "Content-Type", "Host"};
    static constexpr std::size_t max_queued_requests = 32;
    static constexpr std::size_t max_kept_request_bodies = 4 * 1024 * 1024;
    // A browser waits for seconds on a handful of requests, and gives up on
    // one after five minutes in which nothing came.
    static constexpr std::int64_t max_request_wait_seconds = 300;

    // A response head with a non-zero Content-Length was paired with a queued
    // request. (connection id, exchange). The exchange is valid during the
    // call only; a slot that keeps it copies it. Its body bytes follow.
    boost::signals2::signal<void(unsigned, const http::http_tuple&)> exchange_signal;
    // Bytes of a sized response body were consumed. (connection id, data,
    // length); data points into the capture library's buffer and is valid
    // during the call only. The length may be 0 when a connection closes in
    // the middle of a body.
    boost::signals2::signal<void(unsigned, const char*, unsigned)> data_signal;
    // A sized response body is complete. (connection id)
    boost::signals2::signal<void(unsigned)> finished_signal;
    // The connection ended, in any way. (connection id) Its queued requests
    // and parse state are dropped after the slots return.
    boost::signals2::signal<void(unsigned)> closed_signal;

    http_decoder() = default;
    ~http_decoder() override;

    // The account that the decoder charges from now on (none: no bound but
    // the per-connection ones), and whose holders it gives up when room is
    // needed; its clock bounds how long requests wait. It must outlive the
    // decoder's connections.
    void set_budget(memory_budget* budget);

    // The capture's clock reached `seconds`: the connections whose requests
    // have waited, silent, past max_request_wait_seconds are given up. The budget
    // calls it; without one, so may a caller.
    void time_passed(std::int64_t seconds) override;

    // Called by basic_decoder.
    void attach_stream(const std::shared_ptr<stream>& opened);
    // Each runs parse steps while they make progress and returns the total
    // consumed, so that several heads or a head and its body that arrive in
    // one segment are all parsed at that arrival.
    unsigned handle_request_bytes(const std::shared_ptr<stream>& s, const char* data, unsigned length);
    unsigned handle_response_bytes(const std::shared_ptr<stream>& s, const char* data, unsigned length);
    void handle_close(const std::shared_ptr<stream>& s);

    // One parse step each, for the state that the name says; each returns the
    // count of leading bytes consumed (0: more bytes are needed).
    unsigned parse_request_head(const std::shared_ptr<stream>& s, const char* data, unsigned length);
    unsigned read_request_body(const std::shared_ptr<stream>& s, const char* data, unsigned length);
    unsigned parse_response_head(const std::shared_ptr<stream>& s, const char* data, unsigned length);
    unsigned read_sized_body(const std::shared_ptr<stream>& s, const char* data, unsigned length);
    unsigned read_chunk_header(const std::shared_ptr<stream>& s, const char* data, unsigned length);
    unsigned skip_chunk(const std::shared_ptr<stream>& s, const char* data, unsigned length);

private:
    // The parse state that attach_stream gave a connection.
    static http_stream& state_of(const std::shared_ptr<stream>& s) { return *std::any_cast<http_stream>(&s->state); }

    // Charges `bytes` to the connection and the budget; false when the budget
    // has no room for them, even with other connections given up (nothing is
    // charged then).
    bool take(const std::shared_ptr<stream>& s, std::size_t bytes);
    void give_back(http_stream& state, std::size_t bytes);
    // Whether `s` may hold what it holds now, once other connections were
    // given up if need be; a head that has not ended gives its direction up
    // when not.
    bool within_budget(const std::shared_ptr<stream>& s);
    // Counts a direction or request body given up as it grew past the budget.
    void refused();
    // A response head or chunk line found to end at `end` (npos: not yet),
    // ended by `delimiter`, in `length` bytes offered: false when it has
    // ended within the limit. Otherwise true, with `consumed` 0 to wait for
    // more, or `length` once the response side is given up: past the head
    // limit, or past the budget when no other connection makes the room.
    bool response_line_waits(const std::shared_ptr<stream>& s, std::size_t end, std::size_t delimiter,
                             unsigned length, unsigned& consumed);
    // Queues a request whose head has ended, charged with what it takes;
    // false, with the client's side given up, when the budget has no room
    // for it.
    bool queue_request(const std::shared_ptr<stream>& s, std::shared_ptr<http::http_request> request);
    // Keeps what fits of `n` body bytes of the newest waiting request, of
    // which `expected` were still to come, as far as the connection's limit
    // and the budget allow; what does not fit marks it `body_truncated`.
    void keep_request_body(const std::shared_ptr<stream>& s, const char* data, unsigned n, std::uint32_t expected);
    // Takes the oldest waiting request off the queue and gives its charge
    // back; empty when none waits.
    std::shared_ptr<http::http_request> pop_oldest_request(http_stream& state);
    // Drops the waiting requests of a connection and gives their charge back.
    void drop_waiting(http_stream& state);
    // Gives the connection up whole.
    void give_up(http_stream& state);

    void give_up_holders(std::size_t bytes, const tuple4* sparing) override;
    std::size_t reclaimable(const tuple4* sparing) const override;

    memory_budget* budget_ = nullptr;
    std::size_t charged_ = 0;     // what all connections' waiting requests hold
    std::uint64_t arrivals_ = 0;  // arrivals of bytes, in either direction
    std::int64_t now_ = 0;        // the capture's clock, as last heard
};

}  // namespace mediacap::decoder
