// The whole engine over pcap files: libnids in file mode, the decoder, the
// decision, the capture table and the files it writes.
#include <gtest/gtest.h>

#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "mediacap/engine.hpp"
#include "mediacap/nids/dispatcher.hpp"
#include "recording_handler.hpp"
#include "testkit/pcap_writer.hpp"
#include "testkit/test_data.hpp"

namespace fs = std::filesystem;
using engine_test::recording_handler;
using test_support::pcap_writer;
using test_support::side;
using test_support::tcp_flow;

using test_support::gzip;
using test_support::random_bytes;
using test_support::read_file;
namespace {

std::size_t open_descriptors()
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

std::string request(const std::string& target, const std::string& host = "img.example.org")
{
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: test\r\n\r\n";
}

std::string response(const std::string& type, const std::string& body, const std::string& extra = "")
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n" + extra + "\r\n" + body;
}

class EngineOverCaptureFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() /
                  ("engine-capture-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        capture_ = (folder_ / "traffic.pcap").string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Runs a new engine over the capture file until its end.
    void run_engine(recording_handler& handler) { engine_test::run_engine_over(capture_, handler); }

    // Two image responses in a row on one kept-alive connection.
    void write_two_in_a_row(const std::string& first, const std::string& second)
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "10.1.0.2", 40010, "10.1.0.1", 80);
        flow.handshake();
        flow.send(side::client, request("/1.gif"));
        flow.send(side::server, response("image/gif", first));
        flow.send(side::client, request("/2.gif"));
        flow.send(side::server, response("image/gif", second));
        flow.close();
    }

    // Answers capture for every image, each into its own numbered file.
    recording_handler::decision capture_images()
    {
        return [this](const mediacap::http::http_tuple& exchange, std::string& path) {
            auto type = exchange.response.headers.find("Content-Type");
            if (type == exchange.response.headers.end() || type->second.rfind("image/", 0) != 0)
                return int(mediacap::handler::ignore);
            path = (folder_ / ("kept-" + std::to_string(next_file_++))).string();
            return int(mediacap::handler::capture);
        };
    }

    fs::path folder_;
    std::string capture_;
    int next_file_ = 1;
};

TEST_F(EngineOverCaptureFile, CapturedBodiesAreWrittenByteExact)
{
    const std::string first = random_bytes(150000, 1);
    const std::string second = random_bytes(7000, 2);
    const std::string page = "<html>not kept</html>";
    {
        pcap_writer writer(capture_);
        tcp_flow a(writer, "10.1.0.2", 40001, "10.1.0.1", 80);
        a.handshake();
        a.send(side::client, request("/a.jpg"));
        a.send(side::server, response("image/jpeg", first));
        a.close();
        tcp_flow b(writer, "10.1.0.3", 40002, "10.1.0.1", 8080);
        b.handshake();
        b.send(side::client, request("/index.html"));
        b.send(side::server, response("text/html", page));
        b.send(side::client, request("/b.png"));
        b.split(side::server, response("image/png", second), {10, 200, 3000});
        b.close();
    }
    recording_handler handler(capture_images());
    run_engine(handler);

    EXPECT_EQ(read_file(folder_ / "kept-1"), first);
    EXPECT_EQ(read_file(folder_ / "kept-2"), second);
    EXPECT_EQ(handler.decisions(), 3);
    const auto outline = handler.outline();
    const std::vector<std::string> expected{
        "capture_started:1", "capture_progress:1", "capture_finished:1",
        "capture_started:2", "capture_progress:2", "capture_finished:2"};
    EXPECT_EQ(outline, expected);
    const auto progress = handler.of_kind("capture_progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().received, double(second.size()));
    EXPECT_EQ(progress.back().total, double(second.size()));
}

TEST_F(EngineOverCaptureFile, TwoCapturesOnOneKeptAliveConnectionShareTheId)
{
    const std::string first = random_bytes(20000, 3);
    const std::string second = random_bytes(30000, 4);
    write_two_in_a_row(first, second);
    recording_handler handler(capture_images());
    run_engine(handler);

    const std::vector<std::string> expected{
        "capture_started:1", "capture_progress:1", "capture_finished:1",
        "capture_started:1", "capture_progress:1", "capture_finished:1"};
    EXPECT_EQ(handler.outline(), expected);
    EXPECT_EQ(read_file(folder_ / "kept-1"), first);
    EXPECT_EQ(read_file(folder_ / "kept-2"), second);
}

TEST_F(EngineOverCaptureFile, ARunThatReusesNamesReplacesNoFile)
{
    const std::string first = random_bytes(20000, 11), second = random_bytes(9000, 12);
    write_two_in_a_row(first, second);
    // Each run numbers its files from 1 again, as a restarted program may.
    std::vector<std::string> written;
    for (int run = 0; run < 3; ++run) {
        next_file_ = 1;
        recording_handler handler(capture_images());
        run_engine(handler);
        for (const auto& report : handler.of_kind("capture_finished"))
            written.push_back(report.path);
    }
    const std::vector<std::string> names{"kept-1", "kept-2", "kept-1-1", "kept-2-1", "kept-1-2", "kept-2-2"};
    ASSERT_EQ(written.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(written[i], (folder_ / names[i]).string());
        EXPECT_EQ(read_file(written[i]), i % 2 == 0 ? first : second) << written[i];
    }
}

TEST_F(EngineOverCaptureFile, GzipBodyIsStoredInflated)
{
    const std::string plain = std::string(200000, 'v') + random_bytes(5000, 5);
    const std::string packed = gzip(plain);
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "10.1.0.2", 40020, "10.1.0.1", 80);
        flow.handshake();
        flow.send(side::client, request("/z.bmp"));
        flow.send(side::server, response("image/bmp", packed, "Content-Encoding: gzip\r\n"));
        flow.close();
    }
    recording_handler handler(capture_images());
    run_engine(handler);

    EXPECT_EQ(read_file(folder_ / "kept-1"), plain);
    const auto progress = handler.of_kind("capture_progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().received, double(packed.size())) << "progress counts bytes as received";
    EXPECT_EQ(handler.of_kind("capture_finished").size(), 1u);
}

TEST_F(EngineOverCaptureFile, IgnoredExchangesGiveNoReport)
{
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "10.1.0.2", 40030, "10.1.0.1", 80);
        flow.handshake();
        flow.send(side::client, request("/a.jpg"));
        flow.send(side::server, response("image/jpeg", random_bytes(9000, 6)));
        flow.close();
    }
    for (int answer : {2, 7, -1}) {
        recording_handler handler([answer](const mediacap::http::http_tuple&, std::string&) { return answer; });
        run_engine(handler);
        EXPECT_EQ(handler.decisions(), 1) << "answer " << answer;
        EXPECT_TRUE(handler.reports().empty()) << "answer " << answer;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1)
        << "only the capture file itself";
}

TEST_F(EngineOverCaptureFile, EarlyCloseReportsCodeFiveAndKeepsNoFile)
{
    const std::string body = random_bytes(50000, 7);
    std::string truncated = response("image/jpeg", body);
    truncated.resize(truncated.size() - 20000);
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "10.1.0.2", 40040, "10.1.0.1", 80);
        flow.handshake();
        flow.send(side::client, request("/cut.jpg"));
        flow.send(side::server, truncated);
        flow.close(side::server);
        // A second connection in the same file is still kept whole.
        tcp_flow other(writer, "10.1.0.4", 40041, "10.1.0.1", 80);
        other.handshake();
        other.send(side::client, request("/whole.jpg"));
        other.send(side::server, response("image/jpeg", body));
        other.close();
    }
    recording_handler handler(capture_images());
    run_engine(handler);

    const auto errors = handler.of_kind("capture_error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].id, 1u);
    EXPECT_EQ(errors[0].code, 5);
    EXPECT_EQ(errors[0].message, "");
    EXPECT_FALSE(fs::exists(folder_ / "kept-1"));
    EXPECT_EQ(read_file(folder_ / "kept-2"), body);
    EXPECT_EQ(handler.of_kind("capture_finished").size(), 1u);
}

TEST_F(EngineOverCaptureFile, ResetMidBodyReportsCodeFive)
{
    std::string partial = response("image/png", random_bytes(40000, 8));
    partial.resize(partial.size() / 2);
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "10.1.0.2", 40050, "10.1.0.1", 80);
        flow.handshake();
        flow.send(side::client, request("/r.png"));
        flow.send(side::server, partial);
        flow.reset(side::server);
    }
    recording_handler handler(capture_images());
    run_engine(handler);
    const auto errors = handler.of_kind("capture_error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, 5);
    EXPECT_FALSE(fs::exists(folder_ / "kept-1"));
}

TEST_F(EngineOverCaptureFile, CaptureIntoMissingFolderFailsAsAWrite)
{
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "10.1.0.2", 40060, "10.1.0.1", 80);
        flow.handshake();
        flow.send(side::client, request("/m.jpg"));
        flow.send(side::server, response("image/jpeg", random_bytes(6000, 9)));
        flow.close();
    }
    recording_handler handler([this](const mediacap::http::http_tuple&, std::string& path) {
        path = (folder_ / "no-such-folder" / "m.jpg").string();
        return int(mediacap::handler::capture);
    });
    run_engine(handler);
    // The file is made in the final folder, so it cannot even be opened.
    const auto errors = handler.of_kind("capture_error");
    ASSERT_FALSE(errors.empty());
    for (const auto& error : errors)
        EXPECT_EQ(error.code, 1);
    EXPECT_EQ(handler.reports().size(), errors.size() + 1) << "started, then errors only";
}

TEST_F(EngineOverCaptureFile, RequestWithABodyTooLargeToKeepIsNeverReplayed)
{
    // The server is on loopback, so a replay that wrongly went out would only
    // reach this machine (and fail there): the test asserts none is tried.
    const std::string upload(5 * 1024 * 1024, 'u');
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "127.0.0.1", 40080, "127.0.0.1", 80);
        flow.handshake();
        flow.send(side::client, "POST /upload HTTP/1.1\r\nHost: v.example.org\r\nContent-Length: " +
                                    std::to_string(upload.size()) + "\r\n\r\n" + upload);
        flow.send(side::server, response("video/mp4", random_bytes(20000, 13)));
        flow.close();
    }
    bool truncated = false;
    recording_handler handler([&](const mediacap::http::http_tuple& exchange, std::string& path) {
        truncated = exchange.request.body_truncated;
        path = (folder_ / "upload-answer").string();
        return int(mediacap::handler::download);
    });
    run_engine(handler);
    EXPECT_EQ(handler.decisions(), 1);
    EXPECT_TRUE(truncated) << "the decoder keeps at most a few MiB of a request body";
    EXPECT_TRUE(handler.reports().empty()) << "no download may start for a body that was not kept whole";
}

TEST_F(EngineOverCaptureFile, LossyLinkKeepsEveryBodyWhoseHoleFitsTheSideBound)
{
    // Each row a connection whose server loses a share of its segments and
    // sends each again `delay` bytes later; libnids holds what came after the
    // hole until then. 8 MiB of data in full segments passes the side bound.
    // With timestamps on and overtaking, each retransmission reaches the
    // sniffer before the segment sent just before it, whose timestamp is older.
    struct row {
        std::size_t delay;
        double loss;
        bool kept;
        bool overtaking = false;
    };
    const std::vector<row> rows{{16 << 10, 0.005, true}, {16 << 10, 0.03, true},   {200 << 10, 0.005, true},
                                {200 << 10, 0.03, true}, {2 << 20, 0.005, true},   {2 << 20, 0.03, true},
                                {8 << 20, 0.005, false}, {8 << 20, 0.03, false},   {200 << 10, 0.005, true, true}};
    std::vector<std::string> bodies;
    {
        pcap_writer writer(capture_);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            tcp_flow flow(writer, "10.1.0.2", static_cast<std::uint16_t>(41000 + i), "10.1.0.1", 80);
            flow.handshake(10, rows[i].overtaking);
            flow.send(side::client, request("/row" + std::to_string(i)));
            bodies.push_back(random_bytes(rows[i].delay + (1 << 20), static_cast<unsigned>(20 + i)));
            EXPECT_GT(flow.lossy(side::server, response("image/jpeg", bodies[i]), 1448, rows[i].loss, rows[i].delay,
                                 100 + i, rows[i].overtaking),
                      0u)
                << "row " << i;
            flow.close();
        }
    }
    recording_handler handler([this](const mediacap::http::http_tuple& exchange, std::string& path) {
        path = (folder_ / exchange.request.path.substr(1)).string();
        return int(mediacap::handler::capture);
    });
    run_engine(handler);

    std::set<std::string> finished;
    for (const auto& report : handler.of_kind("capture_finished"))
        finished.insert(report.path);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const fs::path kept = folder_ / ("row" + std::to_string(i));
        SCOPED_TRACE("row " + std::to_string(i) + ", delay " + std::to_string(rows[i].delay) + ", loss " +
                     std::to_string(rows[i].loss) + (rows[i].overtaking ? ", overtaking" : ""));
        EXPECT_EQ(finished.count(kept.string()), rows[i].kept ? 1u : 0u);
        if (rows[i].kept)
            EXPECT_TRUE(read_file(kept) == bodies[i]) << "byte-exact";
        else
            EXPECT_FALSE(fs::exists(kept));
    }
}

TEST_F(EngineOverCaptureFile, ConnectionFreedSilentlyForAReusedPortEndsAsAClose)
{
    // libnids frees a stream without a word when its client opens again on
    // the same four ends over an hour after the stream began. Here a capture
    // is open on it and data after a hole is held.
    const std::string cut = random_bytes(200000, 30), again = random_bytes(9000, 31), later = random_bytes(1 << 20, 32);
    {
        pcap_writer writer(capture_);
        tcp_flow first(writer, "10.1.0.2", 40090, "10.1.0.1", 80);
        first.handshake(10);
        first.send(side::client, request("/cut.jpg"));
        const auto segments = first.segments(side::server, response("image/jpeg", cut), 1448);
        for (std::size_t i = 0; i < 60; ++i)
            if (i != 20)
                first.write(segments[i]);
        writer.skip(3601);
        tcp_flow reused(writer, "10.1.0.2", 40090, "10.1.0.1", 80);
        reused.handshake(10);
        reused.send(side::client, request("/again.jpg"));
        reused.send(side::server, response("image/jpeg", again));
        reused.close();
        tcp_flow lossy(writer, "10.1.0.3", 40091, "10.1.0.1", 80);
        lossy.handshake(10);
        lossy.send(side::client, request("/later.jpg"));
        EXPECT_GT(lossy.lossy(side::server, response("image/jpeg", later), 1448, 0.03, 200 << 10, 7), 0u);
        lossy.close();
    }
    std::size_t held_then = 1;
    recording_handler handler([&](const mediacap::http::http_tuple& exchange, std::string& path) {
        if (exchange.request.path == "/again.jpg")
            held_then = nids::dispatcher::instance().last_out_of_order().held_bytes;
        path = (folder_ / exchange.request.path.substr(1)).string();
        return int(mediacap::handler::capture);
    });
    mediacap::engine_options options;
    options.pool_size = 1;
    options.capture_file = capture_;
    mediacap::engine engine(&options, &handler);
    const std::size_t descriptors = open_descriptors();
    engine.run();
    EXPECT_EQ(open_descriptors(), descriptors) << "the cut capture's file is closed";
    engine.stop();

    EXPECT_EQ(held_then, 0u) << "the earlier stream's out-of-order data left the ledger with it";
    const auto errors = handler.of_kind("capture_error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].id, 1u);
    EXPECT_EQ(errors[0].code, 5);
    EXPECT_FALSE(fs::exists(folder_ / "cut.jpg"));
    EXPECT_EQ(read_file(folder_ / "again.jpg"), again);
    EXPECT_TRUE(read_file(folder_ / "later.jpg") == later) << "byte-exact";
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 3) << "no temporary file left";
}

TEST_F(EngineOverCaptureFile, StopBeforeRunEndsTheRunAtOnce)
{
    {
        pcap_writer writer(capture_);
        tcp_flow flow(writer, "10.1.0.2", 40070, "10.1.0.1", 80);
        flow.handshake();
        flow.send(side::client, request("/s.jpg"));
        flow.send(side::server, response("image/jpeg", random_bytes(6000, 10)));
        flow.close();
    }
    recording_handler handler(capture_images());
    mediacap::engine_options options;
    options.pool_size = 1;
    options.capture_file = capture_;
    mediacap::engine engine(&options, &handler);
    engine.stop();
    engine.run();
    EXPECT_EQ(handler.decisions(), 0) << "a stopped engine must not start capturing";
}

TEST_F(EngineOverCaptureFile, UnreadableCaptureThrowsNidsError)
{
    recording_handler handler(capture_images());
    mediacap::engine_options options;
    options.pool_size = 1;
    options.capture_file = (folder_ / "missing.pcap").string();
    mediacap::engine engine(&options, &handler);
    EXPECT_ANY_THROW(engine.run());
    engine.stop();
}

}  // namespace
