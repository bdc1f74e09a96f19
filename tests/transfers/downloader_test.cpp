#include <gtest/gtest.h>

#include "mediacap/transfers/downloader.hpp"
#include "tests/support/http_server.hpp"
#include "testkit/test_data.hpp"

#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using mediacap::http::downloader;
using mediacap::http::http_request;
using mediacap::http::http_response;
using mediacap::http::http_tuple;
using test_support::http_reply;
using test_support::http_server;
using test_support::received_request;

using test_support::gzip;
using test_support::random_bytes;
using test_support::read_file;
namespace {

constexpr auto hang_limit = std::chrono::seconds(60);

struct report {
    enum kind { started, progress, finished, error } what;
    int code = 0;
    std::string message;
    unsigned total = 0;
    unsigned received = 0;
    std::string path;
};

// Records every report per download id; the test waits for the final ones.
class recording_handler : public mediacap::http::downloader_handler {
public:
    void on_download_started(unsigned id, const http_tuple&, const std::string& path) override
    {
        add(id, {report::started, 0, {}, 0, 0, path});
    }
    void on_download_progress(unsigned id, unsigned total, unsigned received) override
    {
        add(id, {report::progress, 0, {}, total, received, {}});
    }
    void on_download_finished(unsigned id, const std::string& path) override
    {
        add(id, {report::finished, 0, {}, 0, 0, path});
    }
    void on_download_error(unsigned id, int code, const std::string& message) override
    {
        add(id, {report::error, code, message, 0, 0, {}});
    }

    // Waits until `count` downloads have reported their end.
    bool wait_ended(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hang_limit, [&] { return ended_ >= count; });
    }
    bool wait_started(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hang_limit, [&] { return started_ >= count; });
    }

    std::vector<report> of(unsigned id)
    {
        std::lock_guard lock(mutex_);
        return reports_[id];
    }
    std::size_t ids()
    {
        std::lock_guard lock(mutex_);
        return reports_.size();
    }

private:
    void add(unsigned id, report entry)
    {
        std::lock_guard lock(mutex_);
        auto& list = reports_[id];
        // Nothing may follow the final report of a download.
        if (!list.empty() && (list.back().what == report::finished || list.back().what == report::error))
            ADD_FAILURE() << "report after the end for download " << id;
        if (entry.what == report::started)
            ++started_;
        if (entry.what == report::finished || entry.what == report::error)
            ++ended_;
        list.push_back(std::move(entry));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<unsigned, std::vector<report>> reports_;
    std::size_t ended_ = 0;
    std::size_t started_ = 0;
};

// The kinds of reports of one download, e.g. "started progress finished"
// with repeated progress reports folded into one.
std::string shape(const std::vector<report>& reports)
{
    static const char* const names[] = {"started", "progress", "finished", "error"};
    std::string text;
    for (const auto& entry : reports) {
        const std::string name = names[entry.what];
        if (entry.what == report::progress && text.size() >= name.size()
            && text.compare(text.size() - name.size(), name.size(), name) == 0)
            continue;
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

// One server for the whole program; each test has its own temporary and
// final folders (the temporary files go to TMPDIR).
class Downloader : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new http_server(); }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::absolute(fs::path("downloader_test.d") / info->name());
        fs::remove_all(root_);
        temp_ = root_ / "temp";
        final_ = root_ / "final";
        fs::create_directories(temp_);
        fs::create_directories(final_);
        ::setenv("TMPDIR", temp_.c_str(), 1);
    }
    void TearDown() override
    {
        server_->release_held();
        EXPECT_TRUE(fs::is_empty(temp_)) << "a temporary file was left behind";
        ::unsetenv("TMPDIR");
        fs::remove_all(root_);
    }

    static http_tuple exchange(const std::string& method, const std::string& target,
                               std::initializer_list<std::pair<std::string, std::string>> headers = {})
    {
        http_request request;
        request.server_address = server_->address();
        request.server_port = server_->port();
        request.method = method;
        request.path = target;
        for (const auto& [name, value] : headers)
            request.headers[name] = value;
        return http_tuple(request, http_response{});
    }

    std::vector<received_request> requests_for(const std::string& path)
    {
        std::vector<received_request> found;
        for (auto& request : server_->requests())
            if (request.path() == path)
                found.push_back(request);
        return found;
    }

    static http_server* server_;
    fs::path root_, temp_, final_;
    recording_handler handler_;
};

http_server* Downloader::server_ = nullptr;

}  // namespace

TEST_F(Downloader, ReplaysTheSniffedRequestAndKeepsTheBody)
{
    const std::string body = random_bytes(3 * 1024 * 1024 + 17, 11);
    server_->route("/video", http_reply(body));
    downloader jobs(2, &handler_);
    const fs::path target = final_ / "video.bin";
    const unsigned id = jobs.download(
        exchange("GET", "/video?itag=34&x=%41",
                 {{"Host", "video.elsewhere.example:8080"}, {"User-Agent", "Sniffed/1.0"}, {"X-Sniffed", "yes"}}),
        target.string());
    EXPECT_EQ(id, 1u) << "ids start at 1";
    ASSERT_TRUE(handler_.wait_ended(1));

    const auto reports = handler_.of(id);
    EXPECT_EQ(shape(reports), "started progress finished");
    EXPECT_EQ(reports.front().path, target.string());
    EXPECT_EQ(reports.back().path, target.string()) << "the finished report names the file written";
    unsigned last = 0;
    for (const auto& entry : reports) {
        if (entry.what != report::progress)
            continue;
        EXPECT_GT(entry.received, last) << "progress only when the count grew";
        EXPECT_EQ(entry.total, body.size());
        last = entry.received;
    }
    EXPECT_EQ(last, body.size());
    EXPECT_TRUE(read_file(target) == body) << "the file differs from the served body";

    const auto seen = requests_for("/video");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/video?itag=34&x=%41");
    EXPECT_EQ(seen[0].header("Host"), "video.elsewhere.example:8080") << "sniffed headers replace libcurl's";
    EXPECT_EQ(seen[0].header("User-Agent"), "Sniffed/1.0");
    EXPECT_EQ(seen[0].header("X-Sniffed"), "yes");

    EXPECT_EQ(jobs.download(exchange("GET", "/video"), (final_ / "again").string()), 2u);
    ASSERT_TRUE(handler_.wait_ended(2));
}

TEST_F(Downloader, StatusOtherThan200KeepsNothing)
{
    server_->route("/moved", http_reply("see elsewhere", 302).with_header("Location", "/redirected"));
    server_->route("/partial", http_reply("part", 206));
    server_->route("/redirected", http_reply("here"));
    downloader jobs(3, &handler_);
    struct {
        std::string target, message;
    } cases[] = {{"/moved", "302"}, {"/missing", "404"}, {"/partial", "206"}};
    std::vector<unsigned> ids;
    for (const auto& c : cases)
        ids.push_back(jobs.download(exchange("GET", c.target), (final_ / c.target.substr(1)).string()));
    ASSERT_TRUE(handler_.wait_ended(3));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto reports = handler_.of(ids[i]);
        SCOPED_TRACE(cases[i].target);
        EXPECT_EQ(reports.front().what, report::started);
        EXPECT_EQ(reports.back().what, report::error);
        EXPECT_EQ(reports.back().code, 1);
        EXPECT_EQ(reports.back().message, cases[i].message);
    }
    EXPECT_TRUE(fs::is_empty(final_));
    EXPECT_TRUE(requests_for("/redirected").empty()) << "redirects are not followed";
}

TEST_F(Downloader, PostSendsTheSniffedBodyBytes)
{
    server_->route("/form", [](const received_request& request) {
        return http_reply("posted:" + request.body);
    });
    const std::string sniffed("a=1\0b=\xff\0\0end", 13);
    http_tuple post = exchange("POST", "/form", {{"Content-Type", "application/octet-stream"}});
    post.request.body = sniffed;
    downloader jobs(1, &handler_);
    const unsigned id = jobs.download(post, (final_ / "reply").string());
    ASSERT_TRUE(handler_.wait_ended(1));
    EXPECT_EQ(handler_.of(id).back().what, report::finished);

    const auto seen = requests_for("/form");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].body, sniffed) << "bytes after a zero byte are sent too";
    EXPECT_EQ(seen[0].header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(read_file(final_ / "reply"), "posted:" + sniffed);
}

TEST_F(Downloader, OtherMethodsAndTargetsAreRefusedBeforeAnythingIsSent)
{
    downloader jobs(2, &handler_);
    const std::size_t before = server_->request_count();
    const unsigned head = jobs.download(exchange("HEAD", "/video"), (final_ / "head").string());
    const unsigned put = jobs.download(exchange("PUT", "/video"), (final_ / "put").string());
    const unsigned lower = jobs.download(exchange("get", "/video"), (final_ / "get").string());
    const unsigned authority = jobs.download(exchange("GET", "@127.0.0.2:9/video"), (final_ / "at").string());
    ASSERT_TRUE(handler_.wait_ended(4));
    EXPECT_EQ(shape(handler_.of(head)), "error");
    EXPECT_EQ(handler_.of(head).back().code, 0);
    EXPECT_EQ(handler_.of(head).back().message, "Unsupported method: HEAD");
    EXPECT_EQ(handler_.of(put).back().message, "Unsupported method: PUT");
    EXPECT_EQ(handler_.of(lower).back().message, "Unsupported method: get") << "methods compare exactly";
    EXPECT_EQ(shape(handler_.of(authority)), "error");
    EXPECT_EQ(handler_.of(authority).back().message, "Unsupported request target");
    jobs.wait();
    EXPECT_EQ(server_->request_count(), before);
}

TEST_F(Downloader, EncodedAndUnannouncedBodiesAreStoredDecoded)
{
    const std::string body = std::string(200000, 'v') + random_bytes(1000, 11);
    server_->route("/gzip", http_reply(gzip(body)).with_header("Content-Encoding", "gzip"));
    server_->route("/chunked", http_reply(body).chunked(4096));
    server_->route("/until-close", http_reply(body).close_delimited());
    downloader jobs(3, &handler_);
    const unsigned encoded = jobs.download(exchange("GET", "/gzip", {{"Accept-Encoding", "gzip"}}),
                                           (final_ / "gzip").string());
    const unsigned chunked = jobs.download(exchange("GET", "/chunked"), (final_ / "chunked").string());
    const unsigned closed = jobs.download(exchange("GET", "/until-close"), (final_ / "closed").string());
    ASSERT_TRUE(handler_.wait_ended(3));
    for (const char* name : {"gzip", "chunked", "closed"})
        EXPECT_TRUE(read_file(final_ / name) == body) << name;
    EXPECT_EQ(handler_.of(encoded).back().what, report::finished);
    for (unsigned id : {chunked, closed}) {
        EXPECT_EQ(handler_.of(id).back().what, report::finished);
        for (const auto& entry : handler_.of(id)) {
            if (entry.what == report::progress) {
                EXPECT_EQ(entry.total, 0u) << "no length announced, download " << id;
            }
        }
    }
}

TEST_F(Downloader, BrokenTransfersReportLibcurlErrors)
{
    server_->route("/reset", http_reply(random_bytes(500000, 11)).with_fault(http_reply::fault::reset_after_bytes, 1000));
    server_->route("/short", http_reply(random_bytes(5000, 11)).with_fault(http_reply::fault::hang_after_bytes, 100));
    downloader jobs(2, &handler_, std::chrono::seconds(2));
    const unsigned reset = jobs.download(exchange("GET", "/reset"), (final_ / "reset").string());
    http_tuple refused = exchange("GET", "/x");
    refused.request.server_port = 1;  // nothing listens there
    const unsigned nobody = jobs.download(refused, (final_ / "refused").string());
    ASSERT_TRUE(handler_.wait_ended(2));
    for (unsigned id : {reset, nobody}) {
        const auto reports = handler_.of(id);
        EXPECT_EQ(reports.front().what, report::started);
        EXPECT_EQ(reports.back().what, report::error);
        EXPECT_EQ(reports.back().code, 0);
        EXPECT_FALSE(reports.back().message.empty());
    }
    EXPECT_TRUE(fs::is_empty(final_));
}

TEST_F(Downloader, AThrowingProgressReportAbortsOnlyThatTransfer)
{
    struct throwing_handler : recording_handler {
        void on_download_progress(unsigned, unsigned, unsigned) override { throw std::runtime_error("handler failed"); }
    } handler;
    server_->route("/video", http_reply(random_bytes(100000, 11)));
    downloader jobs(1, &handler);
    const unsigned id = jobs.download(exchange("GET", "/video"), (final_ / "video").string());
    ASSERT_TRUE(handler.wait_ended(1));
    EXPECT_EQ(shape(handler.of(id)), "started error");
    EXPECT_EQ(handler.of(id).back().code, 0);
    EXPECT_FALSE(fs::exists(final_ / "video"));
}

TEST_F(Downloader, StalledTransferIsAbortedAfterTheStallLimit)
{
    server_->route("/stall", http_reply(random_bytes(1000, 11)).with_fault(http_reply::fault::stall_after_headers));
    server_->route("/hang", http_reply(random_bytes(1000, 11)).with_fault(http_reply::fault::hang_after_bytes, 10));
    server_->route("/drip", http_reply("slow but alive").dripping(std::chrono::milliseconds(250)));
    downloader jobs(3, &handler_, std::chrono::seconds(3));
    const unsigned stalled = jobs.download(exchange("GET", "/stall"), (final_ / "stall").string());
    const unsigned hanging = jobs.download(exchange("GET", "/hang"), (final_ / "hang").string());
    const unsigned dripping = jobs.download(exchange("GET", "/drip"), (final_ / "drip").string());
    ASSERT_TRUE(handler_.wait_ended(3));
    for (unsigned id : {stalled, hanging}) {
        EXPECT_EQ(handler_.of(id).back().what, report::error);
        EXPECT_EQ(handler_.of(id).back().code, 0);
        EXPECT_FALSE(handler_.of(id).back().message.empty());
    }
    EXPECT_EQ(shape(handler_.of(hanging)), "started progress error");
    EXPECT_EQ(handler_.of(dripping).back().what, report::finished) << "a byte now and then keeps it alive";
    EXPECT_EQ(read_file(final_ / "drip"), "slow but alive");
    EXPECT_FALSE(fs::exists(final_ / "stall"));
    EXPECT_FALSE(fs::exists(final_ / "hang"));
}

TEST_F(Downloader, CancelAllAbortsRunningJobsAndDropsQueuedOnes)
{
    server_->route("/held", http_reply(random_bytes(1000, 11)).with_fault(http_reply::fault::stall_after_headers));
    server_->route("/ok", http_reply("fine"));
    downloader jobs(2, &handler_);
    std::vector<unsigned> ids;
    for (int i = 0; i < 5; ++i)
        ids.push_back(jobs.download(exchange("GET", "/held"), (final_ / ("held" + std::to_string(i))).string()));
    ASSERT_TRUE(handler_.wait_started(2));
    jobs.cancel_all();
    jobs.wait();
    // The two running jobs abort; the three queued ones never start and say
    // nothing, so no transfer row is ever made for them.
    for (unsigned id : ids) {
        const auto reports = handler_.of(id);
        EXPECT_EQ(shape(reports), id <= 2 ? "started error" : "") << "download " << id;
        if (id <= 2) {
            EXPECT_EQ(reports.back().code, 0);
        }
    }
    // A job scheduled after the cancel runs normally.
    const unsigned later = jobs.download(exchange("GET", "/ok"), (final_ / "ok").string());
    ASSERT_TRUE(handler_.wait_ended(3));
    EXPECT_EQ(handler_.of(later).back().what, report::finished);
    EXPECT_EQ(later, 6u);
    EXPECT_EQ(read_file(final_ / "ok"), "fine");
}

TEST_F(Downloader, DestructionWaitsForEveryJob)
{
    server_->route("/small", http_reply("small body"));
    {
        downloader jobs(1, &handler_);
        for (int i = 0; i < 6; ++i)
            jobs.download(exchange("GET", "/small"), (final_ / ("small" + std::to_string(i))).string());
    }
    EXPECT_EQ(handler_.ids(), 6u);
    ASSERT_TRUE(handler_.wait_ended(6));
    for (unsigned id = 1; id <= 6; ++id)
        EXPECT_EQ(handler_.of(id).back().what, report::finished);
}

TEST_F(Downloader, FileProblemsHaveTheirOwnCodes)
{
    server_->route("/video", http_reply("body"));
    downloader jobs(1, &handler_);

    // The file is made in the final folder: without one nothing is sent, and
    // the transfer still shows, with its failure.
    const std::size_t before = server_->request_count();
    const unsigned no_folder = jobs.download(exchange("GET", "/video"), (final_ / "missing" / "file").string());
    ASSERT_TRUE(handler_.wait_ended(1));
    EXPECT_EQ(shape(handler_.of(no_folder)), "started error");
    EXPECT_EQ(handler_.of(no_folder).back().code, 2);
    EXPECT_EQ(handler_.of(no_folder).back().message, "Error opening temporary file");
    EXPECT_EQ(server_->request_count(), before);
    EXPECT_TRUE(fs::is_empty(final_));

    // A taken name is never replaced: the next free one is used and reported.
    std::ofstream(final_ / "taken.mp4") << "older";
    const unsigned taken = jobs.download(exchange("GET", "/video"), (final_ / "taken.mp4").string());
    ASSERT_TRUE(handler_.wait_ended(2));
    EXPECT_EQ(shape(handler_.of(taken)), "started progress finished");
    EXPECT_EQ(handler_.of(taken).back().path, (final_ / "taken-1.mp4").string());
    EXPECT_EQ(read_file(final_ / "taken-1.mp4"), "body");
    EXPECT_EQ(read_file(final_ / "taken.mp4"), "older");
}
