#include "tests/support/http_server.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {

namespace {

bool same_name(const std::string& a, const std::string& b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string reason_for(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::runtime_error system_error(const char* what)
{
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

std::string received_request::header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (same_name(key, name))
            return value;
    return {};
}

bool received_request::has_header(const std::string& name) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& field) { return same_name(field.first, name); });
}

std::string received_request::path() const
{
    return target.substr(0, target.find('?'));
}

// A client socket. The descriptor is closed under the server's mutex so that
// the destructor's shutdown() never reaches a number the kernel reused.
struct http_server::connection {
    int fd = -1;
    std::string pending;  // bytes read past the last request
};

http_server::http_server(std::uint16_t port, const std::string& address) : address_(address)
{
    if (::pipe(wake_fd_) != 0)
        throw system_error("pipe");
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        throw system_error("socket");
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        throw system_error("bind");
    if (::listen(listen_fd_, 64) != 0)
        throw system_error("listen");
    socklen_t length = sizeof local;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

http_server::~http_server()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        // Wakes every connection thread blocked in recv().
        for (const auto& client : connections_)
            if (client->fd >= 0)
                ::shutdown(client->fd, SHUT_RDWR);
    }
    changed_.notify_all();
    const char byte = 0;
    [[maybe_unused]] auto written = ::write(wake_fd_[1], &byte, 1);
    acceptor_.join();
    // The acceptor has ended, so the thread list no longer grows.
    for (auto& thread : connection_threads_)
        thread.join();
    for (const auto& client : connections_)
        if (client->fd >= 0)
            ::close(client->fd);
    ::close(listen_fd_);
    ::close(wake_fd_[0]);
    ::close(wake_fd_[1]);
}

std::string http_server::url(const std::string& target) const
{
    return "http://" + address_ + ":" + std::to_string(port_) + target;
}

void http_server::route(const std::string& path, http_reply reply)
{
    route(path, [reply = std::move(reply)](const received_request&) { return reply; });
}

void http_server::route(const std::string& path, request_handler handler)
{
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(handler);
}

std::vector<received_request> http_server::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t http_server::request_count() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool http_server::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::size_t http_server::connection_count() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

void http_server::release_held()
{
    {
        std::lock_guard lock(mutex_);
        ++release_generation_;
    }
    changed_.notify_all();
}

bool http_server::hold(std::chrono::milliseconds limit, unsigned generation)
{
    std::unique_lock lock(mutex_);
    const bool woken = changed_.wait_for(lock, limit, [&] {
        return stopping_ || release_generation_ != generation;
    });
    return !woken;
}

void http_server::accept_loop()
{
    for (;;) {
        pollfd watched[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[1].revents != 0)
            return;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        auto client = std::make_shared<connection>();
        client->fd = fd;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        ++accepted_;
        connections_.push_back(client);
        connection_threads_.emplace_back([this, client] { serve(client); });
    }
}

namespace {

bool send_all(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool send_all(int fd, const std::string& text)
{
    return send_all(fd, text.data(), text.size());
}

// Reads more bytes into `pending`; false at end of stream or on error.
bool read_more(int fd, std::string& pending)
{
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        pending.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
}

bool read_line(int fd, std::string& pending, std::string& line)
{
    std::size_t end;
    while ((end = pending.find("\r\n")) == std::string::npos)
        if (!read_more(fd, pending))
            return false;
    line = pending.substr(0, end);
    pending.erase(0, end + 2);
    return true;
}

bool read_exactly(int fd, std::string& pending, std::size_t count, std::string& out)
{
    while (pending.size() < count)
        if (!read_more(fd, pending))
            return false;
    out.append(pending, 0, count);
    pending.erase(0, count);
    return true;
}

// Reads one request; false when the client closed or sent garbage.
bool read_request(int fd, std::string& pending, received_request& request)
{
    std::string line;
    do {
        if (!read_line(fd, pending, line))
            return false;
    } while (line.empty());  // tolerate blank lines between requests
    const auto first = line.find(' ');
    const auto second = line.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return false;
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    request.version = line.substr(second + 1);
    for (;;) {
        if (!read_line(fd, pending, line))
            return false;
        if (line.empty())
            break;
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    if (same_name(request.header("Transfer-Encoding"), "chunked")) {
        for (;;) {
            if (!read_line(fd, pending, line))
                return false;
            const std::size_t size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) {
                do {  // trailer fields up to the blank line
                    if (!read_line(fd, pending, line))
                        return false;
                } while (!line.empty());
                return true;
            }
            std::string crlf;
            if (!read_exactly(fd, pending, size, request.body) || !read_exactly(fd, pending, 2, crlf))
                return false;
        }
    }
    if (request.has_header("Content-Length")) {
        const std::size_t size = std::strtoull(request.header("Content-Length").c_str(), nullptr, 10);
        return read_exactly(fd, pending, size, request.body);
    }
    return true;
}

}  // namespace

void http_server::serve(const std::shared_ptr<connection>& client)
{
    for (;;) {
        received_request request;
        if (!read_request(client->fd, client->pending, request))
            break;
        request_handler handler;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            const auto found = routes_.find(request.path());
            if (found != routes_.end())
                handler = found->second;
        }
        changed_.notify_all();
        bool keep_alive;
        if (handler) {
            keep_alive = answer(client, request, handler) && !same_name(request.header("Connection"), "close");
        } else {
            const std::string reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
            keep_alive = send_all(client->fd, reply) && !same_name(request.header("Connection"), "close");
        }
        if (!keep_alive)
            break;
    }
    std::lock_guard lock(mutex_);
    if (client->fd >= 0) {
        ::shutdown(client->fd, SHUT_RDWR);
        ::close(client->fd);
        client->fd = -1;
    }
}

// Sends the reply for one request; false when the connection must close.
bool http_server::answer(const std::shared_ptr<connection>& client, const received_request& request,
                         const request_handler& handler)
{
    const http_reply reply = handler(request);
    const int fd = client->fd;
    // Taken before anything is sent: a release_held() that comes while the
    // first bytes are on their way must still end the hold that follows.
    unsigned generation;
    {
        std::lock_guard lock(mutex_);
        generation = release_generation_;
    }
    using fault = http_reply::fault;
    const auto forever = std::chrono::hours(24);

    if (reply.failure == fault::never_answer) {
        hold(forever, generation);
        return false;
    }

    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " "
        + (reply.reason.empty() ? reason_for(reply.status) : reply.reason) + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    switch (reply.body_framing) {
    case http_reply::framing::content_length:
        head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
        break;
    case http_reply::framing::chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case http_reply::framing::close:
        head += "Connection: close\r\n";
        break;
    }
    head += "\r\n";
    if (!send_all(fd, head))
        return false;
    if (request.method == "HEAD")
        return reply.body_framing != http_reply::framing::close;

    if (reply.failure == fault::stall_after_headers) {
        hold(forever, generation);
        return false;
    }

    // The body as it goes on the wire, framing included.
    std::string wire;
    if (reply.body_framing == http_reply::framing::chunked) {
        const std::size_t piece = reply.chunk_size == 0 ? std::max<std::size_t>(reply.body.size(), 1)
                                                        : reply.chunk_size;
        for (std::size_t at = 0; at < reply.body.size(); at += piece) {
            const std::size_t size = std::min(piece, reply.body.size() - at);
            char size_line[32];
            std::snprintf(size_line, sizeof size_line, "%zx\r\n", size);
            wire += size_line;
            wire.append(reply.body, at, size);
            wire += "\r\n";
        }
        wire += "0\r\n\r\n";
    } else {
        wire = reply.body;
    }

    switch (reply.failure) {
    case fault::hang_after_bytes:
        send_all(fd, wire.data(), std::min(reply.fault_after, wire.size()));
        hold(forever, generation);
        return false;
    case fault::reset_after_bytes: {
        send_all(fd, wire.data(), std::min(reply.fault_after, wire.size()));
        // A zero linger time makes close() send RST instead of FIN.
        const linger abort_on_close{1, 0};
        std::lock_guard lock(mutex_);
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        ::close(fd);
        client->fd = -1;
        return false;
    }
    case fault::drip:
        for (char byte : wire) {
            if (!send_all(fd, &byte, 1) || !hold(reply.drip_interval, generation))
                return false;
        }
        break;
    default:
        if (!send_all(fd, wire))
            return false;
        break;
    }
    return reply.body_framing != http_reply::framing::close;
}

}  // namespace test_support
