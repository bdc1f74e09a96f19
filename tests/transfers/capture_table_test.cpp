#include <gtest/gtest.h>

#include "mediacap/transfers/capture_table.hpp"
#include "testkit/test_data.hpp"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using mediacap::http::capture_table;
using mediacap::http::http_request;
using mediacap::http::http_response;
using mediacap::http::http_tuple;
using test_support::names_in;

namespace {

enum class framing { gzip, zlib, raw };

// Compresses with the given wrapper; `flush_after` > 0 inserts a sync flush
// after that many input bytes and reports where it ended in `flush_end`.
std::string compress(const std::string& data, framing kind, std::size_t flush_after = 0,
                     std::size_t* flush_end = nullptr)
{
    z_stream stream{};
    const int bits = kind == framing::gzip ? 31 : kind == framing::zlib ? 15 : -15;
    EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out;
    auto run = [&](const char* input, std::size_t length, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input));
        stream.avail_in = static_cast<uInt>(length);
        char buffer[16384];
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            out.append(buffer, sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0);
    };
    std::size_t first = flush_after > 0 ? flush_after : 0;
    if (first > 0) {
        run(data.data(), first, Z_SYNC_FLUSH);
        if (flush_end)
            *flush_end = out.size();
    }
    run(data.data() + first, data.size() - first, Z_FINISH);
    deflateEnd(&stream);
    return out;
}

// Text that compresses somewhat but not trivially.
std::string sample_body(std::size_t size)
{
    std::mt19937 random(7);
    const std::string words[] = {"frame ", "packet ", "stream ", "video ", "keyframe ", "\n", "\0\xff"};
    std::string body;
    while (body.size() < size)
        body += words[random() % 7];
    body.resize(size);
    return body;
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

http_tuple response_with(std::initializer_list<std::pair<std::string, std::string>> headers)
{
    http_response response{};
    response.status = 200;
    for (const auto& [name, value] : headers)
        response.headers[name] = value;
    return http_tuple(http_request{}, response);
}

// Each test gets a folder of its own for the final files; the temporary
// files are made there too, without a name while they are written.
class CaptureTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::absolute(fs::path("capture_table_test.d") / info->name());
        fs::remove_all(root_);
        final_ = root_ / "final";
        fs::create_directories(final_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // Feeds `data` in pieces of `piece` bytes and returns the codes seen.
    static std::vector<int> feed(capture_table& table, unsigned id, const std::string& data, std::size_t piece)
    {
        std::vector<int> codes;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            int code = -1;
            const auto length = static_cast<unsigned>(std::min(piece, data.size() - at));
            EXPECT_TRUE(table.append(id, data.data() + at, length, code));
            codes.push_back(code);
        }
        return codes;
    }

    fs::path root_, final_;
};

}  // namespace

TEST_F(CaptureTable, BodiesStoredDecodedWhateverTheCodingAndSplit)
{
    const std::string body = sample_body(200000);
    struct {
        const char* name;
        const char* coding;
        std::string wire;
    } cases[] = {
        {"plain", nullptr, body},
        {"gzip", "gzip", compress(body, framing::gzip)},
        {"deflate with zlib wrapper", "deflate", compress(body, framing::zlib)},
        {"raw deflate", "deflate", compress(body, framing::raw)},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(1460), c.wire.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            capture_table table;
            const fs::path target = final_ / "body.bin";
            const std::string length = std::to_string(c.wire.size());
            table.begin(c.coding ? response_with({{"Content-Encoding", c.coding}, {"Content-Length", length}})
                                 : response_with({{"Content-Length", length}}),
                        9, target.string());
            const auto codes = feed(table, 9, c.wire, piece);
            EXPECT_TRUE(std::all_of(codes.begin(), codes.end(), [](int code) { return code == 0; }));
            double received = -1, total = -1;
            ASSERT_TRUE(table.progress(9, received, total));
            EXPECT_EQ(received, c.wire.size()) << "received counts the bytes as they arrived";
            EXPECT_EQ(total, c.wire.size());
            int code = -1;
            std::string written;
            ASSERT_TRUE(table.finish(9, code, written));
            EXPECT_EQ(code, 0);
            EXPECT_EQ(written, target.string());
            EXPECT_TRUE(read_file(target) == body) << "file of " << fs::file_size(target) << " bytes differs";
            EXPECT_EQ(names_in(final_), std::set<std::string>{"body.bin"}) << "nothing left beside it";
            fs::remove(target);
        }
    }
}

TEST_F(CaptureTable, BodiesCollectedInPiecesAcrossTheirEdgesAndBeyondThePiecesHeld)
{
    // More bodies open at once than pieces held: the last ones are written
    // as they arrive. Chunk sizes straddle the piece size.
    const std::size_t bodies = mediacap::http::capture_pieces_held + 2;
    const std::size_t piece = mediacap::http::capture_piece_size;
    const std::size_t chunks[] = {1460, piece - 1, piece, piece + 1, 3};
    capture_table table;
    std::vector<std::string> sent(bodies);
    for (unsigned id = 0; id < bodies; ++id) {
        sent[id] = test_support::random_bytes(piece * 2 + 1000 + id, id);
        table.begin(response_with({}), id, (final_ / std::to_string(id)).string());
    }
    std::vector<std::size_t> at(bodies, 0);
    for (std::size_t turn = 0; turn < 6; ++turn) {
        for (unsigned id = 0; id < bodies; ++id) {
            const std::size_t length = std::min(chunks[(turn + id) % 5], sent[id].size() - at[id]);
            int code = -1;
            ASSERT_TRUE(table.append(id, sent[id].data() + at[id], static_cast<unsigned>(length), code));
            ASSERT_EQ(code, 0);
            at[id] += length;
        }
    }
    for (unsigned id = 0; id < bodies; ++id) {
        feed(table, id, sent[id].substr(at[id]), 70000);
        int code = -1;
        std::string written;
        ASSERT_TRUE(table.finish(id, code, written));
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(read_file(written) == sent[id]) << "body " << id << " differs";
    }
}

TEST_F(CaptureTable, ChunksThatInflateFarBeyondTheirSize)
{
    // A megabyte of zeros compresses about a thousandfold: one chunk must be
    // drained through the output buffer many times.
    const std::string zeros(1 << 20, '\0');
    const std::string wire = compress(zeros, framing::gzip);
    ASSERT_LT(wire.size() * 100, zeros.size());
    capture_table table;
    const fs::path target = final_ / "zeros";
    table.begin(response_with({{"Content-Encoding", "gzip"}}), 1, target.string());
    EXPECT_EQ(feed(table, 1, wire, wire.size()), std::vector<int>{0});
    int code = -1;
    std::string written;
    ASSERT_TRUE(table.finish(1, code, written));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(read_file(target) == zeros);

    // A chunk that ends exactly where the output buffer (64 KiB) fills up
    // with all its input used: the next inflate call can make no progress,
    // which is the end of the chunk and not a failure.
    const std::string body = sample_body(3 * 65536);
    std::size_t flush_end = 0;
    const std::string raw = compress(body, framing::raw, 65536, &flush_end);
    const fs::path flushed = final_ / "flushed";
    table.begin(response_with({{"Content-Encoding", "deflate"}}), 2, flushed.string());
    int first = -1, second = -1;
    ASSERT_TRUE(table.append(2, raw.data(), static_cast<unsigned>(flush_end), first));
    ASSERT_TRUE(table.append(2, raw.data() + flush_end, static_cast<unsigned>(raw.size() - flush_end), second));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    ASSERT_TRUE(table.finish(2, code, written));
    EXPECT_TRUE(read_file(flushed) == body);
}

TEST_F(CaptureTable, OnlyExactCodingNamesAreInflated)
{
    const std::string wire = compress("hello", framing::gzip);
    for (const char* coding : {"GZIP", "Gzip", "x-gzip", "gzip, deflate", "gzip ", "br", "identity"}) {
        SCOPED_TRACE(coding);
        capture_table table;
        const fs::path target = final_ / "stored";
        table.begin(response_with({{"Content-Encoding", coding}}), 3, target.string());
        EXPECT_EQ(feed(table, 3, wire, 4), std::vector<int>(((wire.size() + 3) / 4), 0));
        int code = -1;
        std::string written;
        ASSERT_TRUE(table.finish(3, code, written));
        EXPECT_EQ(read_file(target), wire) << "stored as received";
        fs::remove(target);
    }
}

TEST_F(CaptureTable, CorruptCutOrBoundlessBodiesFailAndKeepNothing)
{
    const std::string body = sample_body(50000);
    const auto corrupt = [](std::string wire) {
        for (std::size_t i = wire.size() / 2; i < wire.size() / 2 + 64; ++i)
            wire[i] = static_cast<char>(~wire[i]);
        return wire;
    };
    const auto cut = [](std::string wire, std::size_t by) { return wire.substr(0, wire.size() - by); };
    const std::string gzip_wire = compress(body, framing::gzip);
    // A bomb: 2 MiB of zeros from about 2 KiB, a ratio far past the bound.
    const std::string bomb = compress(std::string(2 << 20, '\0'), framing::gzip);
    struct {
        const char* name;
        const char* coding;
        std::string wire;
        std::size_t piece;  // 0: two halves
        int first_failing;  // index of the first append that fails, -1 none
        int code;
    } cases[] = {
        {"corrupt gzip", "gzip", corrupt(gzip_wire), 0, 1, 4},
        {"corrupt zlib", "deflate", corrupt(compress(body, framing::zlib)), 0, 1, 4},
        {"corrupt raw deflate", "deflate", corrupt(compress(body, framing::raw)), 0, 1, 4},
        {"gzip without its trailer", "gzip", cut(gzip_wire, 8), 1000, -1, 4},
        {"gzip cut in its data", "gzip", cut(gzip_wire, 2000), 1000, -1, 4},
        {"raw deflate cut", "deflate", cut(compress(body, framing::raw), 100), 1000, -1, 4},
        {"one byte of deflate", "deflate", "x", 1, -1, 4},
        {"decompression bomb", "gzip", bomb, 1460, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capture_table table;
        const fs::path target = final_ / "failed";
        table.begin(response_with({{"Content-Encoding", c.coding}, {"Content-Length", std::to_string(c.wire.size())}}),
                    4, target.string());
        const auto codes = feed(table, 4, c.wire, c.piece ? c.piece : c.wire.size() / 2);
        for (std::size_t i = 0; i < codes.size(); ++i)
            EXPECT_EQ(codes[i], c.first_failing >= 0 && int(i) >= c.first_failing ? c.code : 0) << "append " << i;
        if (c.first_failing >= 0) {
            EXPECT_TRUE(names_in(final_).empty()) << "the file is dropped at the failure";
        }
        double received = 0, total = 0;
        table.progress(4, received, total);
        EXPECT_EQ(received, c.wire.size()) << "failed chunks are counted too";
        int code = -1;
        std::string written = "untouched";
        ASSERT_TRUE(table.finish(4, code, written));
        EXPECT_EQ(code, c.code) << "the end reports the failure again, never success";
        EXPECT_EQ(written, "untouched");
        EXPECT_TRUE(names_in(final_).empty());
    }
}

TEST_F(CaptureTable, ContentLengthValues)
{
    struct {
        const char* value;
        double total;
    } cases[] = {
        {"1500", 1500},      {"+1500", 1500},          {"-1", 4294967295.0}, {"-0", 0},
        {"4294967295", 4294967295.0}, {"4294967296", 0}, {"99999999999999999999", 0},
        {"12a", 0},          {" 12", 0},               {"12 ", 0},           {"", 0},
        {"+", 0},            {"-", 0},                 {"+-1", 0},           {"0x10", 0},
        {"007", 7},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mediacap::http::parse_content_length(c.value), c.total) << "value \"" << c.value << "\"";

    capture_table table;
    double received = -1, total = -1;
    table.begin(response_with({{"content-length", "+1500"}}), 5, (final_ / "x").string());
    ASSERT_TRUE(table.progress(5, received, total));
    EXPECT_EQ(total, 1500);
    EXPECT_EQ(received, 0);
    table.begin(response_with({}), 6, (final_ / "y").string());
    ASSERT_TRUE(table.progress(6, received, total));
    EXPECT_EQ(total, 0) << "no Content-Length";
}

TEST_F(CaptureTable, SecondBeginReplacesTheFirstSilently)
{
    capture_table table;
    int code = -1;
    table.begin(response_with({}), 7, (final_ / "first").string());
    ASSERT_TRUE(table.append(7, "first body", 10, code));
    EXPECT_TRUE(names_in(final_).empty()) << "a file being written has no name";

    table.begin(response_with({}), 7, (final_ / "second").string());
    double received = -1, total = -1;
    ASSERT_TRUE(table.progress(7, received, total));
    EXPECT_EQ(received, 0);
    ASSERT_TRUE(table.append(7, "second", 6, code));
    std::string written;
    ASSERT_TRUE(table.finish(7, code, written));
    EXPECT_EQ(read_file(final_ / "second"), "second");
    EXPECT_EQ(names_in(final_), std::set<std::string>{"second"});
}

TEST_F(CaptureTable, CloseKeepsNothingWhateverTheCounts)
{
    struct {
        const char* length;
        std::string data;
        int code;
    } cases[] = {
        {"5", "12345", 0},
        {"5", "1234", 5},
        {"5", "123456", 5},
        {"abc", "", 0},
    };
    for (const auto& c : cases) {
        capture_table table;
        table.begin(response_with({{"Content-Length", c.length}}), 8, (final_ / "closed").string());
        int code = -1;
        ASSERT_TRUE(table.append(8, c.data.data(), static_cast<unsigned>(c.data.size()), code));
        code = -1;
        ASSERT_TRUE(table.close(8, code));
        EXPECT_EQ(code, c.code) << "length " << c.length << " with " << c.data.size() << " bytes";
        EXPECT_TRUE(names_in(final_).empty());
        EXPECT_FALSE(table.close(8, code)) << "the entry is gone";
    }
}

TEST_F(CaptureTable, UnknownIdsDoNothing)
{
    capture_table table;
    int code = 42;
    double received = 1, total = 2;
    std::string written;
    EXPECT_FALSE(table.append(1, "x", 1, code));
    EXPECT_FALSE(table.progress(1, received, total));
    EXPECT_FALSE(table.finish(1, code, written));
    EXPECT_FALSE(table.close(1, code));
    EXPECT_EQ(code, 42);
    EXPECT_EQ(received, 1);

    table.begin(response_with({}), 1, (final_ / "done").string());
    ASSERT_TRUE(table.finish(1, code, written));
    EXPECT_FALSE(table.close(1, code)) << "a closed signal after the finish finds no entry";
    EXPECT_TRUE(fs::exists(final_ / "done"));
}

TEST_F(CaptureTable, AFileThatCannotBeMadeOrPlacedKeepsNothing)
{
    // No folder to make the file in: every step fails as a write.
    capture_table table;
    ASSERT_NO_THROW(table.begin(response_with({}), 2, (final_ / "missing" / "file").string()));
    int code = -1;
    std::string written;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(table.append(2, "abc", 3, code));
        EXPECT_EQ(code, 1) << "append " << i;
    }
    ASSERT_TRUE(table.finish(2, code, written));
    EXPECT_EQ(code, 1);

    // The folder goes while the body is written: nowhere to put it.
    const fs::path leaving = final_ / "leaving";
    fs::create_directories(leaving);
    table.begin(response_with({}), 3, (leaving / "file").string());
    ASSERT_TRUE(table.append(3, "abc", 3, code));
    EXPECT_EQ(code, 0);
    fs::remove(leaving);
    ASSERT_TRUE(table.finish(3, code, written));
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(names_in(final_).empty());
}

TEST_F(CaptureTable, FinishNeverReplacesAnExistingFile)
{
    struct {
        std::vector<std::string> existing;
        std::string target, written;
    } cases[] = {
        {{"old"}, "old", "old-1"},
        {{"pic.jpg", "pic-1.jpg"}, "pic.jpg", "pic-2.jpg"},
        {{"a.tar.gz"}, "a.tar.gz", "a.tar-1.gz"},
        {{}, "new.png", "new.png"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        for (const auto& name : c.existing)
            std::ofstream(final_ / name) << "older " << name;
        capture_table table;
        table.begin(response_with({}), 3, (final_ / c.target).string());
        int code = -1;
        std::string written;
        ASSERT_TRUE(table.append(3, "new", 3, code));
        ASSERT_TRUE(table.finish(3, code, written));
        EXPECT_EQ(code, 0);
        EXPECT_EQ(written, (final_ / c.written).string());
        EXPECT_EQ(read_file(final_ / c.written), "new");
        for (const auto& name : c.existing)
            EXPECT_EQ(read_file(final_ / name), "older " + name);
        EXPECT_EQ(names_in(final_).size(), c.existing.size() + 1);
        fs::remove_all(final_);
        fs::create_directories(final_);
    }
}
