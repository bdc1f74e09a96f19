#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "mediacap/http/http_tuple.hpp"

struct tuple4;

namespace mediacap::decoder {

// One open TCP connection, from libnids' "established" callback to its close.
// Shared by the decoder's table and by the call that is working on it, so a
// stream outlives its removal from the table while a signal slot still runs.
struct stream {
    std::uint32_t id = 0;              // connection id, counted from 1 per decoder
    const tuple4* key = nullptr;       // the capture loop's key of the connection
    std::string source_address;        // client address, dotted decimal
    std::uint16_t source_port = 0;     // client port
    std::string destination_address;   // server address, dotted decimal
    std::uint16_t destination_port = 0;
    std::any state;                    // the derived decoder's per-connection state
};

// The HTTP parse state of one connection.
struct http_stream {
    // Response side: what the next server bytes are.
    // `response_unparseable`: the server's bytes stopped making sense (a head
    // or chunk size line too long) or stopped being HTTP (after a 101);
    // everything it sends until the close is dropped.
    enum : int { response_head = 0, sized_body = 1, chunk_size_line = 2, chunk_data = 3, response_unparseable = 4 };
    // Request side: what the next client bytes are. `request_unparseable` as
    // on the response side (a head too long, or a 101), or the connection was
    // given up whole (its waiting requests past their bound, or for the
    // memory budget).
    enum : int { request_head = 0, request_body = 1, request_unparseable = 2 };

    int response_state = response_head;
    int request_state = request_head;
    // Requests waiting for their response, oldest at the front. A final
    // response head takes the front one, whatever its status.
    std::deque<std::shared_ptr<http::http_request>> pending;
    // Bytes still expected of the sized body, or of the current chunk
    // together with its closing CR LF.
    std::uint32_t response_remaining = 0;
    std::uint32_t request_remaining = 0;  // request body bytes still expected
    // Request body bytes held by the requests in `pending`, against the
    // connection's limit (http_decoder::max_kept_request_bodies).
    std::size_t kept_request_body = 0;
    // What the requests in `pending` take in memory (their heads, fields and
    // kept bodies), as charged to the decoder's memory budget.
    std::size_t charged = 0;
    // When bytes last arrived on the connection, either way: capture time,
    // in seconds. Requests wait only as long as the connection stays silent.
    std::int64_t heard_at = 0;
    // The decoder's count of arrivals at this connection's last one: the
    // connections idle the longest have the lowest.
    std::uint64_t last_active = 0;
    // Given up whole: once the response body under way ends, nothing more of
    // the server's bytes is read.
    bool given_up = false;

    // How many leading bytes of the unconsumed data of each direction were
    // already searched for the end of a head in vain. The capture loop offers
    // the same bytes again with every arrival, so the next search starts near
    // there instead of at the start: a stream that never ends a head (a body
    // without length, or another protocol after an upgrade) is searched once,
    // not once per arrival.
    std::uint32_t request_searched = 0;
    std::uint32_t response_searched = 0;
};

}  // namespace mediacap::decoder
