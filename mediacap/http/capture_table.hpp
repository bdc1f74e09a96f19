#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "mediacap/http/http_tuple.hpp"
#include "mediacap/temporary_file.hpp"

namespace mediacap::http {

class inflater;

// One captured body on its way to disk: written to a temporary file, inflated
// on the way for "gzip" and "deflate" responses, and moved to `final_path`
// when the body is complete.
struct capture_entry {
    capture_entry(unsigned id, const std::string& final_path);
    ~capture_entry();

    capture_entry(const capture_entry&) = delete;
    capture_entry& operator=(const capture_entry&) = delete;

    unsigned id;
    temporary_file file;
    std::string final_path;
    bool inflating = false;
    std::unique_ptr<http::inflater> inflater;  // present only when inflating
    double total = 0;     // announced Content-Length, 0 when absent or not a number
    double received = 0;  // body bytes handed to append, counted before inflating
};

// The engine's captures in progress, keyed by transfer id (the connection id).
// Used only on the capture thread; no locks.
//
// Every operation but begin answers false when no entry has that id, and then
// does nothing and leaves `code` alone. Codes: 0 success, 1 the write failed
// (or the temporary file never opened), 3 the move to the final path failed,
// 4 inflating this chunk failed, 5 the connection closed with a received
// count different from the announced length.
class capture_table {
public:
    // Opens a capture for the response of `exchange`, to end at `path`. An
    // entry already under `id` is dropped silently with its temporary file.
    void begin(const http_tuple& exchange, unsigned id, const std::string& path);

    // Writes one chunk of the body (inflated when the response is encoded).
    bool append(unsigned id, const char* data, unsigned length, int& code);

    bool progress(unsigned id, double& received, double& total) const;

    // The body is complete: moves the file to its final path, drops the entry.
    bool finish(unsigned id, int& code);

    // The connection closed first: drops the entry and its file.
    bool close(unsigned id, int& code);

private:
    std::unordered_map<unsigned, std::shared_ptr<capture_entry>> entries_;
};

// Reads a Content-Length value as an unsigned 32-bit number: an optional "+"
// or "-" (which negates modulo 2^32), then one or more decimal digits, at most
// 4294967295. Anything else gives 0.
double parse_content_length(const std::string& value);

}  // namespace mediacap::http
