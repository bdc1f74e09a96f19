#include "mediacap/transfers/downloader.hpp"

#include <curl/curl.h>

namespace mediacap::http {

namespace {

// What a job waiting in the queue holds, counted against the queue's bound:
// its copies of the exchange's text and of the final path, a map node for
// each field, and the job and task themselves.
std::size_t queued_size(const http_tuple& exchange, const std::string& path)
{
    constexpr std::size_t per_field = 64;
    constexpr std::size_t per_job = 512;
    const http_request& request = exchange.request;
    std::size_t size = per_job + path.size() + request.server_address.size() + request.method.size() +
                       request.path.size() + request.body.size();
    for (const header_map* headers : {&request.headers, &exchange.response.headers})
        for (const auto& [name, value] : *headers)
            size += per_field + name.size() + value.size();
    return size;
}

}  // namespace

downloader::downloader(unsigned workers, downloader_handler* handler, std::chrono::seconds stall_limit)
    : handler_(handler), stall_limit_(stall_limit), pool_(workers)
{
}

downloader::~downloader()
{
    {
        std::lock_guard lock(jobs_mutex_);
        jobs_.clear();
    }
    // pool_, the last member, is destroyed first: its shutdown runs every
    // queued job and joins the workers while the table is still there.
}

unsigned downloader::download(const http_tuple& exchange, const std::string& path)
{
    const std::size_t size = queued_size(exchange, path);
    std::shared_ptr<download_job> job;
    {
        std::lock_guard lock(jobs_mutex_);
        if (closed_ || queued_jobs_ >= max_queued_jobs || queued_bytes_ + size > max_queued_bytes)
            return 0;
        ++queued_jobs_;
        queued_bytes_ += size;
        job = std::make_shared<download_job>(next_id_++, exchange, path, handler_, stall_limit_);
        jobs_[job->id()] = job;
    }
    pool_.schedule([this, job, size] {
        {
            std::lock_guard lock(jobs_mutex_);
            --queued_jobs_;
            queued_bytes_ -= size;
        }
        job->run();
        std::lock_guard lock(jobs_mutex_);
        jobs_.erase(job->id());
    });
    return job->id();
}

void downloader::cancel_all()
{
    std::lock_guard lock(jobs_mutex_);
    for (const auto& [id, weak] : jobs_) {
        if (const auto job = weak.lock())
            job->cancel();
    }
    jobs_.clear();
}

void downloader::close()
{
    {
        // download() looks under the same lock: a job it scheduled before
        // this is in the table for cancel_all, and none comes after.
        std::lock_guard lock(jobs_mutex_);
        closed_ = true;
    }
    cancel_all();
}

void downloader::wait()
{
    pool_.wait(0);
}

bool downloader::wait_until(std::chrono::steady_clock::time_point deadline)
{
    return pool_.wait_until(deadline);
}

std::string downloader::cancelled_message()
{
    return curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK);
}

}  // namespace mediacap::http
