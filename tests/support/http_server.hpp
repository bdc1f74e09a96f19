#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

// One request as the server read it off the wire.
struct received_request {
    std::string method;
    std::string target;   // request target as sent (path and query)
    std::string version;  // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;     // decoded when the request was chunked

    // Value of the first header of that name (ASCII case-insensitive), or "".
    std::string header(const std::string& name) const;
    bool has_header(const std::string& name) const;
    // Target without its query.
    std::string path() const;
};

// What to answer. By default a 200 with a Content-Length; the setters
// return the reply so a test can build one in a single expression.
struct http_reply {
    enum class framing {
        content_length,  // "Content-Length" header, connection kept alive
        chunked,         // "Transfer-Encoding: chunked", kept alive
        close,           // no length; the body ends when the server closes
    };
    enum class fault {
        none,
        stall_after_headers,  // send the head, then nothing until released
        hang_after_bytes,     // send the head and `fault_after` body bytes, then nothing
        reset_after_bytes,    // send the head and `fault_after` body bytes, then a TCP reset
        never_answer,         // read the request and stay silent
        drip,                 // send the body one byte every `drip_interval`
    };

    http_reply() = default;
    explicit http_reply(std::string body, int status = 200) : status(status), body(std::move(body)) {}

    http_reply& with_status(int code) { status = code; return *this; }
    http_reply& with_header(std::string name, std::string value)
    {
        headers.emplace_back(std::move(name), std::move(value));
        return *this;
    }
    http_reply& chunked(std::size_t piece = 0)
    {
        body_framing = framing::chunked;
        chunk_size = piece;
        return *this;
    }
    http_reply& close_delimited() { body_framing = framing::close; return *this; }
    http_reply& with_fault(fault kind, std::size_t after_bytes = 0)
    {
        failure = kind;
        fault_after = after_bytes;
        return *this;
    }
    http_reply& dripping(std::chrono::milliseconds interval)
    {
        failure = fault::drip;
        drip_interval = interval;
        return *this;
    }

    int status = 200;
    std::string reason;  // empty: a standard phrase for the status
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    framing body_framing = framing::content_length;
    std::size_t chunk_size = 0;  // chunked: piece size; 0 sends the body as one chunk
    fault failure = fault::none;
    std::size_t fault_after = 0;
    std::chrono::milliseconds drip_interval{100};
};

using request_handler = std::function<http_reply(const received_request&)>;

// A small HTTP/1.1 server on a thread of its own, for tests. It listens on
// 127.0.0.1 (or the given IPv4 address) on an ephemeral port unless a port is
// given, serves each connection on its own thread with keep-alive, and
// records every request it read. Routes match the request path (the target
// without its query) exactly; a target without a route gets 404.
//
// Stalled, hanging and silent connections are held until the server is
// destroyed or release_held() is called; the destructor wakes and joins every
// thread, so a test never leaves threads behind.
class http_server {
public:
    explicit http_server(std::uint16_t port = 0, const std::string& address = "127.0.0.1");
    ~http_server();

    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    std::uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }
    // "http://address:port" followed by the target.
    std::string url(const std::string& target) const;

    void route(const std::string& path, http_reply reply);
    void route(const std::string& path, request_handler handler);

    // Every request read so far, in arrival order.
    std::vector<received_request> requests() const;
    std::size_t request_count() const;
    // Waits until at least `count` requests were read; false after `timeout`.
    bool wait_for_requests(std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    // Number of connections accepted so far.
    std::size_t connection_count() const;

    // Lets every held connection (stalled, hanging, silent) close now.
    void release_held();

private:
    struct connection;

    void accept_loop();
    void serve(const std::shared_ptr<connection>& client);
    bool answer(const std::shared_ptr<connection>& client, const received_request& request,
                const request_handler& handler);
    // Blocks until the server stops or releases held connections (a release
    // after `generation` was read counts); false when the connection should
    // close without further sending.
    bool hold(std::chrono::milliseconds limit, unsigned generation);

    std::string address_;
    std::uint16_t port_ = 0;
    int listen_fd_ = -1;
    int wake_fd_[2] = {-1, -1};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    unsigned release_generation_ = 0;
    std::map<std::string, request_handler> routes_;
    std::vector<received_request> requests_;
    std::vector<std::shared_ptr<connection>> connections_;
    std::vector<std::thread> connection_threads_;
    std::size_t accepted_ = 0;
    std::thread acceptor_;
};

}  // namespace test_support
