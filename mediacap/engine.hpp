#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "mediacap/engine_options.hpp"
#include "mediacap/handler.hpp"
#include "mediacap/capture_writer.hpp"
#include "mediacap/transfers/downloader.hpp"
#include "mediacap/transfers/downloader_handler.hpp"
#include "mediacap/http/request_key.hpp"

namespace mediacap {

// How long a stop lets the downloads it cancelled end. Past it a download
// still running (held in the kernel by a file system that hangs, say) is
// reported failed; the owner hears nothing more of it. The capture writer's
// backlog has no such limit (see run()).
inline constexpr std::chrono::milliseconds engine_stop_limit{250};

// The capture engine: runs the packet loop on the calling thread, decodes the
// HTTP exchanges, asks the handler about each one, and captures or downloads
// what it is told to keep, reporting every transfer to the handler.
//
// Lifecycle: construct (download threads start) -> run() on a thread of its
// own -> stop() from another thread -> destroy only after both stop() and
// run() have returned. stop() returns within engine_stop_limit, whatever the
// servers and the storage do, and capturing ends with it; run() returns once
// the captures complete at the stop are written (or the writer given up, see
// capture_writer), and from then on the owner hears nothing more. No
// download report is ever made while a call on the file system holds the
// lock that stop() takes. The owner's own calls on the capture thread
// (on_response, which may make a folder on storage that hangs) are its to
// bound: run() returns only after them, so an owner that must not wait
// leaves the run's thread to end on its own and destroys the engine then.
// The destructor waits for the engine's threads: one that a hanging file
// system holds in the kernel keeps it waiting (see settled()).
class engine : public http::downloader_handler {
public:
    // Neither pointer is owned. `options` must live through the constructor
    // and run(); `owner` must outlive the engine.
    engine(const engine_options* options, handler* owner);
    ~engine() override;

    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    // Blocks in the capture loop until stop(), or until libnids reports a
    // capture error. Throws nids::error when capture cannot start. Before it
    // returns, every captured byte has been written and every capture report
    // made, also after a stop, however slow the storage: only a writer that
    // completes nothing for capture_stall_limit (or the options' stall
    // limit) is given up, and the captures it has not done are reported
    // failed instead. A capture whose body was incomplete at the stop fails.
    //
    // `loop_ended`, when given, is called on this thread as soon as the
    // capture loop has returned (also when it failed), before the writer's
    // backlog is drained: from then on this run touches nothing of libnids,
    // so another engine may run its loop while this one still writes and
    // reports. It must not throw.
    void run(const std::function<void()>& loop_ended = {});

    // Ends the capture loop of this engine's run, never the loop of another
    // engine that runs by then: no capture begins any more and the capture
    // thread waits no more for room in the writer's queue (the capture it was
    // queueing fails), while the writer goes on with its backlog. Cancels
    // every download, refuses every later one (also one decided while the
    // stop goes on), and waits for the running ones up to engine_stop_limit;
    // those still running then are reported failed (code 0) here. Called
    // from a thread other than the one in run(), before, during or after it:
    // a run that starts after stop() returns at once.
    void stop();

    // After stop(): the captures complete at the stop that are not written
    // yet are given up at once, as when the writer stalls (see run()), and
    // run() returns. Any thread, any number of times.
    void give_up_writing();

    // After stop() and run() have returned: true when none of the engine's
    // threads is busy any more, so that destroying it waits for nothing.
    // False while a write or a download is held in the kernel; the owner may
    // then destroy the engine on a thread of its own.
    bool settled();

    // Slots of the decoder's signals, on the capture thread. Captured bodies
    // are written by the capture writer's thread; its reports are made here,
    // on the capture thread, in order (see capture_writer).
    void on_request(unsigned id, const http::http_tuple& exchange);
    void on_data(unsigned id, const char* data, unsigned length);
    void on_finished(unsigned id);
    void on_closed(unsigned id);

    // downloader_handler: forwarded to the owner on the calling pool thread.
    void on_download_started(unsigned id, const http::http_tuple& exchange, const std::string& path) override;
    void on_download_progress(unsigned id, unsigned total, unsigned received) override;
    void on_download_finished(unsigned id, const std::string& path) override;
    void on_download_error(unsigned id, int code, const std::string& message) override;

private:
    void download_once(unsigned id, const http::http_tuple& exchange, const std::string& path);
    void begin_capture(unsigned id, const http::http_tuple& exchange, const std::string& path);

    const engine_options* options_;
    handler* owner_;
    // Set by stop(); survives into a run that has not started yet, so a stop
    // that comes before run() still ends it at once.
    std::atomic<bool> stop_requested_{false};
    // Download reports pass to the owner under this lock until stop() closes
    // them; the downloads started and not ended yet.
    std::mutex reports_mutex_;
    bool reports_closed_ = false;
    std::set<unsigned> running_downloads_;
    // Destroyed in reverse order: captures first (their writer thread ends),
    // then the filter, then the downloader (whose pool waits for its threads).
    http::downloader downloader_;
    http::request_filter filter_;
    capture_writer captures_;
};

}  // namespace mediacap
