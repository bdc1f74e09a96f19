// The download side when servers misbehave, and a stop in the middle of a
// busy pool: every job ends with exactly one report, and no temporary file
// is left behind whatever the ending.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "mediacap/transfers/downloader.hpp"
#include "tests/support/http_server.hpp"
#include "testkit/test_data.hpp"

namespace fs = std::filesystem;
using mediacap::http::downloader;
using mediacap::http::http_tuple;
using test_support::http_reply;
using test_support::http_server;

using test_support::random_bytes;
using test_support::read_file;
namespace {

constexpr auto hang_limit = std::chrono::seconds(60);

// The temporary folder of this test program (TMPDIR, set in main before any
// thread exists), where every download's temporary file is made.
fs::path scratch;

// Counts the reports of each download and checks that nothing follows an end.
class end_counter : public mediacap::http::downloader_handler {
public:
    void on_download_started(unsigned id, const http_tuple&, const std::string&) override
    {
        std::lock_guard lock(mutex_);
        ++started_;
        if (ended_.count(id))
            late_.push_back(id);
        changed_.notify_all();
    }
    void on_download_progress(unsigned id, unsigned, unsigned) override
    {
        std::lock_guard lock(mutex_);
        if (ended_.count(id))
            late_.push_back(id);
    }
    void on_download_finished(unsigned id, const std::string&) override { end(id, -1); }
    void on_download_error(unsigned id, int code, const std::string&) override { end(id, code); }

    bool wait_ended(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hang_limit, [&] { return ends_ >= count; });
    }
    bool wait_started(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hang_limit, [&] { return started_ >= count; });
    }
    std::size_t started()
    {
        std::lock_guard lock(mutex_);
        return started_;
    }
    // id -> how it ended (-1 finished, else the error code), for ids that ended.
    std::map<unsigned, std::vector<int>> ends()
    {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    std::vector<unsigned> reports_after_the_end()
    {
        std::lock_guard lock(mutex_);
        return late_;
    }

private:
    void end(unsigned id, int how)
    {
        std::lock_guard lock(mutex_);
        ended_[id].push_back(how);
        ++ends_;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<unsigned, std::vector<int>> ended_;
    std::vector<unsigned> late_;
    std::size_t ends_ = 0;
    std::size_t started_ = 0;
};

std::vector<std::string> temporary_files()
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch))
        if (entry.path().filename().string().rfind("tmp-", 0) == 0)
            names.push_back(entry.path().filename().string());
    return names;
}

http_tuple exchange_for(const http_server& server, const std::string& target)
{
    http_tuple exchange;
    exchange.request.server_address = server.address();
    exchange.request.server_port = server.port();
    exchange.request.method = "GET";
    exchange.request.path = target;
    exchange.request.headers["Host"] = "media.example";
    exchange.response.status = 200;
    return exchange;
}

class DownloadFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        out_ = scratch / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(out_);
    }
    void TearDown() override { fs::remove_all(out_); }

    fs::path out_;
};

struct fault_case {
    const char* name;
    http_reply reply;
    int expected_end;           // -1 finished, else the error code
    std::size_t expected_size;  // of the kept file when finished
};

// Each broken answer ends its download with one report; a failed download
// leaves neither a final file nor a temporary one.
TEST_F(DownloadFaults, BrokenServersEndEveryDownloadOnceAndLeaveNoFiles)
{
    const std::string body = random_bytes(300000, 5);
    // A body that runs past its announced length: the close-delimited framing
    // announces nothing of its own, so the only length is the one given here.
    http_reply overlong(body);
    overlong.close_delimited().with_header("Content-Length", "1000");
    // Bodies that end before a length the head announced; libcurl takes the
    // last of several lengths, ignores one beyond 64 bits or beside a
    // transfer coding, and ends the body at the close.
    const auto announcing = [&](std::initializer_list<std::pair<std::string, std::string>> fields) {
        http_reply reply(body);
        reply.close_delimited();
        for (const auto& [name, value] : fields)
            reply.with_header(name, value);
        return reply;
    };
    const std::string longer = std::to_string(body.size() + 1);
    const std::vector<fault_case> table = {
        {"closed before its length", announcing({{"Content-Length", longer}}), 0, 0},
        {"a longer length, then the real one", announcing({{"Content-Length", longer}, {"Content-Length", std::to_string(body.size())}}), 0, 0},
        {"a longer length, then zero", announcing({{"Content-Length", longer}, {"Content-Length", "0"}}), 0, 0},
        {"a length beyond 64 bits", announcing({{"Content-Length", "99999999999999999999"}}), 0, 0},
        {"a length beside a transfer coding", announcing({{"Transfer-Encoding", "identity"}, {"Content-Length", longer}}), 0, 0},
        {"reset in the middle of the body",
         http_reply(body).with_fault(http_reply::fault::reset_after_bytes, 100000), 0, 0},
        {"more bytes than announced", overlong, -1, 1000},
        {"never answers", http_reply(body).with_fault(http_reply::fault::never_answer), 0, 0},
        {"stops after the head", http_reply(body).with_fault(http_reply::fault::stall_after_headers), 0, 0},
        {"whole", http_reply(body), -1, body.size()},
    };
    http_server server;
    for (std::size_t i = 0; i < table.size(); ++i)
        server.route("/case" + std::to_string(i), table[i].reply);

    end_counter reports;
    {
        // A stall limit of one second keeps the silent servers short.
        downloader jobs(4, &reports, std::chrono::seconds(1));
        for (std::size_t i = 0; i < table.size(); ++i)
            EXPECT_EQ(jobs.download(exchange_for(server, "/case" + std::to_string(i)),
                                    (out_ / ("file" + std::to_string(i))).string()),
                      i + 1);
        ASSERT_TRUE(reports.wait_ended(table.size())) << "a download never ended";
        jobs.wait();
    }
    const auto ends = reports.ends();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const fault_case& c = table[i];
        const unsigned id = static_cast<unsigned>(i + 1);
        ASSERT_EQ(ends.count(id), 1u) << c.name;
        EXPECT_EQ(ends.at(id), std::vector<int>{c.expected_end}) << c.name;
        const fs::path kept = out_ / ("file" + std::to_string(i));
        if (c.expected_end == -1)
            EXPECT_EQ(read_file(kept), body.substr(0, c.expected_size)) << c.name;
        else
            EXPECT_FALSE(fs::exists(kept)) << c.name << ": a failed download left its final file";
    }
    EXPECT_TRUE(reports.reports_after_the_end().empty());
    EXPECT_EQ(temporary_files(), std::vector<std::string>{});
}

// Fifty downloads on ten threads, some of them held by the server, and a stop
// (cancel every job, then wait for the pool) while they run and wait.
TEST_F(DownloadFaults, StopInTheMiddleOfFiftyDownloadsOnTenThreads)
{
    constexpr unsigned count = 50;
    const std::string body = random_bytes(200000, 9);
    http_server server;
    server.route("/fast", http_reply(body));
    server.route("/held", http_reply(body).with_fault(http_reply::fault::hang_after_bytes, 5000));

    end_counter reports;
    downloader jobs(10, &reports);  // the real stall limit: only the stop ends held jobs
    for (unsigned i = 0; i < count; ++i) {
        const std::string target = i % 3 == 0 ? "/held" : "/fast";
        jobs.download(exchange_for(server, target + "?n=" + std::to_string(i)),
                      (out_ / ("file" + std::to_string(i + 1))).string());
    }
    // Some finished, every thread busy (held transfers pile up on them), the
    // rest queued.
    ASSERT_TRUE(reports.wait_ended(10));
    jobs.cancel_all();
    jobs.wait();

    const auto ends = reports.ends();
    ASSERT_EQ(ends.size(), reports.started()) << "every job that started reports its end; queued ones say nothing";
    EXPECT_LT(reports.started(), count) << "some jobs were still queued at the stop";
    unsigned finished = 0;
    for (const auto& [id, how] : ends) {
        ASSERT_EQ(how.size(), 1u) << "download " << id << " ended more than once";
        const fs::path kept = out_ / ("file" + std::to_string(id));
        if (how[0] == -1) {
            ++finished;
            EXPECT_EQ(read_file(kept), body) << "download " << id;
        } else {
            EXPECT_EQ(how[0], 0) << "a cancelled download reports code 0";
            EXPECT_FALSE(fs::exists(kept)) << "download " << id;
        }
    }
    EXPECT_GE(finished, 10u);
    EXPECT_LT(finished, count) << "the held downloads cannot have finished";
    EXPECT_TRUE(reports.reports_after_the_end().empty());
    EXPECT_EQ(temporary_files(), std::vector<std::string>{});
    server.release_held();
}

// Forged traffic can ask for any number of downloads. Past the queue's bound,
// in jobs or in the bytes they copied, new ones are dropped; a stop drops the
// whole queue without starting any of it.
TEST_F(DownloadFaults, AFullQueueDropsNewDownloadsAndAStopDropsTheQueue)
{
    http_server server;
    server.route("/held", http_reply(random_bytes(1000, 3)).with_fault(http_reply::fault::stall_after_headers));
    end_counter reports;
    downloader jobs(2, &reports);
    const auto hold_both_workers = [&] {
        const std::size_t before = reports.started();
        for (int i = 0; i < 2; ++i)
            jobs.download(exchange_for(server, "/held"), (out_ / "held").string());
        ASSERT_TRUE(reports.wait_started(before + 2));
        // A job reports started before it sends: a stop may come first.
        ASSERT_TRUE(server.wait_for_requests(before + 2));
    };
    struct bound_case {
        const char* name;
        std::size_t body_size;  // of each queued request
        std::size_t asked;
        std::size_t fit;        // how many a queue of the bound's size holds at most
    };
    const std::size_t big = 4u << 20;
    const std::vector<bound_case> table = {
        {"jobs", 0, downloader::max_queued_jobs + 100, downloader::max_queued_jobs},
        {"bytes", big, downloader::max_queued_bytes / big + 4, downloader::max_queued_bytes / big},
    };
    for (const bound_case& c : table) {
        ASSERT_NO_FATAL_FAILURE(hold_both_workers());
        http_tuple queued = exchange_for(server, "/held?queued");
        queued.request.method = "POST";
        queued.request.body.assign(c.body_size, 'b');
        std::size_t accepted = 0;
        for (std::size_t i = 0; i < c.asked; ++i)
            accepted += jobs.download(queued, (out_ / "never").string()) != 0;
        EXPECT_LE(accepted, c.fit) << c.name;
        EXPECT_GE(accepted, c.fit - 1) << c.name;

        jobs.cancel_all();
        jobs.wait();
        EXPECT_EQ(reports.ends().size(), reports.started()) << c.name;
    }
    EXPECT_EQ(reports.started(), 4u) << "no queued job may start after a stop";
    EXPECT_EQ(server.request_count(), 4u);
    EXPECT_FALSE(fs::exists(out_ / "never"));
    EXPECT_EQ(temporary_files(), std::vector<std::string>{});
    server.release_held();
}

}  // namespace

int main(int argc, char** argv)
{
    // Before any thread: the downloads' temporary files go to a folder of this
    // program alone, so leftovers can be counted.
    std::string folder = (fs::temp_directory_path() / "vendrax-download-faults-XXXXXX").string();
    if (!mkdtemp(folder.data()))
        return 1;
    scratch = folder;
    setenv("TMPDIR", folder.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    fs::remove_all(scratch);
    return result;
}
