#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "mediacap/transfers/download_job.hpp"
#include "mediacap/transfers/downloader_handler.hpp"
#include "mediacap/http/http_tuple.hpp"
#include "mediacap/transfers/thread_pool.hpp"

namespace mediacap::http {

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
