// Checks of the loopback server that the download tests rely on.
#include <gtest/gtest.h>

#include "tests/support/http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using test_support::http_reply;
using test_support::http_server;
using test_support::received_request;

namespace {

// A plain blocking client socket, so the server is checked without the code
// under test.
class raw_client {
public:
    explicit raw_client(const http_server& server)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(server.port());
        ::inet_pton(AF_INET, server.address().c_str(), &remote.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    }
    ~raw_client() { ::close(fd_); }

    bool connected() const { return connected_; }
    void send(const std::string& text) { ASSERT_EQ(::write(fd_, text.data(), text.size()), ssize_t(text.size())); }

    // Reads until `count` bytes arrived or the peer closed; `error` gets errno on a failure.
    std::string read(std::size_t count, int* error = nullptr)
    {
        std::string got;
        char buffer[4096];
        while (got.size() < count) {
            const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
            if (n < 0 && error)
                *error = errno;
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace

TEST(HttpServer, KeepAliveFixedAndChunkedReplies)
{
    http_server server;
    ASSERT_NE(server.port(), 0);
    server.route("/fixed", http_reply("hello").with_header("X-Test", "1"));
    server.route("/chunked", http_reply("abcdefg").chunked(3));

    raw_client client(server);
    ASSERT_TRUE(client.connected());
    client.send("GET /fixed?x=1 HTTP/1.1\r\nHost: a\r\n\r\nGET /chunked HTTP/1.1\r\nHost: a\r\n\r\n");
    const std::string first = "HTTP/1.1 200 OK\r\nX-Test: 1\r\nContent-Length: 5\r\n\r\nhello";
    const std::string second = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n1\r\ng\r\n0\r\n\r\n";
    EXPECT_EQ(client.read(first.size() + second.size()), first + second);
    ASSERT_TRUE(server.wait_for_requests(2));
    const auto requests = server.requests();
    EXPECT_EQ(requests[0].target, "/fixed?x=1");
    EXPECT_EQ(requests[0].header("host"), "a");
    EXPECT_EQ(requests[1].target, "/chunked");
    EXPECT_EQ(server.connection_count(), 1u);
}

TEST(HttpServer, HandlerSeesBodyAndUnknownPathGets404)
{
    http_server server;
    server.route("/echo", [](const received_request& request) {
        return http_reply(request.method + ":" + request.body, 201);
    });
    raw_client client(server);
    const char post[] = "POST /echo HTTP/1.1\r\nContent-Length: 3\r\n\r\na\0b";
    client.send(std::string(post, sizeof post - 1));
    const std::string expected = "HTTP/1.1 201 Status\r\nContent-Length: 8\r\n\r\nPOST:a";
    EXPECT_EQ(client.read(expected.size() + 2), expected + std::string("\0b", 2));
    client.send("GET /nothing HTTP/1.1\r\n\r\n");
    const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
    EXPECT_EQ(client.read(missing.size()), missing);
}

TEST(HttpServer, FaultsHoldUntilReleasedAndResetCutsTheBody)
{
    http_server server;
    server.route("/hang", http_reply("0123456789").with_fault(http_reply::fault::hang_after_bytes, 4));
    server.route("/reset", http_reply(std::string(100000, 'x')).with_fault(http_reply::fault::reset_after_bytes, 10));

    raw_client hanging(server);
    hanging.send("GET /hang HTTP/1.1\r\n\r\n");
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    EXPECT_EQ(hanging.read(head.size() + 4), head + "0123");
    server.release_held();
    EXPECT_EQ(hanging.read(100), "") << "a released connection closes without sending the rest";

    raw_client reset(server);
    reset.send("GET /reset HTTP/1.1\r\n\r\n");
    int error = 0;
    const std::string got = reset.read(200000, &error);
    EXPECT_LT(got.size(), 1000u);
    EXPECT_EQ(error, ECONNRESET);
}

TEST(HttpServer, DestructorEndsSilentConnections)
{
    auto server = std::make_unique<http_server>();
    server->route("/silent", http_reply().with_fault(http_reply::fault::never_answer));
    raw_client client(*server);
    client.send("GET /silent HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(server->wait_for_requests(1));
    server.reset();  // must not hang
    EXPECT_EQ(client.read(10), "");
}
