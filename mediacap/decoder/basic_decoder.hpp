#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "mediacap/decoder/connection_address.hpp"
#include "mediacap/decoder/stream.hpp"
#include "mediacap/http/ip_to_string.hpp"

namespace mediacap::decoder {

// Turns the capture loop's four per-connection callbacks into calls of the
// derived decoder `Derived`, which provides:
//
//   void attach_stream(const std::shared_ptr<stream>&);
//       A connection opened; put the per-connection parse state into
//       stream::state.
//   unsigned handle_request_bytes(const std::shared_ptr<stream>&, const char*, unsigned);
//   unsigned handle_response_bytes(const std::shared_ptr<stream>&, const char*, unsigned);
//       Bytes of one direction; return how many leading bytes were consumed.
//   void handle_close(const std::shared_ptr<stream>&);
//       The connection ended; called before the stream leaves the table.
//
// Consumption contract with the capture loop: at every arrival in one
// direction the loop offers all bytes of that direction not consumed yet,
// oldest first, and drops as many leading bytes as the call returns; the rest
// is offered again with the next arrival, or once more when the connection
// closes. A count above the offered length counts as all of it.
//
// Every operation runs on the capture thread, one call at a time. The
// connection key is libnids' `tuple4*` of the connection, compared as a
// pointer; it stays the same for the life of the connection. Nothing here
// throws for any byte sequence (the loop calls it from libnids' C frames).
template <class Derived>
class basic_decoder {
public:
    basic_decoder() = default;
    virtual ~basic_decoder() = default;

    basic_decoder(const basic_decoder&) = delete;
    basic_decoder& operator=(const basic_decoder&) = delete;

    // A connection opened: it takes the next id (1 for the first connection
    // of this decoder). An entry left under the same key (a close that never
    // came) is closed first.
    void on_established(const tuple4* key)
    {
        if (streams_.count(key))
            on_close(key, 0);
        const connection_address address = read_connection_address(key);
        auto opened = std::make_shared<stream>();
        opened->id = ++last_id_;
        opened->key = key;
        opened->source_address = ip_to_string(address.saddr);
        opened->source_port = address.source;
        opened->destination_address = ip_to_string(address.daddr);
        opened->destination_port = address.dest;
        streams_[key] = opened;
        derived().attach_stream(opened);
    }

    // Bytes sent by the client. Bytes of an unknown connection (one that
    // opened before this decoder existed) are consumed and dropped.
    unsigned on_request_bytes(const tuple4* key, const char* data, unsigned length)
    {
        const std::shared_ptr<stream> found = find_stream(key);
        if (!found)
            return length;
        return std::min(derived().handle_request_bytes(found, data, length), length);
    }

    // Bytes sent by the server; as on_request_bytes.
    unsigned on_response_bytes(const tuple4* key, const char* data, unsigned length)
    {
        const std::shared_ptr<stream> found = find_stream(key);
        if (!found)
            return length;
        return std::min(derived().handle_response_bytes(found, data, length), length);
    }

    // The connection ended (closed, reset, timed out or the library exiting;
    // `state` says which and is not passed on). Unknown keys are ignored.
    void on_close(const tuple4* key, int state)
    {
        (void)state;
        const auto found = streams_.find(key);
        if (found == streams_.end())
            return;
        const std::shared_ptr<stream> closing = found->second;
        derived().handle_close(closing);
        // The slots of the close may have run anything; look the key up again.
        streams_.erase(key);
    }

    // The stream under `key`, or an empty pointer.
    std::shared_ptr<stream> find_stream(const tuple4* key) const
    {
        const auto found = streams_.find(key);
        return found == streams_.end() ? std::shared_ptr<stream>() : found->second;
    }

protected:
    // Every open connection, by key.
    const std::unordered_map<const tuple4*, std::shared_ptr<stream>>& streams() const { return streams_; }

private:
    Derived& derived() { return static_cast<Derived&>(*this); }

    std::uint32_t last_id_ = 0;
    std::unordered_map<const tuple4*, std::shared_ptr<stream>> streams_;
};

}  // namespace mediacap::decoder
