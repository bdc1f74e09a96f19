#include "mediacap/decoder/http_decoder.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace mediacap::decoder {
namespace {

constexpr std::string_view head_end = "\r\n\r\n";
constexpr std::string_view line_end = "\r\n";

// White space as the classic locale classifies it.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::size_t skip_space(std::string_view text, std::size_t pos)
{
    while (pos < text.size() && is_space(text[pos]))
        ++pos;
    return pos;
}

// Header names compare without regard to the case of ASCII letters.
bool equals_ignoring_case(std::string_view a, std::string_view b)
{
    return http::header_equal{}(a, b);
}

// Splits a header line at its first colon into a trimmed name and value.
// A line without a colon (the rest of the start line, the blank line that
// ends the head, a folded continuation) is not a field.
bool split_field(std::string_view line, std::string_view& name, std::string_view& value)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    name = trim(line.substr(0, colon));
    value = trim(line.substr(colon + 1));
    return true;
}

// Calls `field(name, value)` for every field line of `lines`, each line
// ending at LF.
template <class Field>
void for_each_field(std::string_view lines, Field&& field)
{
    while (!lines.empty()) {
        const std::size_t lf = lines.find('\n');
        const std::string_view line = lines.substr(0, lf);
        lines.remove_prefix(lf == std::string_view::npos ? lines.size() : lf + 1);
        std::string_view name, value;
        if (split_field(line, name, value))
            field(name, value);
    }
}

bool is_read_field(std::string_view name)
{
    return std::any_of(http_decoder::read_fields.begin(), http_decoder::read_fields.end(),
                       [&](std::string_view read) { return equals_ignoring_case(name, read); });
}

// Stores a field in a head's map, up to the decoder's limit of fields: a head
// of thousands of tiny fields would otherwise take many times its own size
// in map nodes. The fields that the program reads are stored wherever they
// stand, so that what frames, types or names a body is always in the map.
void store_field(http::header_map& headers, std::string_view name, std::string_view value)
{
    std::string key(name);
    const auto found = headers.find(key);
    if (found != headers.end())
        found->second.assign(value);
    else if (headers.size() < http_decoder::max_fields || is_read_field(name))
        headers.emplace(std::move(key), std::string(value));
}

// The status code after the protocol word of a status line; 0 when no number
// stands there (or it does not fit in 32 bits).
std::int32_t status_code(std::string_view line)
{
    std::size_t pos = skip_space(line, 0);
    while (pos < line.size() && !is_space(line[pos]))
        ++pos;
    pos = skip_space(line, pos);
    bool negative = false;
    if (pos < line.size() && (line[pos] == '+' || line[pos] == '-')) {
        negative = line[pos] == '-';
        ++pos;
    }
    std::int64_t number = 0;
    std::size_t digits = 0;
    for (; pos < line.size() && is_digit(line[pos]); ++pos, ++digits) {
        number = number * 10 + (line[pos] - '0');
        if (number > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
            return 0;
    }
    if (digits == 0)
        return 0;
    number = negative ? -number : number;
    if (number > std::numeric_limits<std::int32_t>::max())
        return 0;
    return static_cast<std::int32_t>(number);
}

// A chunk size line (RFC 9112 section 7.1): hexadecimal digits, then
// optional extensions, which are ignored. No digits count as 0; a size that
// does not fit in 32 bits is kept at the largest 32-bit value.
std::uint32_t chunk_size(std::string_view line)
{
    std::size_t pos = skip_space(line, 0);
    std::uint64_t size = 0;
    for (; pos < line.size(); ++pos) {
        const char c = line[pos];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        size = std::min<std::uint64_t>(size * 16 + digit, std::numeric_limits<std::uint32_t>::max());
    }
    return static_cast<std::uint32_t>(size);
}

// Finds the end of a head in `offered`, resuming after the bytes that an
// earlier offer of the same unconsumed data already searched in vain.
std::size_t find_head_end(std::string_view offered, std::uint32_t& searched)
{
    // The terminator may straddle the end of the part searched before.
    std::size_t from = searched <= offered.size() ? searched : 0;
    from = from >= head_end.size() - 1 ? from - (head_end.size() - 1) : 0;
    const std::size_t end = offered.find(head_end, from);
    searched = end == std::string_view::npos ? static_cast<std::uint32_t>(offered.size()) : 0;
    return end;
}

// A head (or chunk size line) may take at most this many bytes, its end
// included; one still open at that size will never be accepted.
constexpr std::size_t head_limit = http_decoder::max_head_size;

// True when a search for an end that found `end` (npos: not yet) over an offer
// of `length` bytes shows the head to be longer than the limit.
bool beyond_limit(std::size_t end, std::size_t terminator, std::size_t length)
{
    if (end == std::string_view::npos)
        return length >= head_limit;
    return end + terminator > head_limit;
}

// Runs parse steps over one offer while they make progress: several requests
// in one segment, or a body's end and the next head, are all taken at this
// arrival. The first step always runs, even on an empty offer (the close
// flush), and the loop ends at the first step that consumes nothing.
template <class Step>
unsigned consume_all(const char* data, unsigned length, Step&& step)
{
    unsigned total = 0;
    do {
        const unsigned consumed = std::min(step(data + total, length - total), length - total);
        if (consumed == 0)
            break;
        total += consumed;
    } while (total < length);
    return total;
}

}  // namespace

void http_decoder::attach_stream(const std::shared_ptr<stream>& opened)
{
    opened->state = http_stream();
}

unsigned http_decoder::handle_request_bytes(const std::shared_ptr<stream>& s, const char* data, unsigned length)
{
    http_stream* state = std::any_cast<http_stream>(&s->state);
    if (!state)
        return length;
    state->last_active = ++arrivals_;
    state->heard_at = now_;
    return consume_all(data, length, [&](const char* at, unsigned left) -> unsigned {
        switch (state_of(s).request_state) {
        case http_stream::request_head:
            return parse_request_head(s, at, left);
        case http_stream::request_body:
            return read_request_body(s, at, left);
        case http_stream::request_unparseable:
            return left;
        default:
            return 0;
        }
    });
}

unsigned http_decoder::handle_response_bytes(const std::shared_ptr<stream>& s, const char* data, unsigned length)
{
    http_stream* state = std::any_cast<http_stream>(&s->state);
    if (!state)
        return length;
    state->last_active = ++arrivals_;
    state->heard_at = now_;
    return consume_all(data, length, [&](const char* at, unsigned left) -> unsigned {
        switch (state_of(s).response_state) {
        case http_stream::response_head:
            return parse_response_head(s, at, left);
        case http_stream::sized_body:
            return read_sized_body(s, at, left);
        case http_stream::chunk_size_line:
            return read_chunk_header(s, at, left);
        case http_stream::chunk_data:
            return skip_chunk(s, at, left);
        case http_stream::response_unparseable:
            return left;
        default:
            return 0;
        }
    });
}

void http_decoder::handle_close(const std::shared_ptr<stream>& s)
{
    closed_signal(s->id);
    if (http_stream* state = std::any_cast<http_stream>(&s->state))
        give_back(*state, state->charged);
}

unsigned http_decoder::parse_request_head(const std::shared_ptr<stream>& s, const char* data, unsigned length)
{
    const std::string_view offered(data, length);
    http_stream& state = state_of(s);
    const std::size_t end = find_head_end(offered, state.request_searched);
    // An endless head may not hold memory: the client's side is given up.
    if (beyond_limit(end, head_end.size(), length)) {
        state.request_state = http_stream::request_unparseable;
        return length;
    }
    // Nor may an endless queue of requests that no response takes; the
    // connection is given up whole, since dropping one request from the queue
    // would pair a later response with the wrong one.
    if (end != std::string_view::npos && state.pending.size() >= max_queued_requests) {
        if (budget_)
            ++budget_->lost().past_own_bound;
        give_up(state);
        return length;
    }
    if (end == std::string_view::npos) {
        if (within_budget(s))
            return 0;
        refused();
        state.request_state = http_stream::request_unparseable;
        return length;
    }
    const std::string_view head = offered.substr(0, end + head_end.size());

    auto request = std::make_shared<http::http_request>();
    request->server_address = s->destination_address;
    request->server_port = s->destination_port;

    // Request line: method, one separator, then the target up to the next
    // blank. What follows the target (the protocol word) is read as the
    // first "line" below and dropped for want of a colon.
    std::size_t pos = skip_space(head, 0);
    const std::size_t method_end = std::min(head.find_first_of(" \t\n\v\f\r", pos), head.size());
    request->method.assign(head.substr(pos, method_end - pos));
    pos = std::min(method_end + 1, head.size());
    const std::size_t blank = head.find(' ', pos);
    std::string_view path = head.substr(pos, blank == std::string_view::npos ? head.size() - pos : blank - pos);
    while (!path.empty() && is_space(path.back()))
        path.remove_suffix(1);
    request->path.assign(path);

    std::uint32_t length_announced = 0;
    if (blank != std::string_view::npos) {
        for_each_field(head.substr(blank + 1), [&](std::string_view name, std::string_view value) {
            store_field(request->headers, name, value);
            if (equals_ignoring_case(name, "Content-Length"))
                length_announced = http::content_length_value(value);
        });
    }

    if (!queue_request(s, std::move(request)))
        return length;
    if (length_announced != 0) {
        state.request_state = http_stream::request_body;
        state.request_remaining = length_announced;
    }
    return static_cast<unsigned>(head.size());
}

unsigned http_decoder::read_request_body(const std::shared_ptr<stream>& s, const char* data, unsigned length)
{
    http_stream& state = state_of(s);
    const unsigned n = std::min<std::uint32_t>(length, state.request_remaining);
    const std::uint32_t expected = state.request_remaining;
    state.request_remaining -= n;
    // Once the response has taken the request, the rest of its body has no
    // owner any more and is dropped.
    if (!state.pending.empty())
        keep_request_body(s, data, n, expected);
    if (state.request_remaining == 0)
        state.request_state = http_stream::request_head;
    return n;
}

bool http_decoder::response_line_waits(const std::shared_ptr<stream>& s, std::size_t end, std::size_t delimiter,
                                       unsigned length, unsigned& consumed)
{
    consumed = length;
    if (beyond_limit(end, delimiter, length)) {
        state_of(s).response_state = http_stream::response_unparseable;
        return true;
    }
    if (end != std::string_view::npos)
        return false;
    if (within_budget(s)) {
        consumed = 0;
        return true;
    }
    refused();
    state_of(s).response_state = http_stream::response_unparseable;
    return true;
}

unsigned http_decoder::parse_response_head(const std::shared_ptr<stream>& s, const char* data, unsigned length)
{
    const std::string_view offered(data, length);
    const std::size_t end = find_head_end(offered, state_of(s).response_searched);
    if (unsigned consumed = 0; response_line_waits(s, end, head_end.size(), length, consumed))
        return consumed;
    const std::string_view head = offered.substr(0, end + head_end.size());
    const std::size_t status_end = head.find('\n');

    http::http_response response;
    response.status = status_code(head.substr(0, status_end));
    std::uint32_t length_announced = 0;
    bool chunked = false;
    for_each_field(head.substr(status_end + 1), [&](std::string_view name, std::string_view value) {
        store_field(response.headers, name, value);
        if (equals_ignoring_case(name, "Content-Length"))
            length_announced = http::content_length_value(value);
        else if (equals_ignoring_case(name, "Transfer-Encoding"))
            chunked = value == "chunked";
    });

    http_stream& state = state_of(s);
    state.response_remaining = 0;
    // RFC 9110 section 15.2: a 1xx response is interim, the request it
    // answers still waits for its final response; 101 is final, but after
    // it the connection no longer speaks HTTP (section 7.8), so nothing more
    // on it is parsed in either direction.
    if (response.status == 101) {
        state.response_state = http_stream::response_unparseable;
        state.request_state = http_stream::request_unparseable;
        drop_waiting(state);
        return static_cast<unsigned>(head.size());
    }
    if (response.status >= 100 && response.status < 200)
        return static_cast<unsigned>(head.size());
    // Every final response head answers the oldest open request.
    std::shared_ptr<http::http_request> request = pop_oldest_request(state);
    // RFC 9112 section 6.3: a response to HEAD, a 204 and a 304 end at their
    // head whatever length they announce (a 304 often repeats the stored
    // resource's length), as an interim one does above. Taking that length
    // as a body would swallow the responses that follow.
    if ((request && request->method == "HEAD") || response.status == 204 || response.status == 304) {
        length_announced = 0;
        chunked = false;
    }
    if (length_announced != 0) {
        state.response_state = http_stream::sized_body;
        state.response_remaining = length_announced;
    } else if (chunked) {
        state.response_state = http_stream::chunk_size_line;
    }
    // The state is set before the emission so that the slots see the stream
    // as it is when the body starts.
    if (request && length_announced != 0) {
        http::http_tuple exchange;
        exchange.request = std::move(*request);
        exchange.response = std::move(response);
        exchange_signal(s->id, exchange);
    }
    return static_cast<unsigned>(head.size());
}

unsigned http_decoder::read_sized_body(const std::shared_ptr<stream>& s, const char* data, unsigned length)
{
    http_stream& state = state_of(s);
    const unsigned n = std::min<std::uint32_t>(length, state.response_remaining);
    state.response_remaining -= n;
    const bool complete = state.response_remaining == 0;
    if (complete)
        state.response_state = state.given_up ? http_stream::response_unparseable : http_stream::response_head;
    data_signal(s->id, data, n);
    if (complete)
        finished_signal(s->id);
    return n;
}

unsigned http_decoder::read_chunk_header(const std::shared_ptr<stream>& s, const char* data, unsigned length)
{
    const std::string_view offered(data, length);
    const std::size_t p = offered.find(line_end);
    http_stream& state = state_of(s);
    if (unsigned consumed = 0; response_line_waits(s, p, line_end.size(), length, consumed))
        return consumed;
    const std::uint32_t size = chunk_size(trim(offered.substr(0, p)));
    if (size != 0) {
        state.response_state = http_stream::chunk_data;
        // The chunk's data and the CR LF after it, in 32 bits.
        state.response_remaining = size > std::numeric_limits<std::uint32_t>::max() - 2
                                       ? std::numeric_limits<std::uint32_t>::max()
                                       : size + 2;
        return static_cast<unsigned>(p + line_end.size());
    }
    // The last chunk: its line, any trailer fields, and the empty line that
    // ends them (RFC 9112 section 7.1.2); without trailers the empty line
    // follows the chunk line at once. Wait until it is here, or what arrives
    // later would be read as the start of the next response head.
    const std::size_t end = offered.find(head_end, p);
    if (unsigned consumed = 0; response_line_waits(s, end, head_end.size(), length, consumed))
        return consumed;
    state.response_state = http_stream::response_head;
    return static_cast<unsigned>(end + head_end.size());
}

unsigned http_decoder::skip_chunk(const std::shared_ptr<stream>& s, const char* /*data*/, unsigned length)
{
    http_stream& state = state_of(s);
    const unsigned n = std::min<std::uint32_t>(length, state.response_remaining);
    state.response_remaining -= n;
    if (state.response_remaining == 0)
        state.response_state = http_stream::chunk_size_line;
    return n;
}

}  // namespace mediacap::decoder
