// The capture writer against the capture table called directly on one
// thread: the same reports, in the same order, and the same files, whatever
// the writer thread's timing; and a capture thread that waits at the queue's
// bound instead of holding more.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "mediacap/capture_writer.hpp"
#include "recording_handler.hpp"
#include "testkit/test_data.hpp"

namespace fs = std::filesystem;
using engine_test::recording_handler;
using engine_test::report;
using mediacap::capture_writer;
using mediacap::http::capture_table;
using mediacap::http::http_tuple;
using test_support::gzip;
using test_support::random_bytes;
using test_support::read_file;

namespace {

http_tuple response(const std::string& body, const char* coding = nullptr)
{
    http_tuple exchange;
    exchange.response.status = 200;
    exchange.response.headers["Content-Length"] = std::to_string(body.size());
    if (coding)
        exchange.response.headers["Content-Encoding"] = coding;
    return exchange;
}

// The capture table driven the way the engine drove it on the capture thread
// before the writer had a thread: every report made at once.
class direct_captures {
public:
    explicit direct_captures(mediacap::handler& owner) : owner_(owner) {}

    void begin(unsigned id, const http_tuple& exchange, const std::string& path)
    {
        table_.begin(exchange, id, path);
        owner_.on_capture_started(id, exchange, path);
    }
    void append(unsigned id, const char* data, unsigned length)
    {
        int code = 0;
        double received = 0, total = 0;
        if (!table_.append(id, data, length, code))
            return;
        if (code != 0)
            owner_.on_capture_error(id, code, "");
        else if (table_.progress(id, received, total))
            owner_.on_capture_progress(id, total, received);
    }
    void finish(unsigned id)
    {
        int code = 0;
        std::string path;
        if (table_.finish(id, code, path))
            code != 0 ? owner_.on_capture_error(id, code, "") : owner_.on_capture_finished(id, path);
    }
    void close(unsigned id)
    {
        int code = 0;
        if (table_.close(id, code))
            code != 0 ? owner_.on_capture_error(id, code, "") : owner_.on_capture_stream_closed(id);
    }

private:
    mediacap::handler& owner_;
    capture_table table_;
};

// One step of a capture script; `folder` is where final paths lead.
struct step {
    enum { begin, append, finish, close } kind;
    unsigned id;
    std::string data;   // append: the chunk; begin: the body, for its head
    const char* coding; // begin
    std::string name;   // begin: the final name ("missing/x" has no folder)
};

// Splits `body` into chunks of `piece` bytes for `id`.
void add_chunks(std::vector<step>& script, unsigned id, const std::string& body, std::size_t piece)
{
    for (std::size_t at = 0; at < body.size(); at += piece)
        script.push_back({step::append, id, body.substr(at, piece), nullptr, {}});
}

// Interleaves the per-capture scripts, keeping each one's order.
std::vector<step> interleave(std::vector<std::vector<step>> parts, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<step> script;
    std::vector<std::size_t> at(parts.size(), 0);
    for (;;) {
        std::vector<std::size_t> left;
        for (std::size_t i = 0; i < parts.size(); ++i)
            if (at[i] < parts[i].size())
                left.push_back(i);
        if (left.empty())
            return script;
        const std::size_t chosen = left[random() % left.size()];
        const std::size_t run = 1 + random() % 8;
        for (std::size_t n = 0; n < run && at[chosen] < parts[chosen].size(); ++n)
            script.push_back(parts[chosen][at[chosen]++]);
    }
}

template <typename Captures>
void play(Captures& captures, const std::vector<step>& script, const fs::path& folder,
          const std::function<void()>& between)
{
    for (const step& s : script) {
        switch (s.kind) {
        case step::begin:
            captures.begin(s.id, response(s.data, s.coding), (folder / s.name).string());
            break;
        case step::append:
            captures.append(s.id, s.data.data(), static_cast<unsigned>(s.data.size()));
            break;
        case step::finish:
            captures.finish(s.id);
            break;
        case step::close:
            captures.close(s.id);
            break;
        }
        between();
    }
}

// A report with its path taken relative to `folder`.
std::string describe(const report& r, const fs::path& folder)
{
    const std::string path = r.path.empty() ? "" : fs::relative(r.path, folder).string();
    return r.kind + " " + std::to_string(r.id) + " code " + std::to_string(r.code) + " " +
           std::to_string(r.received) + "/" + std::to_string(r.total) + " " + path;
}

class CaptureWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::absolute(fs::path("capture_writer_test.d") /
                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
};

}  // namespace

TEST_F(CaptureWriter, ReportsAndFilesAreThoseOfTheTableCalledDirectly)
{
    const std::string plain = random_bytes(700000, 1), second = random_bytes(5000, 2);
    const std::string text(300000, 'w');
    const std::string packed = gzip(text + random_bytes(20000, 3));
    std::string corrupt = gzip(random_bytes(90000, 4));
    for (std::size_t i = corrupt.size() / 2; i < corrupt.size() / 2 + 64; ++i)
        corrupt[i] = static_cast<char>(~corrupt[i]);

    std::vector<std::vector<step>> parts(8);
    // A large plain body, then a second capture on the same connection.
    parts[0].push_back({step::begin, 1, plain, nullptr, "plain.bin"});
    add_chunks(parts[0], 1, plain, 1448);
    parts[0].push_back({step::finish, 1, {}, nullptr, {}});
    parts[0].push_back({step::begin, 1, second, nullptr, "plain.bin"});  // the name is taken by then
    add_chunks(parts[0], 1, second, 3000);
    parts[0].push_back({step::append, 1, {}, nullptr, {}});  // an empty chunk
    parts[0].push_back({step::finish, 1, {}, nullptr, {}});
    // Inflated, and corrupt: an error at the bad chunk, then none (the table
    // answers each later step with it).
    parts[1].push_back({step::begin, 2, packed, "gzip", "packed.svg"});
    add_chunks(parts[1], 2, packed, 700);
    parts[1].push_back({step::finish, 2, {}, nullptr, {}});
    parts[2].push_back({step::begin, 3, corrupt, "gzip", "corrupt.svg"});
    add_chunks(parts[2], 3, corrupt, 5000);
    parts[2].push_back({step::finish, 3, {}, nullptr, {}});
    // No folder to write into.
    parts[3].push_back({step::begin, 4, second, nullptr, "missing/x.bin"});
    add_chunks(parts[3], 4, second, 2000);
    parts[3].push_back({step::finish, 4, {}, nullptr, {}});
    // Closed short, closed complete, replaced (which fails), and bytes for no capture.
    parts[4].push_back({step::begin, 5, second, nullptr, "short.bin"});
    add_chunks(parts[4], 5, second.substr(0, 3000), 1000);
    parts[4].push_back({step::close, 5, {}, nullptr, {}});
    parts[5].push_back({step::begin, 6, second, nullptr, "whole.bin"});
    add_chunks(parts[5], 6, second, 5000);
    parts[5].push_back({step::close, 6, {}, nullptr, {}});
    parts[6].push_back({step::begin, 7, plain, nullptr, "replaced.bin"});
    add_chunks(parts[6], 7, plain.substr(0, 9000), 1448);
    parts[6].push_back({step::begin, 7, second, nullptr, "replacement.bin"});
    add_chunks(parts[6], 7, second, 1448);
    parts[6].push_back({step::finish, 7, {}, nullptr, {}});
    parts[7].push_back({step::append, 99, "stray", nullptr, {}});
    parts[7].push_back({step::finish, 99, {}, nullptr, {}});
    parts[7].push_back({step::close, 99, {}, nullptr, {}});

    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::vector<step> script = interleave(parts, seed);
        const fs::path direct_folder = root_ / ("direct-" + std::to_string(seed));
        const fs::path writer_folder = root_ / ("writer-" + std::to_string(seed));
        fs::create_directories(direct_folder);
        fs::create_directories(writer_folder);

        recording_handler expected([](const http_tuple&, std::string&) { return 2; });
        direct_captures direct(expected);
        play(direct, script, direct_folder, [] {});

        recording_handler got([](const http_tuple&, std::string&) { return 2; });
        {
            capture_writer writer(&got, {});
            std::mt19937 random(seed);
            // Sometimes the capture thread looks for reports between steps,
            // sometimes it waits for the writer to catch up.
            play(writer, script, writer_folder, [&] {
                if (random() % 50 == 0)
                    writer.drain();
                else if (random() % 3 == 0)
                    writer.deliver();
            });
            writer.drain();
        }

        // A capture ends once: the table's answers after its end are not
        // reports, and one replaced by a new begin on its connection fails.
        std::vector<std::string> want, have;
        std::set<unsigned> ended, started;
        for (const report& r : expected.reports()) {
            if (r.kind == "capture_started") {
                if (started.count(r.id) && !ended.count(r.id))
                    want.push_back(describe(report("capture_error", r.id, 1), direct_folder));
                started.insert(r.id);
                ended.erase(r.id);
            } else if (ended.count(r.id))
                continue;
            else if (r.kind != "capture_progress")
                ended.insert(r.id);
            want.push_back(describe(r, direct_folder));
        }
        for (const report& r : got.reports()) {
            have.push_back(describe(r, writer_folder));
            EXPECT_EQ(r.thread, std::this_thread::get_id()) << r.kind << " not on the capture thread";
        }
        const auto differ = std::mismatch(have.begin(), have.end(), want.begin(), want.end());
        EXPECT_TRUE(differ.first == have.end() && differ.second == want.end())
            << "report " << (differ.first - have.begin()) << " of " << want.size() << ": got \""
            << (differ.first != have.end() ? *differ.first : "none") << "\", expected \""
            << (differ.second != want.end() ? *differ.second : "none") << "\"";
        EXPECT_EQ(test_support::names_in(writer_folder), test_support::names_in(direct_folder));
        for (const auto& name : test_support::names_in(direct_folder))
            EXPECT_TRUE(read_file(writer_folder / name) == read_file(direct_folder / name)) << name << " differs";
    }
}

// The writer pauses at its first hand-over (in its wake call); the capture
// thread then queues up to the bound and waits there, whether the queue
// holds bodies or the exchanges of started reports that wait behind other
// reports. Released, everything arrives whole; or, stopped or given up at the
// bound, the capture fails after the progress of what the writer did, and
// keeps nothing.
TEST_F(CaptureWriter, TheCaptureThreadWaitsAtTheQueueBound)
{
    constexpr std::size_t chunk_size = 60000;
    const struct {
        const char* name;
        std::size_t captures;
        std::size_t head_bytes;  // of each request's head
        std::size_t chunks;      // of each body
        void (capture_writer::*cut)() = nullptr;  // called at the bound
    } cases[] = {
        {"one body larger than the bound", 1, 0, (mediacap::capture_queue_limit + (std::size_t(8) << 20)) / chunk_size},
        {"bodiless captures with 32 KiB request heads", 3000, 32 << 10, 0},
        {"stopped at the bound", 1, 0, (mediacap::capture_queue_limit + (std::size_t(8) << 20)) / chunk_size,
         &capture_writer::stop},
        {"given up at the bound", 1, 0, (mediacap::capture_queue_limit + (std::size_t(8) << 20)) / chunk_size,
         &capture_writer::give_up_now},
    };
    const std::string chunk = random_bytes(chunk_size, 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_);
        fs::create_directories(root_);
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        auto wake = [&] {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return released; });
        };
        recording_handler handler([](const http_tuple&, std::string&) { return 2; });
        std::string body;
        for (std::size_t i = 0; i < c.chunks; ++i)
            body += chunk;
        http_tuple exchange = response(body);
        exchange.request.headers["Cookie"] = std::string(c.head_bytes, 'c');
        const std::size_t steps = c.captures * (c.chunks + 2);

        capture_writer writer(&handler, wake);
        std::atomic<std::size_t> done{0};
        std::thread capture([&] {
            for (unsigned id = 1; id <= c.captures; ++id) {
                writer.begin(id, exchange, (root_ / (std::to_string(id) + ".bin")).string());
                ++done;
                for (std::size_t i = 0; i < c.chunks; ++i, ++done)
                    writer.append(id, chunk.data(), static_cast<unsigned>(chunk.size()));
                c.chunks > 0 ? writer.finish(id) : writer.close(id);
                ++done;
            }
            writer.drain();
        });
        // Bounded poll until the capture thread has filled the queue.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (writer.queued_bytes() + mediacap::capture_queue_block <= mediacap::capture_queue_limit &&
               std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        EXPECT_GT(writer.queued_bytes() + mediacap::capture_queue_block, mediacap::capture_queue_limit);
        EXPECT_LE(writer.queued_bytes(), mediacap::capture_queue_limit);
        EXPECT_LT(done.load(), steps) << "the capture thread went past the bound";
        if (c.cut) {
            // Still held, the writer frees no room: the capture thread gets
            // past the bound only by failing its capture.
            (writer.*c.cut)();
            while (done.load() < steps && std::chrono::steady_clock::now() < limit + std::chrono::seconds(30))
                std::this_thread::yield();
        }
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
        capture.join();

        EXPECT_EQ(done.load(), steps);
        if (c.cut) {
            const auto reports = handler.outline();
            EXPECT_EQ(reports.front(), "capture_started:1");
            EXPECT_EQ(reports.back(), "capture_error:1");
            EXPECT_EQ(handler.of_kind("capture_error").size(), 1u);
            EXPECT_EQ(test_support::names_in(root_), std::set<std::string>{});
            continue;
        }
        EXPECT_EQ(handler.of_kind("capture_started").size(), c.captures);
        EXPECT_EQ(handler.of_kind("capture_progress").size(), c.captures * c.chunks);
        EXPECT_EQ(handler.of_kind("capture_stream_closed").size(), c.chunks > 0 ? 0 : c.captures);
        ASSERT_EQ(handler.of_kind("capture_finished").size(), c.chunks > 0 ? c.captures : 0);
        if (c.chunks > 0) {
            EXPECT_TRUE(read_file(root_ / "1.bin") == body);
        }
    }
}
