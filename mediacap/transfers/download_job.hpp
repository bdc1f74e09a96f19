#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "mediacap/transfers/downloader_handler.hpp"
#include "mediacap/http/http_tuple.hpp"

namespace mediacap::http {

class curl_session;

// The time a transfer may go without receiving a byte before it is aborted.
inline constexpr std::chrono::seconds default_stall_limit{120};

// Replays one sniffed request with libcurl against the same server address
// and port, writes the body to a temporary file in the final path's folder
// and, on status 200, puts it in place under the final path or the next free
// name beside it. Runs on a pool worker; reports through the handler from
// that worker only.
//
// Held by the pool task that runs it; the downloader's table holds it only
// weakly, for a cancel to reach it.
class download_job {
public:
    // Copies `exchange` and `path`; `handler` is not owned and outlives the
    // job. Made by the downloader on the thread that asks for the download;
    // the libcurl handles are made only when the job runs.
    download_job(unsigned id, const http_tuple& exchange, const std::string& path, downloader_handler* handler,
                 std::chrono::seconds stall_limit = default_stall_limit);
    // Frees the libcurl handles, on whichever thread drops the last
    // reference: as a rule the worker that ran the job.
    ~download_job();

    download_job(const download_job&) = delete;
    download_job& operator=(const download_job&) = delete;

    // The pool task: runs once, on a pool worker, and makes every report of
    // the job there.
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

}  // namespace mediacap::http
