#include "tests/support/http_get.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <strings.h>

namespace test_support {

namespace {

// The Content-Length of a head (its lines up to the blank one), or -1.
long long announced_length(const std::string& head)
{
    static const std::string name = "\r\ncontent-length:";
    for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
        if (strncasecmp(head.c_str() + at, name.c_str(), name.size()) != 0)
            continue;
        const char* value = head.c_str() + at + name.size();
        while (*value == ' ' || *value == '\t')
            ++value;
        char* end = nullptr;
        const long long length = std::strtoll(value, &end, 10);
        return end == value || length < 0 ? -1 : length;
    }
    return -1;
}

}  // namespace

std::string http_get(const std::string& address, std::uint16_t port, const std::string& host,
                     const std::string& path, const std::string& extra_headers)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &server.sin_addr);
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string received;
    bool whole = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra_headers + "\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
            char buffer[65536];
            std::size_t wanted = std::string::npos;
            while (received.size() < wanted) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                received.append(buffer, std::size_t(got));
                const auto head_end = received.find("\r\n\r\n");
                if (wanted == std::string::npos && head_end != std::string::npos) {
                    const long long length = announced_length(received.substr(0, head_end + 2));
                    if (length < 0)
                        break;
                    wanted = head_end + 4 + std::size_t(length);
                }
            }
            whole = wanted != std::string::npos && received.size() == wanted;
        }
    }
    ::close(fd);
    return whole ? received.substr(received.find("\r\n\r\n") + 4) : std::string();
}

}  // namespace test_support
