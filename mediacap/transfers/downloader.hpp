#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "mediacap/transfers/downloader_handler.hpp"
#include "mediacap/http/http_tuple.hpp"
#include "mediacap/transfers/thread_pool.hpp"

namespace mediacap::http {

class curl_session;

// The time a transfer may go without receiving a byte before it is aborted.
inline constexpr std::chrono::seconds default_stall_limit{120};

// Replays one sniffed request with libcurl against the same server address
// and port, writes the body to a temporary file in the final path's folder
// and, on status 200, puts it in place under the final path or the next free
// name beside it. Runs on a pool worker; reports through the handler from
// that worker only.
class download_job {
public:
    download_job(unsigned id, const http_tuple& exchange, const std::string& path, downloader_handler* handler,
                 std::chrono::seconds stall_limit = default_stall_limit);
    ~download_job();

    download_job(const download_job&) = delete;
    download_job& operator=(const download_job&) = delete;

    // The pool task.
    void run();

    // Makes a running transfer abort at once, or a job that has not run yet
    // end without a report when it is reached. Any thread.
    void cancel();

    unsigned id() const { return id_; }

    // libcurl callbacks (CURLOPT_WRITEFUNCTION, CURLOPT_XFERINFOFUNCTION), on
    // the worker inside curl_easy_perform. Progress is reported only when the
    // received count grew; a transfer that received nothing new for the stall
    // limit (whole seconds) is aborted.
    static std::size_t write_callback(char* data, std::size_t size, std::size_t count, void* target);
    static int progress_callback(void* job, std::int64_t dltotal, std::int64_t dlnow, std::int64_t ultotal,
                                 std::int64_t ulnow);

private:
    // curl_easy_perform on a multi handle of the job's own, which cancel()
    // can wake from its wait.
    int perform(void* easy);

    unsigned id_;
    http_tuple exchange_;
    std::string final_path_;
    downloader_handler* handler_;
    std::unique_ptr<curl_session> curl_;
    std::atomic<bool> cancelled_{false};
    // The multi handle (CURLM*) while a transfer runs, for cancel() to wake.
    std::mutex wake_mutex_;
    void* multi_ = nullptr;
    std::time_t last_progress_time_ = 0;
    std::int64_t last_received_ = 0;
    std::chrono::seconds stall_limit_;
};

// Turns exchanges into download jobs with ids from 1 and runs them on a fixed
// pool of worker threads in the order they were asked for.
//
// The jobs waiting for a worker are bounded, in number and in the bytes of
// the exchanges they copied (a request body may take up to a few MiB):
// forged traffic can make the engine ask for any number of downloads, and
// each waiting job also lengthens a stop. A download asked for while the
// queue is full is dropped.
//
// download is called on the capture thread, cancel_all and wait on another;
// the handler hears from the workers, several at once.
class downloader {
public:
    static constexpr std::size_t max_queued_jobs = 4096;
    static constexpr std::size_t max_queued_bytes = 64 * 1024 * 1024;

    downloader(unsigned workers, downloader_handler* handler,
               std::chrono::seconds stall_limit = default_stall_limit);
    // Waits for every queued and running job, then stops the workers.
    ~downloader();

    downloader(const downloader&) = delete;
    downloader& operator=(const downloader&) = delete;

    // Queues a replay of `exchange` whose body is to end at `path`; returns its
    // id. Returns 0 when the queue is full: the download is dropped, takes no
    // id and is never reported.
    unsigned download(const http_tuple& exchange, const std::string& path);

    // Every job scheduled so far ends: a running one aborts and reports error
    // 0; a queued one is dropped when a worker reaches it, without starting
    // and without any report. Jobs scheduled afterwards are not affected.
    void cancel_all();

    // As cancel_all, and every later download is refused (answered 0), so
    // that nothing starts once the owner has begun to stop.
    void close();

    // Returns when no job is queued or running.
    void wait();
    // The same, but at `deadline` at the latest: false when a job was still
    // running then (held in the kernel, say, by a file system that hangs).
    bool wait_until(std::chrono::steady_clock::time_point deadline);

    // The message of a transfer that was aborted by a cancel.
    static std::string cancelled_message();

private:
    downloader_handler* handler_;
    std::chrono::seconds stall_limit_;
    // Guards the members below it; a task takes it when it starts and ends.
    std::mutex jobs_mutex_;
    // The jobs queued or running, since the last cancel_all.
    std::unordered_map<unsigned, std::weak_ptr<download_job>> jobs_;
    unsigned next_id_ = 1;
    bool closed_ = false;
    std::size_t queued_jobs_ = 0;   // scheduled, not yet taken by a worker
    std::size_t queued_bytes_ = 0;  // their size as counted against max_queued_bytes
    // Last, so that it is destroyed first: its tasks use the members above.
    thread_pool pool_;
};

}  // namespace mediacap::http
