// The capture table's writing of gzip and deflate bodies, over any body bytes
// cut into any chunks: corrupt, truncated, concatenated or empty streams, and
// bytes after the end of a stream.
//
// Input: one byte choosing the coding (bit 0: "gzip" or "deflate") and the
// ending (bit 1: finished or closed), then script records (script_input.hpp)
// whose payloads are the chunks handed to append.
//
// Checked besides memory safety: append answers only the codes 0, 1 and 4,
// the received count is the sum of the chunk lengths, and the entry is gone
// after the ending; the written file is removed or moved and then removed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mediacap/http/capture_table.hpp"
#include "tests/fuzz/script_input.hpp"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool gzip = data[0] & 1;
    const bool finish = data[0] & 2;
    mediacap::http::http_response response;
    response.status = 200;
    response.headers["Content-Encoding"] = gzip ? "gzip" : "deflate";
    response.headers["Content-Length"] = "1000";
    const mediacap::http::http_tuple exchange({}, response);

    // The final path lies beside the temporary files; the fuzz script points
    // TMPDIR at a scratch folder of its own.
    const char* folder = std::getenv("TMPDIR");
    const std::string final_path = std::string(folder ? folder : "/tmp") + "/inflate-fuzz-output";

    mediacap::http::capture_table table;
    table.begin(exchange, 7, final_path);
    fuzz::script_input script(data + 1, size - 1);
    std::uint8_t op;
    std::string_view chunk;
    double sent = 0;
    while (script.next(op, chunk, [](std::uint8_t) { return true; })) {
        int code = -1;
        require(table.append(7, chunk.data(), static_cast<unsigned>(chunk.size()), code));
        require(code == 0 || code == 1 || code == 4);
        sent += static_cast<double>(chunk.size());
        double received = -1, total = -1;
        require(table.progress(7, received, total));
        require(received == sent && total == 1000);
    }
    int code = -1;
    require(finish ? table.finish(7, code) : table.close(7, code));
    double received, total;
    require(!table.progress(7, received, total));
    std::remove(final_path.c_str());
    return 0;
}
