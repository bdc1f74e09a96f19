#include "mediacap/transfers/capture_table.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <zlib.h>

namespace mediacap::http {

namespace {

// Inflated output is made this much at a time, the bounds checked after each.
constexpr std::size_t inflate_slice = std::size_t(64) << 10;

}  // namespace

// Owns one zlib inflate stream. "gzip" bodies carry the gzip wrapper;
// "deflate" bodies are sent by servers both with the zlib wrapper (as RFC
// 9110 section 8.4.1.2 asks) and as bare deflate data, so their framing is
// decided from the first two bytes.
class inflater {
public:
    enum class coding { gzip, deflate };

    explicit inflater(coding kind)
    {
        stream_.zalloc = Z_NULL;
        stream_.zfree = Z_NULL;
        stream_.opaque = Z_NULL;
        if (kind == coding::gzip)
            start(31);  // 15-bit window, gzip wrapper
    }
    ~inflater()
    {
        if (started_)
            inflateEnd(&stream_);
    }
    inflater(const inflater&) = delete;
    inflater& operator=(const inflater&) = delete;

    // Inflates one chunk into the space that `output` offers (see
    // body_output) in slices of at most inflate_slice bytes, checking the
    // bounds after each. Stops when `output` cannot store a slice (the
    // caller sees the file's failure). False when the data is corrupt or the
    // body passes its bounds; the output of the failing step is dropped.
    template <typename Output>
    bool inflate_chunk(const char* data, unsigned length, Output& output)
    {
        compressed_ += length;
        if (!started_) {
            // The framing of a deflate body is known once two bytes are in.
            head_.append(data, length);
            if (head_.size() < 2)
                return true;
            start(has_zlib_header(head_) ? 15 : -15);
            const std::string held = std::move(head_);
            return feed(held.data(), static_cast<unsigned>(held.size()), output);
        }
        return feed(data, length, output);
    }

    // The end of the compressed stream was seen.
    bool ended() const { return ended_; }

private:
    static bool has_zlib_header(const std::string& bytes)
    {
        // RFC 1950 section 2.2: method 8 (deflate), window at most 32 KiB,
        // and the first two bytes as a big-endian number divisible by 31.
        const auto cmf = static_cast<unsigned char>(bytes[0]);
        const auto flg = static_cast<unsigned char>(bytes[1]);
        return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && (cmf * 256u + flg) % 31 == 0;
    }

    void start(int window_bits)
    {
        if (inflateInit2(&stream_, window_bits) == Z_OK)
            started_ = true;
        else
            broken_ = true;
    }

    template <typename Output>
    bool feed(const char* data, unsigned length, Output& output)
    {
        if (broken_)
            return false;
        // Bytes after the end of the compressed stream are ignored.
        if (ended_)
            return true;
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = length;
        for (;;) {
            const auto [space, size] = output.space();
            const auto room = static_cast<uInt>(std::min(size, inflate_slice));
            stream_.next_out = reinterpret_cast<Bytef*>(space);
            stream_.avail_out = room;
            const int result = inflate(&stream_, Z_NO_FLUSH);
            // No progress possible: the chunk's input is used up, also right
            // after a pass that filled the space exactly. Not an error.
            if (result == Z_BUF_ERROR && stream_.avail_in == 0)
                return true;
            if (result != Z_OK && result != Z_STREAM_END)
                return false;
            const std::size_t produced = room - stream_.avail_out;
            inflated_ += produced;
            if (inflated_ > allowed())
                return false;
            if (produced > 0 && !output.produced(produced))
                return true;
            if (result == Z_STREAM_END) {
                ended_ = true;
                return true;
            }
            if (stream_.avail_in == 0 && stream_.avail_out != 0)
                return true;
        }
    }

    std::uint64_t allowed() const
    {
        return std::min(inflate_size_limit, std::max(inflate_free_size, inflate_ratio * compressed_));
    }

    z_stream stream_{};
    bool started_ = false;
    bool broken_ = false;
    bool ended_ = false;
    std::uint64_t compressed_ = 0;  // bytes handed to inflate_chunk
    std::uint64_t inflated_ = 0;
    std::string head_;
};

// The space an inflater writes into: the free part of the body's piece (the
// full piece is written first), or the table's scratch buffer for a body
// without a piece, whose every slice is written at once.
class body_output {
public:
    body_output(capture_table& table, capture_entry& entry) : table_(table), entry_(entry) {}

    std::pair<char*, std::size_t> space()
    {
        if (!entry_.piece)
            return {table_.scratch_.get(), inflate_slice};
        if (entry_.piece_used == capture_piece_size)
            table_.write_piece(entry_);
        return {entry_.piece.get() + entry_.piece_used, capture_piece_size - entry_.piece_used};
    }

    bool produced(std::size_t size)
    {
        if (!entry_.piece)
            return entry_.file.write(table_.scratch_.get(), size);
        entry_.piece_used += size;
        return entry_.file.good();
    }

private:
    capture_table& table_;
    capture_entry& entry_;
};

capture_entry::capture_entry(unsigned id, const std::string& final_path)
    : id(id), file(final_path)
{
}

capture_entry::~capture_entry() = default;

double parse_content_length(const std::string& value)
{
    return content_length_value(value);
}

body_coding coding_of(const header_map& headers)
{
    const auto encoding = headers.find("Content-Encoding");
    if (encoding == headers.end())
        return body_coding::identity;
    if (encoding->second == "gzip")
        return body_coding::gzip;
    return encoding->second == "deflate" ? body_coding::deflate : body_coding::identity;
}

capture_table::capture_table() = default;

capture_table::~capture_table() = default;

void capture_table::begin(const http_tuple& exchange, unsigned id, const std::string& path)
{
    const header_map& headers = exchange.response.headers;
    const auto length = headers.find("Content-Length");
    begin(id, path, coding_of(headers), length != headers.end() ? parse_content_length(length->second) : 0);
}

void capture_table::begin(unsigned id, const std::string& path, body_coding coding, double total)
{
    auto entry = std::make_shared<capture_entry>(id, path);
    entry->file.stamp_writes(clock_);
    if (coding != body_coding::identity) {
        entry->inflater =
            std::make_unique<inflater>(coding == body_coding::gzip ? inflater::coding::gzip : inflater::coding::deflate);
        entry->inflating = true;
    }
    entry->total = total;
    if (const auto found = entries_.find(id); found != entries_.end())
        drop(found);
    entries_.emplace(id, std::move(entry));
}

void capture_table::take_piece(capture_entry& entry)
{
    if (!spare_pieces_.empty()) {
        entry.piece = std::move(spare_pieces_.back());
        spare_pieces_.pop_back();
    } else if (pieces_out_ < capture_pieces_held) {
        entry.piece.reset(new char[capture_piece_size]);
    } else {
        return;
    }
    ++pieces_out_;
    entry.piece_used = 0;
}

bool capture_table::write_piece(capture_entry& entry)
{
    const std::size_t used = std::exchange(entry.piece_used, 0);
    return used == 0 || entry.file.write(entry.piece.get(), used);
}

bool capture_table::store(capture_entry& entry, const char* data, std::size_t length)
{
    while (length > 0) {
        if (!entry.piece || (entry.piece_used == 0 && length >= capture_piece_size))
            return entry.file.write(data, length);
        const std::size_t taken = std::min(length, capture_piece_size - entry.piece_used);
        std::memcpy(entry.piece.get() + entry.piece_used, data, taken);
        entry.piece_used += taken;
        data += taken;
        length -= taken;
        if (entry.piece_used == capture_piece_size && !write_piece(entry))
            return false;
    }
    return true;
}

void capture_table::release_piece(capture_entry& entry)
{
    if (entry.piece) {
        spare_pieces_.push_back(std::move(entry.piece));
        --pieces_out_;
    }
}

void capture_table::drop(std::unordered_map<unsigned, std::shared_ptr<capture_entry>>::iterator found)
{
    release_piece(*found->second);
    entries_.erase(found);
}

bool capture_table::append(unsigned id, const char* data, unsigned length, int& code)
{
    const auto found = entries_.find(id);
    if (found == entries_.end())
        return false;
    capture_entry& entry = *found->second;
    entry.received += length;
    if (entry.failure != 0) {
        code = entry.failure;
        return true;
    }
    temporary_file& file = entry.file;
    if (!entry.piece && file.good())
        take_piece(entry);
    bool inflated = true;
    if (!entry.inflating) {
        store(entry, data, length);
    } else {
        if (!entry.piece && !scratch_)
            scratch_.reset(new char[inflate_slice]);
        body_output output(*this, entry);
        inflated = entry.inflater->inflate_chunk(data, length, output);
    }
    code = !inflated ? 4 : file.good() ? 0 : 1;
    if (code != 0) {
        // A body with a hole or a bad stretch is worth nothing: it is never kept.
        entry.failure = code;
        file.discard();
        release_piece(entry);
    }
    return true;
}

bool capture_table::progress(unsigned id, double& received, double& total) const
{
    const auto found = entries_.find(id);
    if (found == entries_.end())
        return false;
    received = found->second->received;
    total = found->second->total;
    return true;
}

bool capture_table::finish(unsigned id, int& code, std::string& path)
{
    const auto found = entries_.find(id);
    if (found == entries_.end())
        return false;
    capture_entry& entry = *found->second;
    if (entry.failure != 0) {
        code = entry.failure;
    } else if (entry.inflating && !entry.inflater->ended()) {
        // The body ended before its compressed stream did: it was cut.
        code = 4;
    } else {
        if (entry.piece)
            write_piece(entry);
        switch (entry.file.publish(path)) {
        case temporary_file::outcome::published:
            code = 0;
            break;
        case temporary_file::outcome::write_failed:
            code = 1;
            break;
        case temporary_file::outcome::place_failed:
            code = 3;
            break;
        }
    }
    drop(found);
    return true;
}

bool capture_table::close(unsigned id, int& code)
{
    const auto found = entries_.find(id);
    if (found == entries_.end())
        return false;
    const capture_entry& entry = *found->second;
    code = entry.failure != 0 ? entry.failure : entry.received != entry.total ? 5 : 0;
    drop(found);
    return true;
}

}  // namespace mediacap::http
