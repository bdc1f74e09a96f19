// Capture on the loopback interface of a private network namespace: a real
// HTTP server and a real client, the real libpcap handle, the real stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "mediacap/decoder/http_decoder.hpp"
#include "mediacap/nids/dispatcher.hpp"
#include "tests/support/http_server.hpp"
#include "tests/support/network_namespace.hpp"

using namespace std::chrono_literals;

namespace {

constexpr auto hang_bound = 30s;

struct exchange_record {
    unsigned id;
    std::string server;
    std::string path;
    int status;
    std::string body;
    bool finished = false;
};

// Runs the dispatcher with a decoder on "lo" on a thread of its own and
// records what the decoder reports.
class live_capture {
public:
    explicit live_capture(const std::atomic<bool>* owner_stop = nullptr)
    {
        decoder_.exchange_signal.connect([this](unsigned id, const mediacap::http::http_tuple& exchange) {
            const std::lock_guard<std::mutex> lock(mutex_);
            exchanges_.push_back({id, exchange.request.server_address + ":" + std::to_string(exchange.request.server_port),
                                  exchange.request.path, exchange.response.status, {}});
        });
        decoder_.data_signal.connect([this](unsigned id, const char* data, unsigned length) {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = exchanges_.rbegin(); it != exchanges_.rend(); ++it)
                if (it->id == id) {
                    it->body.append(data, length);
                    break;
                }
        });
        decoder_.finished_signal.connect([this](unsigned id) {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = exchanges_.rbegin(); it != exchanges_.rend(); ++it)
                if (it->id == id) {
                    it->finished = true;
                    break;
                }
        });
        decoder_.closed_signal.connect([this](unsigned id) {
            const std::lock_guard<std::mutex> lock(mutex_);
            closed_.push_back(id);
            changed_.notify_all();
        });

        nids::dispatcher& loop = nids::dispatcher::instance();
        loop.established = [this](tuple4* key) {
            decoder_.on_established(key);
            const std::lock_guard<std::mutex> lock(mutex_);
            ++established_;
            changed_.notify_all();
        };
        loop.closed = [this](tuple4* key, int state) { decoder_.on_close(key, state); };
        loop.request_bytes = [this](tuple4* key, const char* data, unsigned length) {
            return decoder_.on_request_bytes(key, data, length);
        };
        loop.response_bytes = [this](tuple4* key, const char* data, unsigned length) {
            return decoder_.on_response_bytes(key, data, length);
        };

        settings_.device = "lo";
        settings_.promiscuous = false;
        result_ = std::async(std::launch::async, [this, owner_stop] {
            nids::configure(settings_);
            nids::dispatcher::instance().run({80, 8080}, owner_stop);
            return std::chrono::steady_clock::now();
        });
    }

    ~live_capture()
    {
        if (result_.valid()) {
            nids::dispatcher::instance().stop();
            result_.wait();
        }
        nids::dispatcher& loop = nids::dispatcher::instance();
        loop.established = nullptr;
        loop.closed = nullptr;
        loop.request_bytes = nullptr;
        loop.response_bytes = nullptr;
    }

    // The number of connections opened so far, waiting up to `bound` for
    // the first one.
    unsigned established_count(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, bound, [&] { return established_ > 0; });
        return established_;
    }
    // Waits (bounded) until `count` connections were closed.
    bool wait_closed(unsigned count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, hang_bound, [&] { return closed_.size() >= count; });
    }

    // When run() returned, or nothing when it did not within the bound.
    std::optional<std::chrono::steady_clock::time_point> wait_ended(std::chrono::seconds bound)
    {
        if (result_.wait_for(bound) != std::future_status::ready)
            return std::nullopt;
        return result_.get();
    }

    std::vector<exchange_record> exchanges()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return exchanges_;
    }

private:
    mediacap::decoder::http_decoder decoder_;
    nids::options settings_;
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned established_ = 0;
    std::vector<unsigned> closed_;
    std::vector<exchange_record> exchanges_;
    std::future<std::chrono::steady_clock::time_point> result_;
};

// A plain HTTP/1.1 client on one kept-alive connection.
class client_connection {
public:
    explicit client_connection(std::uint16_t port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~client_connection() { close(); }

    bool connected() const { return connected_; }

    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Sends a GET and returns the response body; empty on any failure.
    std::string get(const std::string& path)
    {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n";
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return {};
        std::size_t head_end;
        while ((head_end = pending_.find("\r\n\r\n")) == std::string::npos)
            if (!receive())
                return {};
        const std::string head = pending_.substr(0, head_end);
        pending_.erase(0, head_end + 4);
        const std::size_t field = head.find("Content-Length:");
        if (field == std::string::npos)
            return {};
        const std::size_t length = std::stoul(head.substr(field + 15));
        while (pending_.size() < length)
            if (!receive())
                return {};
        std::string body = pending_.substr(0, length);
        pending_.erase(0, length);
        return body;
    }

private:
    bool receive()
    {
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        pending_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    std::string pending_;
};

std::string pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Makes probe connections until the capture sees one (the capture thread
// may not have opened its handle yet), then waits until the capture has seen
// every connection it saw open also close. Returns that number.
unsigned probe_until_seen(live_capture& capture)
{
    const auto give_up = std::chrono::steady_clock::now() + hang_bound;
    while (std::chrono::steady_clock::now() < give_up) {
        client_connection probe(8080);
        EXPECT_TRUE(probe.connected());
        EXPECT_EQ(probe.get("/probe"), "probe");
        probe.close();
        const unsigned seen = capture.established_count(250ms);
        if (seen > 0) {
            EXPECT_TRUE(capture.wait_closed(seen)) << "the capture never saw the probe connection close";
            return seen;
        }
    }
    ADD_FAILURE() << "the capture never saw a probe connection open";
    return 0;
}

TEST(CaptureLive, StopWithoutTrafficEndsTheRunPromptlyTwiceInARow_live)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    test_support::http_server server(8080, "127.0.0.1");
    server.route("/probe", test_support::http_reply("probe"));
    for (int run = 1; run <= 2; ++run) {
        live_capture capture;
        ASSERT_GT(probe_until_seen(capture), 0u);
        // The loop now waits in the capture handle with nothing to read.
        const auto asked = std::chrono::steady_clock::now();
        nids::dispatcher::instance().stop();
        const auto ended = capture.wait_ended(2s);
        ASSERT_TRUE(ended) << "run " << run << ": still running 2 s after stop()";
        const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(*ended - asked);
        std::printf("run %d: stop latency %.3f ms\n", run, latency.count() / 1000.0);
        RecordProperty("stop_latency_us_run" + std::to_string(run), static_cast<int>(latency.count()));
    }
}

TEST(CaptureLive, OwnerStopBeforeTheRunEndsItAtOnce_live)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    const std::atomic<bool> owner_stop{true};
    live_capture capture(&owner_stop);
    EXPECT_TRUE(capture.wait_ended(2s)) << "a run whose owner had already stopped kept running";
}

TEST(CaptureLive, KeptAliveExchangesAreDecodedExactly_live)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    test_support::http_server server(8080, "127.0.0.1");
    server.route("/probe", test_support::http_reply("probe"));
    const std::vector<std::pair<std::string, std::string>> resources = {
        {"/video.mp4", pattern(2 * 1024 * 1024, 1)}, {"/a.png", pattern(1, 2)},    {"/b.png", pattern(1460, 3)},
        {"/c.js", pattern(70000, 4)},                 {"/d.gif", pattern(333, 5)}, {"/e.jpg", pattern(65536, 6)},
    };
    for (const auto& [path, body] : resources)
        server.route(path, test_support::http_reply(body).with_header("Content-Type", "image/png"));

    live_capture capture;
    unsigned connections = probe_until_seen(capture);
    ASSERT_GT(connections, 0u);
    {
        client_connection client(8080);
        ASSERT_TRUE(client.connected());
        for (const auto& [path, body] : resources)
            ASSERT_EQ(client.get(path).size(), body.size()) << "the client's own fetch of " << path;
    }
    ++connections;
    EXPECT_TRUE(capture.wait_closed(connections)) << "the capture never saw the kept-alive connection close";
    nids::dispatcher::instance().stop();
    ASSERT_TRUE(capture.wait_ended(hang_bound));

    const auto exchanges = capture.exchanges();
    const std::size_t probes = exchanges.size() - std::min(exchanges.size(), resources.size());
    ASSERT_EQ(exchanges.size(), probes + resources.size());
    const unsigned id = exchanges[probes].id;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        const exchange_record& got = exchanges[probes + i];
        SCOPED_TRACE(resources[i].first);
        EXPECT_EQ(got.id, id) << "all on one connection";
        EXPECT_EQ(got.server, "127.0.0.1:8080");
        EXPECT_EQ(got.path, resources[i].first);
        EXPECT_EQ(got.status, 200);
        EXPECT_TRUE(got.finished);
        EXPECT_EQ(got.body.size(), resources[i].second.size());
        EXPECT_TRUE(got.body == resources[i].second) << "body bytes differ";
    }
    const auto counts = nids::dispatcher::instance().last_counts();
    ASSERT_TRUE(counts.has_value()) << "a live run keeps libpcap's counts";
    EXPECT_GT(counts->received, 0u);
}

}  // namespace

LIVE_TEST_MAIN()
