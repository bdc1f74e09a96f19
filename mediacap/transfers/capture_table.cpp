#include "mediacap/transfers/capture_table.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <zlib.h>

namespace mediacap::http {

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

    // Inflates one chunk and hands every produced block to `write`, which
    // answers false when the block could not be stored; inflating stops
    // there (the caller sees the file's failure). False when the data is
    // corrupt or the body passes its bounds; the output of the failing step
    // is dropped.
    template <typename Write>
    bool inflate_chunk(const char* data, unsigned length, Write write)
    {
        compressed_ += length;
        if (!started_) {
            // The framing of a deflate body is known once two bytes are in.
            head_.append(data, length);
            if (head_.size() < 2)
                return true;
            start(has_zlib_header(head_) ? 15 : -15);
            const std::string held = std::move(head_);
            return feed(held.data(), static_cast<unsigned>(held.size()), write);
        }
        return feed(data, length, write);
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

    template <typename Write>
    bool feed(const char* data, unsigned length, Write write)
    {
        if (broken_)
            return false;
        // Bytes after the end of the compressed stream are ignored.
        if (ended_)
            return true;
        static constexpr std::size_t buffer_size = 64 * 1024;
        if (buffer_.empty())
            buffer_.resize(buffer_size);
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = length;
        for (;;) {
            stream_.next_out = reinterpret_cast<Bytef*>(buffer_.data());
            stream_.avail_out = buffer_size;
            const int result = inflate(&stream_, Z_NO_FLUSH);
            // No progress possible: the chunk's input is used up, also right
            // after a pass that filled the buffer exactly. Not an error.
            if (result == Z_BUF_ERROR && stream_.avail_in == 0)
                return true;
            if (result != Z_OK && result != Z_STREAM_END)
                return false;
            const std::size_t produced = buffer_size - stream_.avail_out;
            inflated_ += produced;
            if (inflated_ > allowed())
                return false;
            if (produced > 0 && !write(buffer_.data(), produced))
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
    std::vector<char> buffer_;
};

capture_entry::capture_entry(unsigned id, const std::string& final_path)
    : id(id), file(final_path), final_path(final_path)
{
}

capture_entry::~capture_entry() = default;

double parse_content_length(const std::string& value)
{
    std::size_t at = 0;
    bool negative = false;
    if (at < value.size() && (value[at] == '+' || value[at] == '-')) {
        negative = value[at] == '-';
        ++at;
    }
    if (at == value.size())
        return 0;
    std::uint64_t number = 0;
    for (; at < value.size(); ++at) {
        const char c = value[at];
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + static_cast<unsigned>(c - '0');
        if (number > 0xffffffffu)
            return 0;
    }
    auto result = static_cast<std::uint32_t>(number);
    if (negative)
        result = static_cast<std::uint32_t>(0u - result);
    return result;
}

void capture_table::begin(const http_tuple& exchange, unsigned id, const std::string& path)
{
    auto entry = std::make_shared<capture_entry>(id, path);
    const header_map& headers = exchange.response.headers;
    if (const auto encoding = headers.find("Content-Encoding"); encoding != headers.end()) {
        if (encoding->second == "gzip" || encoding->second == "deflate") {
            entry->inflater = std::make_unique<inflater>(
                encoding->second == "gzip" ? inflater::coding::gzip : inflater::coding::deflate);
            entry->inflating = true;
        }
    }
    if (const auto length = headers.find("Content-Length"); length != headers.end())
        entry->total = parse_content_length(length->second);
    entries_[id] = std::move(entry);
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
    bool inflated = true;
    if (!entry.inflating) {
        file.write(data, length);
    } else {
        inflated = entry.inflater->inflate_chunk(
            data, length, [&file](const char* block, std::size_t size) { return file.write(block, size); });
    }
    code = !inflated ? 4 : file.good() ? 0 : 1;
    if (code != 0) {
        // A body with a hole or a bad stretch is worth nothing: it is never kept.
        entry.failure = code;
        file.discard();
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
    entries_.erase(found);
    return true;
}

bool capture_table::close(unsigned id, int& code)
{
    const auto found = entries_.find(id);
    if (found == entries_.end())
        return false;
    const capture_entry& entry = *found->second;
    code = entry.failure != 0 ? entry.failure : entry.received != entry.total ? 5 : 0;
    entries_.erase(found);
    return true;
}

}  // namespace mediacap::http
