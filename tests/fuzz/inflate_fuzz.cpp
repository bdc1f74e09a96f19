// The capture table's writing of gzip and deflate bodies, over any body bytes
// cut into any chunks: corrupt, truncated, concatenated or empty streams, and
// bytes after the end of a stream.
//
// Input: one byte choosing the coding (bit 0: "gzip" or "deflate") and the
// ending (bit 1: finished or closed), then script records (script_input.hpp)
// whose payloads are the chunks handed to append.
//
// Checked besides memory safety: append answers only the codes 0, 1 and 4,
// the received count is the sum of the chunk lengths, the entry is gone after
// the ending, a file is reported only by a finish that succeeded, and a
// stream that inflates without error is written the same whether it came in
// its chunks or in one piece.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mediacap/transfers/capture_table.hpp"
#include "tests/fuzz/script_input.hpp"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Feeds the chunks to a new capture and ends it; true when no
// chunk failed to inflate. The file written when finished is left at
// `written` (empty when none was).
bool capture(const std::uint8_t* data, std::size_t size, bool gzip, bool finish, bool in_one_piece,
             const std::string& final_path, std::string& written)
{
    mediacap::http::http_response response;
    response.status = 200;
    response.headers["Content-Encoding"] = gzip ? "gzip" : "deflate";
    response.headers["Content-Length"] = "1000";
    const mediacap::http::http_tuple exchange({}, response);

    mediacap::http::capture_table table;
    table.begin(exchange, 7, final_path);
    std::vector<std::string_view> chunks;
    fuzz::script_input script(data, size);
    std::uint8_t op;
    std::string_view chunk;
    while (script.next(op, chunk, [](std::uint8_t) { return true; }))
        chunks.push_back(chunk);
    std::string joined;
    if (in_one_piece) {
        for (std::string_view c : chunks)
            joined.append(c);
        chunks.assign(1, joined);
    }
    bool inflated = true;
    double sent = 0;
    for (std::string_view c : chunks) {
        int code = -1;
        require(table.append(7, c.data(), static_cast<unsigned>(c.size()), code));
        require(code == 0 || code == 1 || code == 4);
        inflated = inflated && code != 4;
        sent += static_cast<double>(c.size());
        double received = -1, total = -1;
        require(table.progress(7, received, total));
        require(received == sent && total == 1000);
    }
    int code = -1;
    require(finish ? table.finish(7, code, written) : table.close(7, code));
    require(written.empty() == (code != 0 || !finish));
    double received, total;
    require(!table.progress(7, received, total));
    return inflated;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool gzip = data[0] & 1;
    const bool finish = data[0] & 2;
    // The final paths lie beside the temporary files; the fuzz script points
    // TMPDIR at a scratch folder of its own.
    const char* folder = std::getenv("TMPDIR");
    const std::string cut_path = std::string(folder ? folder : "/tmp") + "/inflate-fuzz-cut";
    const std::string whole_path = std::string(folder ? folder : "/tmp") + "/inflate-fuzz-whole";

    std::string cut_written, whole_written;
    const bool cut_inflated = capture(data + 1, size - 1, gzip, finish, false, cut_path, cut_written);
    const bool whole_inflated = capture(data + 1, size - 1, gzip, finish, true, whole_path, whole_written);
    // A stream that inflates without error gives the same bytes however it
    // was cut into chunks, and is kept only when it ended.
    if (finish && cut_inflated && whole_inflated) {
        require(cut_written.empty() == whole_written.empty());
        require(read_file(cut_written) == read_file(whole_written));
    }
    std::remove(cut_written.c_str());
    std::remove(whole_written.c_str());
    return 0;
}
