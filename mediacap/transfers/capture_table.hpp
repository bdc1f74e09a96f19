#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mediacap/http/http_tuple.hpp"
#include "mediacap/transfers/temporary_file.hpp"

namespace mediacap::http {

class inflater;

// Bounds of one inflated body, against decompression bombs: its first
// inflate_free_size bytes are always allowed, past them it may reach at most
// inflate_ratio times the compressed bytes received so far, and never more
// than inflate_size_limit. A body that passes a bound fails with code 4.
// The output is made in slices of 64 KiB with the bounds checked after each,
// so one chunk never keeps the capture loop busy for long.
inline constexpr std::uint64_t inflate_free_size = std::uint64_t(1) << 20;
inline constexpr std::uint64_t inflate_ratio = 100;
inline constexpr std::uint64_t inflate_size_limit = std::uint64_t(1) << 30;

// Bodies are collected and written in pieces of this size (a body's last
// piece is smaller), so that most kept files take one write each and large
// ones one write per piece, whatever the size of the segments they came in.
inline constexpr std::size_t capture_piece_size = std::size_t(256) << 10;
// At most this many pieces (16 MiB) are held by one table at once; a body
// that finds none free is written as it arrives.
inline constexpr std::size_t capture_pieces_held = 64;

// How a captured body is stored: as received, or inflated.
enum class body_coding { identity, gzip, deflate };

// The coding of a response's body: gzip or deflate when its
// "Content-Encoding" is exactly that word (case-sensitive), else identity.
body_coding coding_of(const header_map& headers);

// One captured body on its way to disk: written to a temporary file in the
// folder of its final path, inflated on the way for "gzip" and "deflate"
// responses, and put in place when the body is complete.
struct capture_entry {
    capture_entry(unsigned id, const std::string& final_path);
    ~capture_entry();

    capture_entry(const capture_entry&) = delete;
    capture_entry& operator=(const capture_entry&) = delete;

    unsigned id;
    temporary_file file;
    bool inflating = false;
    std::unique_ptr<http::inflater> inflater;  // present only when inflating
    double total = 0;     // announced Content-Length, 0 when absent or not a number
    double received = 0;  // body bytes handed to append, counted before inflating
    int failure = 0;      // code of the first failed append (1 or 4); the file is gone then
    std::unique_ptr<char[]> piece;  // the body's bytes not written yet; none when no piece was free
    std::size_t piece_used = 0;
};

// The engine's captures in progress, keyed by transfer id (the connection id).
// Used only on the capture thread; no locks.
//
// Every operation but begin answers false when no entry has that id, and then
// does nothing and leaves `code` alone. Codes: 0 success, 1 the write failed
// (also the file never opened, the free-space reserve was reached or the
// close failed), 3 no final name could be taken, 4 inflating failed (corrupt
// data, a bound passed, or a stream that ended before its end), 5 the
// connection closed with a received count different from the announced
// length.
//
// A capture that failed (1 or 4) has lost its file at once: each later
// operation answers that same code, and it is never put in place. Bytes are
// collected into pieces before they are written, so a failing write is
// answered by the append that filled a piece, or by finish.
class capture_table {
public:
    capture_table();
    ~capture_table();

    capture_table(const capture_table&) = delete;
    capture_table& operator=(const capture_table&) = delete;

    // Opens a capture for the response of `exchange`, to end at `path`. An
    // entry already under `id` is dropped silently with its temporary file.
    void begin(const http_tuple& exchange, unsigned id, const std::string& path);
    // The same with the response's coding and announced length read already.
    void begin(unsigned id, const std::string& path, body_coding coding, double total);

    // Takes one chunk of the body (inflated when the response is encoded).
    bool append(unsigned id, const char* data, unsigned length, int& code);

    bool progress(unsigned id, double& received, double& total) const;

    // The body is complete: puts the file in place, drops the entry. The file
    // never replaces another: when the final path is taken, the next free
    // name is used (final_name_candidate), and `path` gets the name written.
    bool finish(unsigned id, int& code, std::string& path);

    // The connection closed first: drops the entry and its file.
    bool close(unsigned id, int& code);

    // The files of the captures begun from now on stamp `clock` at each
    // write that moves bytes (temporary_file::stamp_writes).
    void stamp_writes(write_clock* clock) { clock_ = clock; }

private:
    friend class body_output;

    bool store(capture_entry& entry, const char* data, std::size_t length);
    void take_piece(capture_entry& entry);
    bool write_piece(capture_entry& entry);
    void release_piece(capture_entry& entry);
    void drop(std::unordered_map<unsigned, std::shared_ptr<capture_entry>>::iterator found);

    std::unordered_map<unsigned, std::shared_ptr<capture_entry>> entries_;
    std::vector<std::unique_ptr<char[]>> spare_pieces_;
    std::size_t pieces_out_ = 0;      // pieces held by entries
    std::unique_ptr<char[]> scratch_; // inflated output of a body without a piece
    write_clock* clock_ = nullptr;
};

// Reads a Content-Length value as an unsigned 32-bit number: an optional "+"
// or "-" (which negates modulo 2^32), then one or more decimal digits, at most
// 4294967295. Anything else gives 0.
double parse_content_length(const std::string& value);

}  // namespace mediacap::http
