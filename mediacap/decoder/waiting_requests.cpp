#include "mediacap/decoder/http_decoder.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace mediacap::decoder {
namespace {

// What the allocator takes for a block of `size` bytes: its header, rounded up
// to 16 bytes, at least 32 (as glibc's malloc does).
std::size_t allocation(std::size_t size)
{
    return std::max<std::size_t>(32, (size + 8 + 15) & ~std::size_t(15));
}

// The heap block of a string, when it does not fit in the string itself.
std::size_t heap_bytes(const std::string& text)
{
    return text.capacity() > 15 ? allocation(text.capacity() + 1) : 0;
}

// What a waiting request takes in memory: its object (made together with its
// shared pointer's count, and its slot in the queue), its strings, and its
// header map's buckets and nodes (a node holds the name and the value).
std::size_t footprint(const http::http_request& request)
{
    std::size_t bytes = allocation(sizeof(http::http_request) + 16) + sizeof(std::shared_ptr<int>) +
                        heap_bytes(request.server_address) + heap_bytes(request.method) +
                        heap_bytes(request.path) + heap_bytes(request.body) +
                        allocation(request.headers.bucket_count() * sizeof(void*));
    for (const auto& [name, value] : request.headers)
        bytes += allocation(sizeof(void*) * 2 + sizeof name + sizeof value) + heap_bytes(name) + heap_bytes(value);
    return bytes;
}

}  // namespace

http_decoder::~http_decoder()
{
    set_budget(nullptr);
}

void http_decoder::set_budget(memory_budget* budget)
{
    if (budget_)
        budget_->forget_holders(this);
    budget_ = budget;
    if (budget_)
        budget_->set_holders(this);
}

bool http_decoder::take(const std::shared_ptr<stream>& s, std::size_t bytes)
{
    if (budget_ && !budget_->take(bytes, s->key))
        return false;
    state_of(s).charged += bytes;
    charged_ += bytes;
    return true;
}

void http_decoder::give_back(http_stream& state, std::size_t bytes)
{
    bytes = std::min(bytes, state.charged);
    state.charged -= bytes;
    charged_ -= bytes;
    if (budget_)
        budget_->charge(-static_cast<long long>(bytes));
}

bool http_decoder::within_budget(const std::shared_ptr<stream>& s)
{
    return !budget_ || budget_->make_room(0, s->key);
}

void http_decoder::refused()
{
    if (budget_)
        ++budget_->lost().grown;
}

bool http_decoder::queue_request(const std::shared_ptr<stream>& s, std::shared_ptr<http::http_request> request)
{
    http_stream& state = state_of(s);
    // A request that the budget has no room for gives the client's side up.
    if (!take(s, footprint(*request))) {
        refused();
        state.request_state = http_stream::request_unparseable;
        return false;
    }
    state.pending.push_back(std::move(request));
    return true;
}

void http_decoder::keep_request_body(const std::shared_ptr<stream>& s, const char* data, unsigned n,
                                     std::uint32_t expected)
{
    http_stream& state = state_of(s);
    // Bodies are kept for a replay only up to the connection's limit; a
    // request that lost part of its body says so.
    http::http_request& request = *state.pending.back();
    const std::size_t room = max_kept_request_bodies - std::min(state.kept_request_body, max_kept_request_bodies);
    std::size_t kept = request.body_truncated ? 0 : std::min<std::size_t>(n, room);
    if (kept > 0 && request.body.size() + kept > request.body.capacity()) {
        // Room for all of the body that can be kept, taken at once and
        // charged as the allocator takes it; without room in the budget
        // nothing more of it is kept.
        const std::size_t whole = request.body.size() + std::min<std::size_t>(expected, room);
        const std::size_t before = heap_bytes(request.body);
        const std::size_t after = allocation(std::max<std::size_t>(whole, 2 * request.body.capacity()) + 1);
        if (take(s, after - before)) {
            request.body.reserve(whole);
            // What the allocator took, should it differ from the estimate.
            const std::size_t taken = heap_bytes(request.body);
            state.charged = state.charged - after + taken;
            charged_ = charged_ - after + taken;
            if (budget_)
                budget_->charge(static_cast<long long>(taken) - static_cast<long long>(after));
        } else {
            refused();
            kept = 0;
        }
    }
    request.body.append(data, kept);
    state.kept_request_body += kept;
    if (kept < n)
        request.body_truncated = true;
}

std::shared_ptr<http::http_request> http_decoder::pop_oldest_request(http_stream& state)
{
    if (state.pending.empty())
        return nullptr;
    std::shared_ptr<http::http_request> request = std::move(state.pending.front());
    state.pending.pop_front();
    state.kept_request_body -= std::min(state.kept_request_body, request->body.size());
    give_back(state, footprint(*request));
    return request;
}

void http_decoder::drop_waiting(http_stream& state)
{
    state.pending.clear();
    state.kept_request_body = 0;
    give_back(state, state.charged);
}

void http_decoder::give_up(http_stream& state)
{
    state.given_up = true;
    state.request_state = http_stream::request_unparseable;
    // No request is left for what the server sends; a body under way is
    // still followed to its end, as the rule is that nothing being kept is
    // cut short.
    if (state.response_state != http_stream::sized_body)
        state.response_state = http_stream::response_unparseable;
    drop_waiting(state);
}

std::size_t http_decoder::reclaimable(const tuple4* sparing) const
{
    const std::shared_ptr<stream> spared = find_stream(sparing);
    const http_stream* state = spared ? std::any_cast<http_stream>(&spared->state) : nullptr;
    return charged_ - (state ? state->charged : 0);
}

void http_decoder::give_up_holders(std::size_t bytes, const tuple4* sparing)
{
    while (budget_ && budget_->used() + bytes > budget_->limit()) {
        // The most held for the longest: a connection that holds little
        // (a new exchange) or was just heard from goes on, one that queued
        // many requests and fell silent goes first.
        http_stream* victim = nullptr;
        double worst = 0;
        for (const auto& [key, s] : streams()) {
            http_stream* state = std::any_cast<http_stream>(&s->state);
            if (key == sparing || !state || state->charged == 0)
                continue;
            const double weight = double(state->charged) * double(arrivals_ - state->last_active + 1);
            if (weight > worst) {
                worst = weight;
                victim = state;
            }
        }
        if (!victim)
            return;
        ++budget_->lost().holders;
        budget_->lost().held_bytes += victim->charged;
        give_up(*victim);
    }
}

void http_decoder::time_passed(std::int64_t seconds)
{
    now_ = seconds;
    for (const auto& entry : streams()) {
        http_stream* state = std::any_cast<http_stream>(&entry.second->state);
        if (state && !state->pending.empty() && seconds - state->heard_at > max_request_wait_seconds) {
            if (budget_)
                ++budget_->lost().past_own_bound;
            give_up(*state);
        }
    }
}

}  // namespace mediacap::decoder
