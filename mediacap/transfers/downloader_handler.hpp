#pragma once

#include <string>

#include "mediacap/http/http_tuple.hpp"

namespace mediacap::http {

// How the downloader reports on its jobs. Every call comes from the download
// pool thread that runs the job; calls for different downloads may come
// concurrently from different threads, the calls for one download come in
// order from one thread: started (unless an unsupported method or request
// target ended the job first), any number of progress reports, then exactly
// one of finished or error.
class downloader_handler {
public:
    virtual ~downloader_handler() = default;

    // The transfer options are set and the request is about to be sent; or
    // the job's file could not be made, and error 2 follows at once.
    // `exchange` is the job's own copy; `path` is where the file will go.
    virtual void on_download_started(unsigned id, const http_tuple& exchange, const std::string& path) = 0;

    // The received count grew. `total` is 0 when the server announced no length.
    virtual void on_download_progress(unsigned id, unsigned total, unsigned received) = 0;

    // Status 200 and the file is in place at `path`: the job's path, or the
    // next free name beside it when a file already had that name.
    virtual void on_download_finished(unsigned id, const std::string& path) = 0;

    // The job ended without a file. Codes: 0 libcurl failure (also cancel and
    // stall), unsupported method or request target, a body that ended short
    // of the length its head announced (or an unreadable length), or the
    // file could not be written (the message then begins "Error writing
    // file: " and says why: a full disk, the free-space reserve, a failed
    // close); 1 status other than 200 (the message is the status); 2
    // temporary file not opened; 3 no final name could be taken.
    virtual void on_download_error(unsigned id, int code, const std::string& message) = 0;
};

}  // namespace mediacap::http
