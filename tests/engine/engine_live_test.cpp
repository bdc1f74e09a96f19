// The engine live on the loopback interface of a private network namespace:
// a real server, a real client, and the engine replaying what it sniffed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <utility>

#include "mediacap/engine.hpp"
#include "recording_handler.hpp"
#include "tests/support/http_server.hpp"
#include "tests/support/network_namespace.hpp"
#include "testkit/pcap_writer.hpp"
#include "testkit/test_data.hpp"

namespace fs = std::filesystem;
using engine_test::recording_handler;
using test_support::http_reply;
using test_support::http_server;
using test_support::pcap_writer;
using test_support::side;
using test_support::tcp_flow;

using test_support::random_bytes;
using test_support::read_file;
namespace {

// A plain client: sends `request` to 127.0.0.1:`port` and reads until the
// head and `body_bytes` of the body have arrived (or the peer closes).
std::string fetch(std::uint16_t port, const std::string& request, std::size_t body_bytes)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return {};
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string received;
    char buffer[65536];
    for (;;) {
        const auto head_end = received.find("\r\n\r\n");
        if (head_end != std::string::npos && received.size() >= head_end + 4 + body_bytes)
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return received;
}

http_reply reply(const std::string& type, const std::string& body)
{
    http_reply answer;
    answer.headers = {{"Content-Type", type}};
    answer.body = body;
    return answer;
}

std::string get(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: videos.example.org\r\nAccept: */*\r\n\r\n";
}

class EngineLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() / ("engine-live-" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override
    {
        // A test that failed half-way still ends its engine.
        if (engine_) {
            engine_->stop();
            if (run_result_.valid())
                run_result_.wait();
            engine_.reset();
        }
        fs::remove_all(folder_);
    }

    // Downloads every video, each into its own numbered file.
    recording_handler::decision download_videos()
    {
        return [this](const mediacap::http::http_tuple& exchange, std::string& path) {
            auto type = exchange.response.headers.find("Content-Type");
            if (exchange.response.status != 200 || type == exchange.response.headers.end() ||
                type->second.rfind("video/", 0) != 0)
                return int(mediacap::handler::ignore);
            path = (folder_ / ("video-" + std::to_string(++next_file_))).string();
            return int(mediacap::handler::download);
        };
    }

    // Starts the engine on "lo" on a thread of its own and waits until it
    // sees traffic: a probe connection to the server is repeated until the
    // engine's decision is asked about it.
    void start(recording_handler& handler, http_server& server)
    {
        options_.device = "lo";
        options_.pool_size = 10;
        engine_ = std::make_unique<mediacap::engine>(&options_, &handler);
        run_result_ = std::async(std::launch::async, [this] { engine_->run(); });
        server.route("/probe", reply("text/plain", "probe"));
        // Bounded poll: libnids needs a moment to open the device.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (handler.decisions() == 0 && std::chrono::steady_clock::now() < limit &&
               run_result_.wait_for(std::chrono::milliseconds(20)) == std::future_status::timeout)
            fetch(server.port(), get("/probe"), 5);
        if (run_result_.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            run_result_.get();  // the run ended early: rethrow its failure
        ASSERT_GT(handler.decisions(), 0) << "the engine never saw the probe exchange";
    }

    void stop()
    {
        engine_->stop();
        run_result_.get();
        engine_.reset();
    }

    fs::path folder_;
    int next_file_ = 0;
    mediacap::engine_options options_;
    std::unique_ptr<mediacap::engine> engine_;
    std::future<void> run_result_;
};

TEST_F(EngineLive, SniffedVideoIsReplayedOnceAndArrivesByteExact)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    http_server server(8080);
    const std::string video = random_bytes(600000, 11);
    server.route("/clip.mp4", reply("video/mp4", video));

    recording_handler handler(download_videos());
    ASSERT_NO_FATAL_FAILURE(start(handler, server));

    // The same request twice, on two connections: one download.
    EXPECT_EQ(fetch(server.port(), get("/clip.mp4?range=0-10"), video.size()).size() > video.size(), true);
    EXPECT_EQ(fetch(server.port(), get("/clip.mp4?range=0-10"), video.size()).size() > video.size(), true);
    ASSERT_TRUE(handler.wait_for("download_finished", 1)) << "no download finished";
    stop();

    EXPECT_EQ(handler.of_kind("download_started").size(), 1u);
    EXPECT_EQ(handler.of_kind("download_finished").size(), 1u);
    EXPECT_EQ(handler.of_kind("download_finished")[0].id, 1u) << "the first download has id 1";
    EXPECT_TRUE(handler.of_kind("download_error").empty());
    EXPECT_EQ(read_file(folder_ / "video-1"), video);
    const auto progress = handler.of_kind("download_progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().received, double(video.size()));
    EXPECT_EQ(progress.back().total, double(video.size()));

    // The replay carried the sniffed request's headers.
    bool replay_seen = false;
    for (const auto& request : server.requests())
        replay_seen |= request.path() == "/clip.mp4" && request.header("Host") == "videos.example.org";
    EXPECT_TRUE(replay_seen);
}

// A captured body is reported finished while the engine runs, with no more
// traffic to wake its capture loop, and every capture report comes from the
// capture thread.
TEST_F(EngineLive, CapturedImageIsReportedWithoutFurtherTraffic)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    http_server server(80);
    const std::string image = random_bytes(700000, 13);
    server.route("/photo.jpg", reply("image/jpeg", image));
    recording_handler handler([this](const mediacap::http::http_tuple& exchange, std::string& path) {
        if (exchange.request.path != "/photo.jpg")
            return int(mediacap::handler::ignore);
        path = (folder_ / "photo.jpg").string();
        return int(mediacap::handler::capture);
    });
    ASSERT_NO_FATAL_FAILURE(start(handler, server));

    EXPECT_GT(fetch(server.port(), get("/photo.jpg"), image.size()).size(), image.size());
    ASSERT_TRUE(handler.wait_for("capture_finished", 1)) << "the finished report never came";
    EXPECT_EQ(read_file(folder_ / "photo.jpg"), image);
    const auto capture_thread = handler.decision_thread();
    stop();
    for (const auto& report : handler.reports()) {
        if (report.kind.rfind("capture_", 0) == 0) {
            EXPECT_EQ(report.thread, capture_thread) << report.kind << " came from another thread";
        }
    }
    const auto started = handler.of_kind("capture_started");
    ASSERT_EQ(started.size(), 1u);
    const std::string id = std::to_string(started[0].id);
    EXPECT_EQ(handler.outline(),
              (std::vector<std::string>{"capture_started:" + id, "capture_progress:" + id, "capture_finished:" + id}));
}

TEST_F(EngineLive, StopCancelsRunningDownloads)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    http_server server(8080);
    http_reply stalled = reply("video/x-flv", random_bytes(100000, 12));
    stalled.failure = http_reply::fault::stall_after_headers;
    for (const char* path : {"/s1.flv", "/s2.flv", "/s3.flv"})
        server.route(path, stalled);

    recording_handler handler(download_videos());
    ASSERT_NO_FATAL_FAILURE(start(handler, server));

    // The client only waits for the head; the engine's replays then stall.
    for (const char* path : {"/s1.flv", "/s2.flv", "/s3.flv"})
        fetch(server.port(), get(path), 0);
    ASSERT_TRUE(handler.wait_for("download_started", 3));

    stop();
    server.release_held();
    const auto errors = handler.of_kind("download_error");
    ASSERT_EQ(errors.size(), 3u);
    for (const auto& error : errors) {
        EXPECT_EQ(error.code, 0);
        EXPECT_FALSE(error.message.empty());
    }
    EXPECT_TRUE(handler.of_kind("download_finished").empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 0)
        << "no partial file may reach the final folder";
}


// A listening socket whose accept queue is full: a connection to it stays in
// its connect, since the kernel drops every further SYN.
class full_backlog {
public:
    full_backlog()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        for (int i = 0; i < 2; ++i) {
            const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
            clients_.push_back(client);
        }
    }
    ~full_backlog()
    {
        close_listener();
        for (const int client : clients_)
            ::close(client);
    }
    // Later SYNs are then answered with a reset.
    void close_listener()
    {
        if (listener_ >= 0)
            ::close(std::exchange(listener_, -1));
    }
    std::uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> clients_;
};

// A stop while one replay runs and the capture thread is deciding another:
// the late one never starts, and the stop, the capture thread's return and
// the engine's destruction take well under a second together, whatever the
// server does to the replay that runs (in its connect, its head or its body)
// and would do to the late one.
TEST_F(EngineLive, StopIsPromptWhateverTheServersDo)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    using fault = http_reply::fault;
    const struct {
        const char* name;
        std::optional<http_reply> answer;  // none: a server whose accept queue is full
    } cases[] = {
        {"a server that never answers", http_reply("x").with_fault(fault::never_answer)},
        {"a server that stalls after its head", http_reply(random_bytes(50000, 3)).with_fault(fault::stall_after_headers)},
        {"a server that sends a byte every 100 s", http_reply(random_bytes(50000, 4)).dripping(std::chrono::seconds(100))},
        {"a server that never accepts", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        http_server server;
        full_backlog backlog;
        if (c.answer) {
            server.route("/first.flv", *c.answer);
            server.route("/late.flv", *c.answer);
        }
        const std::uint16_t port = c.answer ? server.port() : backlog.port();
        const recording_handler* self = nullptr;
        recording_handler handler([&](const mediacap::http::http_tuple& exchange, std::string& path) {
            // The late replay is decided once the stop has cancelled the first.
            if (exchange.request.path == "/late.flv")
                self->wait_for("download_error", 1, std::chrono::seconds(10));
            path = (folder_ / exchange.request.path.substr(1)).string();
            return int(mediacap::handler::download);
        });
        self = &handler;
        options_.pool_size = 2;
        auto engine = std::make_unique<mediacap::engine>(&options_, &handler);
        std::thread capture([&] {
            for (const char* target : {"/first.flv", "/late.flv"}) {
                mediacap::http::http_tuple exchange;
                exchange.request.server_address = "127.0.0.1";
                exchange.request.server_port = port;
                exchange.request.method = "GET";
                exchange.request.path = target;
                exchange.response.status = 200;
                engine->on_request(1, exchange);
            }
        });
        EXPECT_TRUE(handler.wait_for("download_started", 1));
        if (c.answer) {
            EXPECT_TRUE(server.wait_for_requests(1));
        }

        const auto begun = std::chrono::steady_clock::now();
        auto stopped = std::async(std::launch::async, [&] {
            engine->stop();
            capture.join();
            engine.reset();
        });
        const bool prompt = stopped.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        const auto took = std::chrono::steady_clock::now() - begun;
        // Lets an engine that did not stop end at last.
        server.release_held();
        backlog.close_listener();
        stopped.get();
        EXPECT_TRUE(prompt) << "the stop did not end within 5 s";
        EXPECT_LT(took, std::chrono::seconds(2))
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";

        EXPECT_EQ(handler.of_kind("download_started").size(), 1u) << "the late replay started";
        const auto errors = handler.of_kind("download_error");
        EXPECT_EQ(errors.size(), 1u);
        for (const auto& error : errors)
            EXPECT_EQ(error.code, 0);
        EXPECT_LE(server.request_count(), 1u);
        EXPECT_EQ(test_support::names_in(folder_), std::set<std::string>{});
    }
}


// A replay goes to the server it was sniffed from and nowhere else, whatever
// the request target says: text that would read as user-info, a port or
// another authority after "http://ADDR:PORT" must not move it. Targets that
// are not origin-form, or longer than the longest replayed, are not fetched
// at all.
TEST_F(EngineLive, ReplayGoesOnlyToTheSniffedServer)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    http_server sniffed(80);
    http_server same_host_other_port(8080);
    http_server other_host(9999, "127.0.0.2");
    const std::string video = random_bytes(30000, 21);
    sniffed.route("/ok.mp4", reply("video/mp4", video));

    struct target_case {
        std::string target;
        bool replayed;  // to the sniffed server
    };
    const std::vector<target_case> table = {
        {"@127.0.0.2:9999/x.mp4", false},
        {"80/x.mp4", false},
        {":9999/x.mp4", false},
        {"http://127.0.0.2:9999/x.mp4", false},
        {"x.mp4", false},
        {"*", false},
        {"/x.mp4\r\nX-Injected:1", false},
        {"//127.0.0.2:9999/x.mp4", true},
        {"/a.mp4?u=http://127.0.0.2:9999/#@127.0.0.2:9999", true},
        {"/" + std::string(mediacap::http::longest_replayed_target - 1, 'l'), true},
        {"/" + std::string(mediacap::http::longest_replayed_target, 'l'), false},  // too long to keep its key
        {"/ok.mp4", true},  // last: with one worker, every other replay has ended when it has
    };
    const std::string capture = (folder_ / "targets.pcap").string();
    {
        pcap_writer writer(capture);
        std::uint16_t port = 41000;
        for (const target_case& c : table) {
            tcp_flow flow(writer, "127.0.0.1", ++port, "127.0.0.1", 80);
            flow.handshake();
            flow.send(side::client, get(c.target));
            flow.send(side::server, "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 20000\r\n\r\n" +
                                        random_bytes(20000, port));
            flow.close();
        }
    }
    recording_handler handler(download_videos());
    options_.device = "unused";
    options_.pool_size = 1;
    options_.capture_file = capture;
    engine_ = std::make_unique<mediacap::engine>(&options_, &handler);
    engine_->run();
    ASSERT_TRUE(handler.wait_for("download_finished", 1)) << "the sniffed server's video was not replayed";
    engine_->stop();
    engine_.reset();

    std::size_t replayed = 0;
    for (const target_case& c : table)
        replayed += c.replayed;
    EXPECT_EQ(same_host_other_port.connection_count(), 0u);
    EXPECT_EQ(other_host.connection_count(), 0u);
    EXPECT_EQ(sniffed.request_count(), replayed);
    EXPECT_EQ(handler.of_kind("download_started").size(), replayed) << "other targets are dropped silently";
    EXPECT_TRUE(read_file(folder_ / ("video-" + std::to_string(table.size()))) == video) << "the replayed video differs";
}

}  // namespace

LIVE_TEST_MAIN()
