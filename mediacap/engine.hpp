#pragma once

#include <atomic>
#include <string>

#include "mediacap/engine_options.hpp"
#include "mediacap/handler.hpp"
#include "mediacap/capture_writer.hpp"
#include "mediacap/transfers/downloader.hpp"
#include "mediacap/transfers/downloader_handler.hpp"
#include "mediacap/http/request_key.hpp"

namespace mediacap {

// The capture engine: runs the packet loop on the calling thread, decodes the
// HTTP exchanges, asks the handler about each one, and captures or downloads
// what it is told to keep, reporting every transfer to the handler.
//
// Lifecycle: construct (download threads start) -> run() on a thread of its
// own -> stop() from another thread -> destroy only after both stop() and
// run() have returned.
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
    // made.
    void run();

    // Ends the capture loop, cancels every download and waits for the pool.
    // Called from a thread other than the one in run(), before, during or
    // after it: a run that starts after stop() returns at once.
    void stop();

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
    // Destroyed in reverse order: captures first (their writer thread ends),
    // then the filter, then the downloader (whose pool waits for its threads).
    http::downloader downloader_;
    http::request_filter filter_;
    capture_writer captures_;
};

}  // namespace mediacap
