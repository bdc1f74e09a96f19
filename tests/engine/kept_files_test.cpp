// Kept files when the disk fills up or the process dies: a capture or a
// download that could not be written whole leaves nothing and is never
// reported finished, and a killed capture leaves nothing behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "mediacap/capture_writer.hpp"
#include "mediacap/transfers/temporary_file.hpp"
#include "recording_handler.hpp"
#include "testkit/hanging_disk.hpp"
#include "tests/support/http_server.hpp"
#include "testkit/pcap_writer.hpp"
#include "tests/support/private_mounts.hpp"
#include "testkit/test_data.hpp"

namespace fs = std::filesystem;
using engine_test::recording_handler;
using test_support::http_reply;
using test_support::http_server;
using test_support::names_in;
using test_support::pcap_writer;
using test_support::random_bytes;
using test_support::read_file;
using test_support::side;
using test_support::tcp_flow;

namespace {

constexpr std::size_t small_disk = 1 << 20;

// One connection per body, all open at once, their responses sent in turns
// of 10 segments, so the files are written side by side; or, `one_by_one`,
// each connection closed before the next opens, its body gzip-coded with
// `gzipped`, then in segments of 65000 bytes.
void write_interleaved(const std::string& capture, const std::vector<std::string>& bodies, bool one_by_one = false,
                       bool gzipped = false)
{
    pcap_writer writer(capture);
    for (std::size_t i = 0; one_by_one && i < bodies.size(); ++i) {
        tcp_flow flow(writer, "10.4.0." + std::to_string(i + 2), std::uint16_t(42000 + i), "10.4.0.1", 80);
        flow.handshake();
        flow.send(side::client, "GET /" + std::to_string(i) + ".jpg HTTP/1.1\r\nHost: img.example\r\n\r\n");
        const std::string body = gzipped ? test_support::gzip(bodies[i]) : bodies[i];
        flow.send(side::server,
                  "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(body.size()) +
                      (gzipped ? "\r\nContent-Encoding: gzip" : "") + "\r\n\r\n" + body,
                  gzipped ? 65000 : 1460);
        flow.close();
    }
    if (one_by_one)
        return;
    std::vector<tcp_flow> flows;
    std::vector<std::string> responses;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        flows.emplace_back(writer, "10.4.0." + std::to_string(i + 2), std::uint16_t(42000 + i), "10.4.0.1", 80);
        flows[i].handshake();
        flows[i].send(side::client, "GET /" + std::to_string(i) + ".jpg HTTP/1.1\r\nHost: img.example\r\n\r\n");
        responses.push_back("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                            std::to_string(bodies[i].size()) + "\r\n\r\n" + bodies[i]);
    }
    std::size_t longest = 0;
    for (const auto& response : responses)
        longest = std::max(longest, response.size());
    for (std::size_t at = 0; at < longest; at += 14600)
        for (std::size_t i = 0; i < flows.size(); ++i)
            if (at < responses[i].size())
                flows[i].send(side::server, std::string_view(responses[i]).substr(at, 14600));
    for (auto& flow : flows)
        flow.close();
}

class KeptFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() / ("kept-files-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        disk_ = folder_ / "disk";
        fs::create_directories(disk_);
        capture_ = (folder_ / "traffic.pcap").string();
    }
    void TearDown() override
    {
        ::umount2(disk_.c_str(), MNT_DETACH);
        fs::remove_all(folder_);
    }

    // A fresh tmpfs of 1 MiB (or `size`) at disk_, full to the last byte when asked.
    void new_small_disk(bool full, std::size_t size = small_disk)
    {
        ::umount2(disk_.c_str(), MNT_DETACH);
        std::string why_not;
        ASSERT_TRUE(test_support::mount_small_disk(disk_.string(), size, why_not)) << why_not;
        if (full) {
            ASSERT_TRUE(test_support::fill_disk(disk_.string()));
        }
    }

    // Captures every response into `folder` as "N.jpg" after its target.
    static recording_handler::decision capture_into(const fs::path& folder)
    {
        return [folder](const mediacap::http::http_tuple& exchange, std::string& path) {
            path = (folder / exchange.request.path.substr(1)).string();
            return int(mediacap::handler::capture);
        };
    }

    fs::path folder_, disk_;
    std::string capture_;
};

TEST_F(KeptFiles, CapturesThatDoNotFitKeepNothing_NeedsRoot)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const std::string small = random_bytes(3000, 1), large = random_bytes(1000000, 2);
    const std::string first = random_bytes(600000, 3), second = random_bytes(600000, 4);
    struct {
        const char* name;
        bool full;
        std::vector<std::string> bodies;
        std::size_t kept;
    } cases[] = {
        {"a small body on a full disk", true, {small}, 0},
        {"a body that would eat into the free-space reserve", false, {large}, 0},
        {"two bodies that fit one at a time but not together", false, {first, second}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        new_small_disk(c.full);
        write_interleaved(capture_, c.bodies);
        recording_handler handler(capture_into(disk_));
        engine_test::run_engine_over(capture_, handler);

        std::set<std::string> expected_files = c.full ? std::set<std::string>{"filler"} : std::set<std::string>{};
        const auto finished = handler.of_kind("capture_finished");
        EXPECT_EQ(finished.size(), c.kept);
        for (const auto& report : finished) {
            const std::string name = fs::path(report.path).filename().string();
            EXPECT_TRUE(read_file(report.path) == c.bodies.at(std::stoul(name))) << name << " differs";
            expected_files.insert(name);
        }
        std::set<unsigned> failed;
        for (const auto& report : handler.reports()) {
            if (report.kind == "capture_error") {
                EXPECT_EQ(report.code, 1);
                failed.insert(report.id);
            } else if (report.kind != "capture_started") {
                EXPECT_FALSE(failed.count(report.id)) << report.kind << " after the error of " << report.id;
            }
        }
        EXPECT_EQ(failed.size() + c.kept, c.bodies.size());
        EXPECT_EQ(names_in(disk_), expected_files) << "a failed capture left something";
    }
}

TEST_F(KeptFiles, DownloadsThatDoNotFitKeepNothing_NeedsRoot)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    http_server server;
    server.route("/small", http_reply(random_bytes(5000, 5)));
    server.route("/large", http_reply(random_bytes(2 * small_disk, 6)));  // a reply far larger than the disk
    for (const char* target : {"/small", "/large"}) {
        SCOPED_TRACE(target);
        const bool full = std::string(target) == "/small";
        new_small_disk(full);
        recording_handler handler([this](const mediacap::http::http_tuple&, std::string& path) {
            path = (disk_ / "reply.bin").string();
            return int(mediacap::handler::download);
        });
        mediacap::engine_options options;
        options.pool_size = 1;
        mediacap::engine engine(&options, &handler);
        mediacap::http::http_tuple exchange;
        exchange.request.server_address = server.address();
        exchange.request.server_port = server.port();
        exchange.request.method = "GET";
        exchange.request.path = target;
        exchange.response.status = 200;
        engine.on_request(1, exchange);
        EXPECT_TRUE(handler.wait_for("download_error", 1));
        engine.stop();

        const auto errors = handler.of_kind("download_error");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].code, 0);
        EXPECT_EQ(errors[0].message, "Error writing file: free-space reserve reached");
        EXPECT_TRUE(handler.of_kind("download_finished").empty());
        EXPECT_EQ(names_in(disk_), full ? std::set<std::string>{"filler"} : std::set<std::string>{});
    }
}

// Downloads on six pool threads and captures on the writer thread, all into
// one small disk at once, ask for twice its room: together they never eat
// into the free-space reserve (watched all along), and those that do not fit
// fail on the reserve, not on a full disk.
TEST_F(KeptFiles, ConcurrentWritersStayOutOfTheReserve_NeedsRoot)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    constexpr std::size_t disk_size = 8 << 20, body_size = 2 << 20, downloads = 6;
    new_small_disk(false, disk_size);
    const std::uint64_t reserve = disk_size / 100 * mediacap::disk_reserve_percent;
    auto free_space = [this] {
        struct statvfs info {};
        ::statvfs(disk_.c_str(), &info);
        return std::uint64_t(info.f_bavail) * info.f_frsize;
    };
    const std::uint64_t room = free_space() - reserve;

    http_server server;
    const std::string body = random_bytes(body_size, 8);
    server.route("/d", [&](const test_support::received_request&) {
        server.wait_for_requests(downloads, std::chrono::seconds(5));  // all start writing together
        return http_reply(body);
    });
    write_interleaved(capture_, {random_bytes(body_size, 9), random_bytes(body_size, 10)});

    std::atomic<bool> running{true};
    std::uint64_t least_free = free_space();
    std::thread watcher([&] {
        while (running) {
            least_free = std::min(least_free, free_space());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    recording_handler downloading([this](const mediacap::http::http_tuple& exchange, std::string& path) {
        path = (disk_ / ("d" + exchange.request.path.substr(exchange.request.path.find('=') + 1))).string();
        return int(mediacap::handler::download);
    });
    recording_handler capturing(capture_into(disk_));
    {
        mediacap::engine_options options;
        options.pool_size = downloads;
        mediacap::engine engine(&options, &downloading);
        for (unsigned i = 0; i < downloads; ++i) {
            mediacap::http::http_tuple exchange;
            exchange.request.server_address = server.address();
            exchange.request.server_port = server.port();
            exchange.request.method = "GET";
            exchange.request.path = "/d?n=" + std::to_string(i);
            exchange.response.status = 200;
            engine.on_request(i + 1, exchange);
        }
        engine_test::run_engine_over(capture_, capturing);
        for (int wait = 0; wait < 2000 && downloading.of_kind("download_finished").size() +
                                                 downloading.of_kind("download_error").size() < downloads; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        engine.stop();
    }
    running = false;
    watcher.join();

    const auto finished = downloading.of_kind("download_finished");
    const auto failed = downloading.of_kind("download_error");
    EXPECT_EQ(finished.size() + failed.size(), downloads);
    for (const auto& report : failed)
        EXPECT_EQ(report.message, "Error writing file: free-space reserve reached");
    std::set<std::string> kept;
    std::uint64_t kept_bytes = 0;
    for (const auto& reports : {finished, capturing.of_kind("capture_finished")}) {
        for (const auto& report : reports) {
            kept.insert(fs::path(report.path).filename().string());
            kept_bytes += fs::file_size(report.path);
        }
    }
    std::multiset<unsigned> ended;  // each capture ends once
    for (const auto& kind : {"capture_finished", "capture_error"})
        for (const auto& report : capturing.of_kind(kind))
            ended.insert(report.id);
    EXPECT_EQ(ended.size(), 2u);
    EXPECT_EQ(std::set<unsigned>(ended.begin(), ended.end()).size(), 2u);
    EXPECT_LT(kept.size(), downloads + 2) << "all fitted: the disk is too large for the case";
    EXPECT_EQ(names_in(disk_), kept) << "a failed transfer left something";
    EXPECT_LE(kept_bytes, room);
    EXPECT_GE(least_free, reserve) << "a write ate into the reserve";
}

// The data folder's disk stops answering while captures are written, and the
// stop comes while the writer waits in the kernel: the stop is prompt, the
// run ends once the writer has made no progress for its stall limit, each
// capture fails with one report, and once the disk answers again nothing is
// left of them, neither under a final name nor as a partial file. On a disk
// that is only slow, the stop comes when the last capture is reported
// started: every body before it is kept and reported finished, once; and
// with no stop, a segment whose inflated output takes the disk longer than
// the stall limit still counts as progress while its bytes flow. Every
// capture is reported started, then its progress, then one end.
TEST_F(KeptFiles, AStopEndsInTimeWhenTheDiskHangs_NeedsRoot)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    using hung = test_support::hanging_disk::operations;
    const fs::path backing = folder_ / "backing";
    const struct {
        const char* name;
        std::size_t body_size;
        hung what;
        std::size_t bytes_per_second;  // not 0: the disk is slow instead
        bool gzipped = false;          // ... and no stop: the run ends with the capture file
    } cases[] = {
        {"writes hang half-way through a body", mediacap::http::capture_piece_size + 50000, hung::writes, 0},
        {"writes hang at the end of a body", 40000, hung::writes, 0},
        {"putting a whole file in place hangs", 40000, hung::renames, 0},
        {"slow disk, Stop with a backlog", 1 << 20, hung::writes, 4 << 20},
        {"slow disk, one segment inflates for 3 s", 3 << 20, hung::writes, 1 << 20, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(backing);
        fs::create_directories(backing);
        std::string why_not;
        auto disk = test_support::hanging_disk::mount(backing.string(), disk_.string(), why_not);
        if (!disk)
            GTEST_SKIP() << "no file system in user space: " << why_not;
        const bool slow = c.bytes_per_second != 0, stops = !c.gzipped;
        std::vector<std::string> bodies;
        for (unsigned i = 0; i < (c.gzipped ? 2 : slow ? 10 : 6); ++i) {
            // Inflated about 60 times: a block repeated within deflate's window.
            const std::string block = random_bytes(c.gzipped ? 20000 : c.body_size, 20 + i);
            bodies.push_back({});
            while (bodies.back().size() < c.body_size)
                bodies.back() += block;
        }
        write_interleaved(capture_, bodies, slow, c.gzipped);
        slow ? disk->slow(c.bytes_per_second) : disk->hang(c.what);

        recording_handler handler(capture_into(disk_));
        mediacap::engine_options options;
        options.device = "unused";
        options.pool_size = 1;
        options.capture_file = capture_;
        options.writer_stall_limit = std::chrono::seconds(1);
        auto engine = std::make_unique<mediacap::engine>(&options, &handler);
        auto run = std::async(std::launch::async, [&] { engine->run(); });
        if (slow && stops) {
            EXPECT_TRUE(handler.wait_for("capture_started", bodies.size(), std::chrono::seconds(30)));
        } else if (!slow) {
            // Bounded poll until the writer waits in the kernel.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (disk->held() == 0 && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_GT(disk->held(), 0u) << "no write reached the disk";
        }
        const auto stopped = std::chrono::steady_clock::now();
        if (stops) {
            engine->stop();
            EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1)) << "the stop was not prompt";
        }
        const bool in_time = run.wait_for(std::chrono::seconds(slow ? 30 : 5)) == std::future_status::ready;
        const auto took = std::chrono::steady_clock::now() - stopped;
        EXPECT_TRUE(in_time) << "the run did not end in time";
        EXPECT_TRUE(!stops || took < std::chrono::seconds(slow ? 10 : 2))
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
        EXPECT_TRUE(slow || !engine->settled()) << "the writer cannot have left the kernel";

        disk->release();
        run.get();
        engine.reset();
        disk.reset();

        std::map<unsigned, std::vector<std::string>> ends;
        std::set<unsigned> started;
        for (const auto& report : handler.reports()) {
            if (report.kind == "capture_started") {
                EXPECT_TRUE(started.insert(report.id).second) << "capture " << report.id << " started twice";
                continue;
            }
            EXPECT_TRUE(started.count(report.id) && !ends.count(report.id))
                << report.kind << " of capture " << report.id << " before its start or after its end";
            if (report.kind != "capture_progress")
                ends[report.id].push_back(report.kind + " " + std::to_string(report.code));
        }
        EXPECT_EQ(started.size(), bodies.size());
        EXPECT_EQ(ends.size(), bodies.size());
        std::set<std::string> kept;
        for (const auto& report : handler.of_kind("capture_finished"))
            kept.insert(fs::path(report.path).filename().string());
        for (const std::string& name : kept)
            EXPECT_TRUE(read_file(backing / name) == bodies.at(std::stoul(name))) << name << " differs";
        for (const auto& [id, reports] : ends) {
            ASSERT_EQ(reports.size(), 1u) << "capture " << id << " reported twice";
            // Only the last body may have been cut by the stop.
            EXPECT_TRUE((slow && stops && id == bodies.size()) ||
                        reports[0] == (slow ? "capture_finished 0" : "capture_error 1"))
                << "capture " << id << ": " << reports[0];
        }
        EXPECT_EQ(names_in(backing), kept) << "a failed capture left something";
    }
}

// A replay held in the kernel by a disk that hangs: the stop still returns
// within its bound, with the replay's error report, and nothing more is
// reported or kept once the disk answers, also when the replay held was
// putting its whole file in place.
TEST_F(KeptFiles, AStopDoesNotWaitForAReplayTheDiskHolds_NeedsRoot)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    using hung = test_support::hanging_disk::operations;
    const fs::path backing = folder_ / "backing";
    http_server server;
    server.route("/clip", http_reply(random_bytes(600000, 8)));
    for (const hung what : {hung::writes, hung::renames}) {
        SCOPED_TRACE(what == hung::writes ? "writes hang" : "renames hang");
        fs::remove_all(backing);
        fs::create_directories(backing);
        std::string why_not;
        auto disk = test_support::hanging_disk::mount(backing.string(), disk_.string(), why_not);
        if (!disk)
            GTEST_SKIP() << "no file system in user space: " << why_not;
        disk->hang(what);
        recording_handler handler([this](const mediacap::http::http_tuple&, std::string& path) {
            path = (disk_ / "clip.mp4").string();
            return int(mediacap::handler::download);
        });
        mediacap::engine_options options;
        options.pool_size = 1;
        auto engine = std::make_unique<mediacap::engine>(&options, &handler);
        mediacap::http::http_tuple exchange;
        exchange.request.server_address = server.address();
        exchange.request.server_port = server.port();
        exchange.request.method = "GET";
        exchange.request.path = "/clip";
        exchange.response.status = 200;
        engine->on_request(1, exchange);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (disk->held() == 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_GT(disk->held(), 0u) << "nothing reached the disk";

        const auto stopped = std::chrono::steady_clock::now();
        auto stop = std::async(std::launch::async, [&] { engine->stop(); });
        const bool in_time = stop.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        const auto took = std::chrono::steady_clock::now() - stopped;
        EXPECT_TRUE(in_time) << "the stop did not return within 30 s";
        // The stop's own bound is 250 ms; the margin is for a loaded machine.
        EXPECT_LT(took, std::chrono::seconds(5))
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
        EXPECT_FALSE(engine->settled()) << "the replay cannot have left the kernel";
        const auto reported = handler.reports();

        disk->release();
        stop.get();
        engine.reset();
        disk.reset();
        EXPECT_EQ(handler.reports().size(), reported.size()) << "a report came after the stop returned";
        EXPECT_EQ(handler.of_kind("download_error").size(), 1u);
        EXPECT_TRUE(handler.of_kind("download_finished").empty());
        EXPECT_EQ(names_in(backing), std::set<std::string>{});
    }
}

// A capture whose process is killed in the middle of the body, then a new
// start that keeps the same body whole: only that one file is there. The
// body is longer than the writer's queue, so the capture's end cannot have
// reached the writer by the time of its first progress report.
TEST_F(KeptFiles, ACaptureKilledMidBodyLeavesNothing)
{
    std::string body;
    const std::string stretch = random_bytes(1 << 20, 7);
    while (body.size() < mediacap::capture_queue_limit + (std::size_t(2) << 20))
        body += stretch;
    write_interleaved(capture_, {body});
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Where the temporary files would go if they did not go beside the target.
        ::setenv("TMPDIR", disk_.c_str(), 1);
        struct stalling : recording_handler {
            using recording_handler::recording_handler;
            int signal_to = -1;
            void on_capture_progress(unsigned, double, double) override
            {
                (void)!::write(signal_to, "x", 1);
                ::pause();  // killed here, half-way through the body
            }
        } handler(capture_into(disk_));
        handler.signal_to = ready[1];
        engine_test::run_engine_over(capture_, handler);
        ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool stalled = ::read(ready[0], &byte, 1) == 1;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ASSERT_TRUE(stalled) << "the child never reached the body";

    mediacap::remove_stale_partials(folder_.string(), 1);
    EXPECT_EQ(names_in(disk_), std::set<std::string>{}) << "the killed capture left a file";
    recording_handler handler(capture_into(disk_));
    engine_test::run_engine_over(capture_, handler);
    EXPECT_EQ(names_in(disk_), std::set<std::string>{"0.jpg"});
    EXPECT_TRUE(read_file(disk_ / "0.jpg") == body);
}

}  // namespace

PRIVATE_MOUNTS_TEST_MAIN()
