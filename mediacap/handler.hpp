#pragma once

#include <string>

#include "mediacap/http/http_tuple.hpp"

namespace mediacap {

// The engine's callback interface towards its owner.
//
// Capture reports and the decision come from the capture thread (the thread
// that calls engine::run), from inside the packet loop: they must not block.
// The bytes of a capture are written by the engine's writer thread, and each
// capture report is made once the writer has done what it reports: so the
// reports come in the order of the capture's events, but later than the
// packets that caused them (soon after the writer's work, also while no more
// packets come), and all of them before run returns. Download reports come
// from the download pool threads, several at once; the reports of one
// download come in order from one thread. After a stop, a download that has
// not ended by the stop's bound is reported failed (code 0); the captures
// whose bodies were complete are still reported as the writer does them,
// until engine::run returns (those of a writer given up for making no
// progress fail with code 1), and a capture still incomplete fails. Nothing
// is reported after engine::stop and engine::run have returned. The owner's
// download reports must not call on storage: engine::stop waits for a
// report under way. Arguments are owned by the caller and valid only during
// the call.
class handler {
public:
    // The result of on_response.
    enum action { download = 0, capture = 1, ignore = 2 };

    virtual ~handler() = default;

    // A response head with a non-zero Content-Length was paired with its
    // request. Return download (fetch it again), capture (record the sniffed
    // body) or anything else to ignore it. For download and capture, write
    // the final file path into `path` (passed in empty).
    virtual int on_response(const http::http_tuple& exchange, std::string& path) = 0;

    virtual void on_download_started(unsigned id, const http::http_tuple& exchange, const std::string& path) = 0;
    virtual void on_download_progress(unsigned id, double total, double received) = 0;
    // The file is in place at `path`: the path on_response chose, or the next
    // free name beside it when a file already had that name.
    virtual void on_download_finished(unsigned id, const std::string& path) = 0;
    // Codes as in http::downloader_handler::on_download_error.
    virtual void on_download_error(unsigned id, int code, const std::string& message) = 0;

    // A capture was opened under the connection's id, before any body byte.
    virtual void on_capture_started(unsigned id, const http::http_tuple& exchange, const std::string& path) = 0;
    virtual void on_capture_progress(unsigned id, double total, double received) = 0;
    // The whole body arrived and the file is in place at `path`: the path
    // on_response chose, or the next free name beside it when a file already
    // had that name (no kept file ever replaces another).
    virtual void on_capture_finished(unsigned id, const std::string& path) = 0;
    // Codes: 1 write failed (also a full disk, the free-space reserve, a
    // failed close; bytes are written in pieces of 256 KiB, so this comes
    // with the chunk that filled the failing piece, or at the end), 3 no
    // final name could be taken, 4 inflate failed
    // (corrupt, cut short, or past the bounds of capture_table.hpp), 5 the
    // connection closed with fewer or more bytes than announced. The message
    // is empty. After a 1 or a 4 the file is gone and the capture reports
    // only that error again (for each later chunk and at its end), never
    // progress or finished.
    virtual void on_capture_error(unsigned id, int code, const std::string& message) = 0;
    // The connection closed with exactly the announced count but before the
    // body's end was seen; nothing was kept.
    virtual void on_capture_stream_closed(unsigned id) = 0;
};

}  // namespace mediacap
