#pragma once

// Runs the whole engine over a pcap file in capture mode and records where
// every capture ended, for the soak and bad-traffic tests.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <unistd.h>

#include "mediacap/engine.hpp"
#include "testkit/traffic_mix.hpp"
#include "testkit/test_data.hpp"

namespace soak {

namespace fs = std::filesystem;

// A fresh folder for one test's pcap file and kept files, removed after it.
class scratch_folder {
public:
    scratch_folder()
    {
        std::string pattern = (fs::temp_directory_path() / "vendrax-soak-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~scratch_folder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// How one kept response ended, by the name its request target gave it.
struct outcome {
    std::string how;  // "finished", "error <code>", "closed" or "open" (started only)
    double total = 0;
    double received = 0;
};

// Answers capture for every image and video response, into `folder` under a
// name made from the request target (kept_name), and records
// the reports. Everything but downloads runs on the capture thread.
class keeping_handler : public mediacap::handler {
public:
    explicit keeping_handler(fs::path folder) : folder_(std::move(folder)) {}

    int on_response(const mediacap::http::http_tuple& exchange, std::string& path) override
    {
        ++decisions;
        const auto type = exchange.response.headers.find("Content-Type");
        if (exchange.response.status != 200 || type == exchange.response.headers.end() ||
            (type->second.rfind("image/", 0) != 0 && type->second.rfind("video/", 0) != 0))
            return ignore;
        path = (folder_ / kept_name(exchange.request.path)).string();
        return capture;
    }
    void on_download_started(unsigned, const mediacap::http::http_tuple&, const std::string&) override
    {
        ADD_FAILURE() << "a download began in capture mode";
    }
    void on_download_progress(unsigned, double, double) override {}
    void on_download_finished(unsigned, const std::string&) override {}
    void on_download_error(unsigned, int, const std::string&) override {}

    void on_capture_started(unsigned id, const mediacap::http::http_tuple& exchange, const std::string&) override
    {
        const std::string name = kept_name(exchange.request.path);
        if (outcomes.count(name))
            ADD_FAILURE() << "a second capture for " << name;
        current_[id] = name;
        outcomes[name] = {"open"};
    }
    void on_capture_progress(unsigned id, double total, double received) override
    {
        outcome& o = of(id);
        if (received < o.received)
            ADD_FAILURE() << "progress went back for capture " << id;
        o.total = total;
        o.received = received;
    }
    void on_capture_finished(unsigned id, const std::string&) override { end(id, "finished"); }
    void on_capture_error(unsigned id, int code, const std::string&) override
    {
        end(id, "error " + std::to_string(code));
    }
    void on_capture_stream_closed(unsigned id) override { end(id, "closed"); }

    int decisions = 0;
    std::map<std::string, outcome> outcomes;

private:
    outcome& of(unsigned id)
    {
        static outcome nowhere;
        const auto found = current_.find(id);
        if (found == current_.end()) {
            ADD_FAILURE() << "a report for capture " << id << ", which never started";
            return nowhere;
        }
        return outcomes[found->second];
    }
    void end(unsigned id, const std::string& how)
    {
        outcome& o = of(id);
        if (o.how != "open" && how.rfind("error", 0) != 0)
            ADD_FAILURE() << "capture " << id << " ended twice";
        o.how = how;
        if (how != "error 1" && how != "error 4")
            current_.erase(id);
    }

    fs::path folder_;
    std::map<unsigned, std::string> current_;
};

// Runs a new engine over `capture` until the file's end; a run that has not
// ended after `bound` is stopped and reported as stalled.
inline void run_engine(const std::string& capture, mediacap::handler& handler,
                       std::chrono::seconds bound = std::chrono::seconds(120))
{
    mediacap::engine_options options;
    options.device = "unused";
    options.pool_size = 2;
    options.capture_file = capture;
    mediacap::engine engine(&options, &handler);
    auto run = std::async(std::launch::async, [&] { engine.run(); });
    if (run.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "the capture loop did not reach the end of the file within " << bound.count() << " s";
        engine.stop();
    }
    run.get();
    engine.stop();
}

using test_support::read_file;

inline std::size_t open_descriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

}  // namespace soak
