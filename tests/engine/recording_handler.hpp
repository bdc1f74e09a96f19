#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mediacap/engine.hpp"
#include "mediacap/handler.hpp"

namespace engine_test {

// One report the engine made to its handler.
struct report {
    std::string kind;  // "download_started", "capture_progress", ...
    unsigned id = 0;
    int code = 0;
    std::string message;
    double total = 0;
    double received = 0;
    std::string path;
    std::thread::id thread = std::this_thread::get_id();  // the thread that made the report

    report(std::string kind, unsigned id, int code = 0, std::string message = {}, double total = 0,
           double received = 0, std::string path = {})
        : kind(std::move(kind)), id(id), code(code), message(std::move(message)), total(total),
          received(received), path(std::move(path))
    {
    }
};

// A handler that answers with a decision function and records every report,
// from whichever thread it comes.
class recording_handler : public mediacap::handler {
public:
    using decision = std::function<int(const mediacap::http::http_tuple&, std::string&)>;

    explicit recording_handler(decision decide) : decide_(std::move(decide)) {}

    int on_response(const mediacap::http::http_tuple& exchange, std::string& path) override
    {
        {
            std::lock_guard lock(mutex_);
            ++decisions_;
            decision_thread_ = std::this_thread::get_id();
        }
        return decide_(exchange, path);
    }
    void on_download_started(unsigned id, const mediacap::http::http_tuple&, const std::string& path) override
    {
        add(report{"download_started", id, 0, "", 0, 0, path});
    }
    void on_download_progress(unsigned id, double total, double received) override
    {
        add(report{"download_progress", id, 0, "", total, received, ""});
    }
    void on_download_finished(unsigned id, const std::string& path) override
    {
        add(report{"download_finished", id, 0, "", 0, 0, path});
    }
    void on_download_error(unsigned id, int code, const std::string& message) override
    {
        add(report{"download_error", id, code, message});
    }
    void on_capture_started(unsigned id, const mediacap::http::http_tuple&, const std::string& path) override
    {
        add(report{"capture_started", id, 0, "", 0, 0, path});
    }
    void on_capture_progress(unsigned id, double total, double received) override
    {
        add(report{"capture_progress", id, 0, "", total, received, ""});
    }
    void on_capture_finished(unsigned id, const std::string& path) override
    {
        add(report{"capture_finished", id, 0, "", 0, 0, path});
    }
    void on_capture_error(unsigned id, int code, const std::string& message) override
    {
        add(report{"capture_error", id, code, message});
    }
    void on_capture_stream_closed(unsigned id) override { add(report{"capture_stream_closed", id}); }

    std::vector<report> reports() const
    {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    int decisions() const
    {
        std::lock_guard lock(mutex_);
        return decisions_;
    }
    // The thread that was last asked for a decision: the capture thread.
    std::thread::id decision_thread() const
    {
        std::lock_guard lock(mutex_);
        return decision_thread_;
    }

    // The reports of one kind, in order.
    std::vector<report> of_kind(const std::string& kind) const
    {
        std::vector<report> matching;
        for (const report& r : reports())
            if (r.kind == kind)
                matching.push_back(r);
        return matching;
    }

    // The kinds of all reports, progress reports folded into one entry per
    // run, so a sequence reads started, progress, finished.
    std::vector<std::string> outline() const
    {
        std::vector<std::string> kinds;
        for (const report& r : reports()) {
            std::string entry = r.kind + ":" + std::to_string(r.id);
            if (!kinds.empty() && kinds.back() == entry && r.kind.ends_with("_progress"))
                continue;
            kinds.push_back(std::move(entry));
        }
        return kinds;
    }

    // Waits until `count` reports of `kind` arrived; false after the limit.
    bool wait_for(const std::string& kind, std::size_t count,
                  std::chrono::milliseconds limit = std::chrono::seconds(30)) const
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            std::size_t n = 0;
            for (const report& r : reports_)
                n += r.kind == kind;
            return n >= count;
        });
    }

private:
    void add(report r)
    {
        {
            std::lock_guard lock(mutex_);
            reports_.push_back(std::move(r));
        }
        changed_.notify_all();
    }

    decision decide_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<report> reports_;
    int decisions_ = 0;
    std::thread::id decision_thread_;
};

// Runs a new engine over the pcap file `capture` until its end.
inline void run_engine_over(const std::string& capture, mediacap::handler& handler)
{
    mediacap::engine_options options;
    options.device = "unused";
    options.pool_size = 2;
    options.capture_file = capture;
    mediacap::engine engine(&options, &handler);
    engine.run();
    engine.stop();
}

}  // namespace engine_test
