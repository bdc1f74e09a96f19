#include "mediacap/capture_writer.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <utility>

namespace mediacap {

namespace {

// Commands of one batch at most, so that a long run of small bodies is handed
// over before its block fills.
constexpr std::size_t commands_per_batch = 4096;

// Started reports kept for reuse at most, and the largest exchange (bytes of
// its strings) whose report is kept: a kept report holds the storage of the
// strings of every exchange it carried.
constexpr std::size_t started_reports_kept = 256;
constexpr std::size_t kept_exchange_bytes = 4096;

std::size_t bytes_of(const http::http_tuple& exchange)
{
    const http::http_request& request = exchange.request;
    std::size_t bytes = request.method.size() + request.path.size() + request.body.size();
    for (const auto* headers : {&request.headers, &exchange.response.headers})
        for (const auto& [name, value] : *headers)
            bytes += name.size() + value.size();
    return bytes;
}

// What a started report that waits holds: its copies of the exchange and of
// the path, with a map node for each header field.
std::size_t copy_size(const http::http_tuple& exchange, const std::string& path)
{
    constexpr std::size_t per_field = 64;
    constexpr std::size_t per_report = 256;
    return per_report + bytes_of(exchange) + path.size() +
           per_field * (exchange.request.headers.size() + exchange.response.headers.size());
}

}  // namespace

capture_writer::capture_writer(handler* owner, std::function<void()> wake, std::chrono::milliseconds stall_limit)
    : owner_(owner),
      wake_(std::move(wake)),
      stall_limit_(stall_limit),
      table_([this] {
          auto table = std::make_unique<http::capture_table>();
          table->stamp_writes(&progress_at_);
          return table;
      }()),
      writer_([this] { write_loop(); })
{
}

capture_writer::~capture_writer()
{
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    work_.notify_one();
    writer_.join();
}

void capture_writer::begin(unsigned id, const http::http_tuple& exchange, const std::string& path)
{
    deliver();
    // A capture still open on this connection is replaced (the table drops
    // it with its file): it ends with its error, before the new one starts.
    fail_open(id);
    // A started report that has to wait keeps a copy of the exchange, which
    // the queue's bound counts.
    const std::size_t copy = pending_.empty() ? 0 : copy_size(exchange, path);
    command* work = given_up_ || give_up_asked() || stopping_.load(std::memory_order_relaxed)
                        ? nullptr
                        : queue(operation::begin, id, path.data(), path.size(), copy);
    if (!work) {
        // Capturing has stopped, or the writer was given up: no capture
        // starts any more.
        return;
    }
    const http::header_map& headers = exchange.response.headers;
    const auto length = headers.find("Content-Length");
    const double total = length != headers.end() ? http::parse_content_length(length->second) : 0;
    work->coding = http::coding_of(headers);
    work->total = total;
    if (spare_node_) {
        spare_node_.key() = id;
        spare_node_.mapped() = open_capture{total, 0};
        open_.insert(std::move(spare_node_));
    } else {
        open_.emplace(id, open_capture{total, 0});
    }

    // With nothing waiting before it, it is reported at once, with the
    // caller's exchange.
    if (pending_.empty()) {
        try {
            report_started(id, exchange, path);
        } catch (...) {
        }
    } else {
        // A report kept from before keeps the storage of its strings and maps.
        std::unique_ptr<started_report> started;
        if (!spare_started_.empty()) {
            started = std::move(spare_started_.back());
            spare_started_.pop_back();
            started->exchange = exchange;
            started->path.assign(path);
        } else {
            started = std::make_unique<started_report>(started_report{exchange, path});
        }
        pending_.push_back(pending_report{operation::begin, id, 0, 0, std::move(started)});
    }
}

void capture_writer::append(unsigned id, const char* data, unsigned length)
{
    if (given_up_) {
        fail_open(id);
        return;
    }
    if (open_.find(id) == open_.end()) {
        deliver();
        return;
    }
    if (!queue(operation::append, id, data, length, 0)) {
        fail_open(id);
        return;
    }
    open_capture& capture = open_.find(id)->second;
    capture.received += length;
    pending_.push_back(pending_report{operation::append, id, capture.total, capture.received, {}});
    deliver();
}

void capture_writer::finish(unsigned id)
{
    end(operation::finish, id);
}

void capture_writer::close(unsigned id)
{
    end(operation::close, id);
}

void capture_writer::end(operation kind, unsigned id)
{
    if (open_.find(id) == open_.end()) {
        deliver();
        return;
    }
    if (given_up_ || !queue(kind, id, nullptr, 0, 0)) {
        fail_open(id);
        return;
    }
    spare_node_ = open_.extract(id);
    pending_.push_back(pending_report{kind, id, 0, 0, {}});
    deliver();
}

void capture_writer::fail_open(unsigned id)
{
    auto node = open_.extract(id);
    if (!node)
        return;
    spare_node_ = std::move(node);
    // Its started report, or its progress, may still wait: the error comes
    // after them.
    if (!pending_.empty()) {
        pending_.push_back(pending_report{operation::failed, id, 0, 0, {}});
        return;
    }
    try {
        report_end(operation::failed, id, 1, {});
    } catch (...) {
    }
}

capture_writer::command* capture_writer::queue(operation kind, unsigned id, const char* data, std::size_t length,
                                               std::size_t extra)
{
    const std::size_t charge = length + extra + capture_command_cost;
    if (filling_ && (filling_->size - filling_->charged < charge || filling_->count >= commands_per_batch))
        hand_over();
    if (!filling_) {
        const std::size_t size = std::max(charge, capture_queue_block);
        std::unique_lock lock(mutex_);
        // Past the bound the capture thread waits; work larger than the bound
        // waits until it is the only thing held. Reports whose outcomes came
        // meanwhile are made while it waits: a started report gives back its
        // copy of the exchange only then.
        while (held_ != 0 && held_ + size > capture_queue_limit) {
            // Once stopped it waits no more. The end of a capture goes past
            // the bound (by one block at most: the ends after it share it);
            // other work fails its capture. A writer given up takes nothing.
            if (give_up_asked())
                return nullptr;
            if (stopping_.load(std::memory_order_relaxed)) {
                if (kind == operation::finish || kind == operation::close)
                    break;
                return nullptr;
            }
            if (report_meanwhile(lock))
                continue;
            room_.wait(lock);
        }
        held_ += size;
        unhanded_ = true;
        if (size == capture_queue_block && !spare_.empty()) {
            filling_ = std::move(spare_.back());
            spare_.pop_back();
        }
        lock.unlock();
        work_.notify_one();
        if (!filling_) {
            filling_ = std::make_unique<batch>();
            filling_->block.reset(new char[size]);
            filling_->size = size;
        }
    }
    if (filling_->count == filling_->commands.size())
        filling_->commands.emplace_back();
    command& work = filling_->commands[filling_->count++];
    work.kind = kind;
    work.id = id;
    work.data = filling_->block.get() + filling_->used;
    work.length = static_cast<unsigned>(length);
    if (length > 0)
        std::memcpy(filling_->block.get() + filling_->used, data, length);
    filling_->used += length;
    filling_->charged += charge;
    return &work;
}

bool capture_writer::report_meanwhile(std::unique_lock<std::mutex>& lock)
{
    if (!answers_ready_.load(std::memory_order_acquire))
        return false;
    lock.unlock();
    take_outcomes();
    deliver_known();
    lock.lock();
    return true;
}

void capture_writer::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_.store(true, std::memory_order_relaxed);
    }
    room_.notify_all();
}

bool capture_writer::settled()
{
    const std::lock_guard lock(mutex_);
    return !writing_ && queued_.empty() && (!abandoned_ || table_dropped_);
}

void capture_writer::hand_over()
{
    if (!filling_)
        return;
    {
        const std::lock_guard lock(mutex_);
        // An idle writer's time to progress runs from now.
        if (!writing_ && queued_.empty())
            stamp_progress();
        queued_.push_back(std::move(filling_));
        unhanded_ = false;
        hand_over_asked_.store(false, std::memory_order_relaxed);
    }
    work_.notify_one();
}

void capture_writer::take_outcomes()
{
    if (!answers_ready_.load(std::memory_order_acquire))
        return;
    answers taken;
    {
        const std::lock_guard lock(mutex_);
        std::swap(taken, answered_);
        answers_ready_.store(false, std::memory_order_relaxed);
    }
    for (const int code : taken.codes)
        codes_.push_back(code);
    for (std::string& path : taken.paths)
        paths_.push_back(std::move(path));
}

void capture_writer::deliver()
{
    if (give_up_asked() && !given_up_) {
        give_up();
        return;
    }
    deliver_known();
}

void capture_writer::deliver_known()
{
    if (hand_over_asked_.load(std::memory_order_relaxed))
        hand_over();
    while (!pending_.empty()) {
        const operation kind = pending_.front().kind;
        if (kind != operation::begin && kind != operation::failed && codes_.empty()) {
            take_outcomes();
            if (codes_.empty())
                return;
        }
        pending_report next = std::move(pending_.front());
        pending_.pop_front();
        try {
            report(next);
        } catch (...) {
            // The owner's failure is its own; the captures go on.
        }
        if (next.started && spare_started_.size() < started_reports_kept &&
            bytes_of(next.started->exchange) + next.started->path.size() <= kept_exchange_bytes)
            spare_started_.push_back(std::move(next.started));
    }
}

void capture_writer::report(const pending_report& next)
{
    if (next.kind == operation::begin) {
        report_started(next.id, next.started->exchange, next.started->path);
        return;
    }
    if (next.kind == operation::failed) {
        report_end(operation::failed, next.id, 1, {});
        return;
    }
    const int code = codes_.front();
    codes_.pop_front();
    if (code < 0)
        return;
    if (code == 0 && next.kind == operation::append) {
        if (live(next.id))
            owner_->on_capture_progress(next.id, next.total, next.received);
        return;
    }
    std::string path;
    if (code == 0 && next.kind == operation::finish) {
        path = std::move(paths_.front());
        paths_.pop_front();
    }
    report_end(next.kind, next.id, code, path);
}

void capture_writer::report_started(unsigned id, const http::http_tuple& exchange, const std::string& path)
{
    if (!live(id)) {
        if (spare_live_) {
            spare_live_.value() = id;
            live_.insert(std::move(spare_live_));
        } else {
            live_.insert(id);
        }
    }
    owner_->on_capture_started(id, exchange, path);
}

void capture_writer::report_end(operation kind, unsigned id, int code, const std::string& path)
{
    auto node = live_.extract(id);
    if (!node) {
        // Ended already: a file put in place for it would lie under a final
        // name that is never reported finished.
        if (!path.empty())
            ::unlink(path.c_str());
        return;
    }
    spare_live_ = std::move(node);
    if (code != 0)
        owner_->on_capture_error(id, code, "");
    else if (kind == operation::finish)
        owner_->on_capture_finished(id, path);
    else
        owner_->on_capture_stream_closed(id);
}

std::size_t capture_writer::queued_bytes()
{
    const std::lock_guard lock(mutex_);
    return held_;
}

void capture_writer::write_loop()
{
    ::pthread_setname_np(::pthread_self(), "capture-writer");
    answers done;
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return !queued_.empty() || ending_ || unhanded_ || abandoned_; });
        if (ending_)
            return;
        if (abandoned_) {
            // Given up: the open captures go with their temporary files. On
            // storage that hangs that may take long, so it is done here.
            if (!table_dropped_) {
                writing_ = true;
                lock.unlock();
                table_.reset();
                lock.lock();
                table_dropped_ = true;
                writing_ = false;
                room_.notify_all();
            }
            work_.wait(lock, [&] { return ending_; });
            return;
        }
        if (queued_.empty()) {
            // The capture thread is filling a batch: give it the time to fill
            // its block, then ask for what it has.
            const auto handed = [&] { return !queued_.empty() || ending_ || abandoned_; };
            if (!work_.wait_for(lock, std::chrono::milliseconds(capture_hand_over_ms), handed)) {
                hand_over_asked_.store(true, std::memory_order_relaxed);
                wake_capture(lock);
                work_.wait(lock, handed);
            }
            continue;
        }
        std::unique_ptr<batch> work = std::move(queued_.front());
        queued_.pop_front();
        writing_ = true;
        lock.unlock();

        // Each operation completed is progress, as is each write that moved
        // bytes (the table's files stamp progress_at_ themselves).
        stamp_progress();
        for (std::size_t i = 0; i < work->count && !abandoning_.load(std::memory_order_relaxed); ++i) {
            perform(work->commands[i], done);
            stamp_progress();
        }
        work->count = 0;
        work->used = 0;
        work->charged = 0;

        lock.lock();
        if (abandoned_) {
            // The capture thread no longer takes answers and has reported
            // these captures failed: a file put in place meanwhile goes.
            for (const std::string& path : done.paths)
                ::unlink(path.c_str());
        } else {
            answered_.codes.insert(answered_.codes.end(), done.codes.begin(), done.codes.end());
            std::move(done.paths.begin(), done.paths.end(), std::back_inserter(answered_.paths));
            answers_ready_.store(true, std::memory_order_release);
        }
        done.codes.clear();
        done.paths.clear();
        held_ -= work->size;
        if (work->size == capture_queue_block)
            spare_.push_back(std::move(work));
        writing_ = false;
        room_.notify_all();
        wake_capture(lock);
    }
}

void capture_writer::wake_capture(std::unique_lock<std::mutex>& lock)
{
    if (!wake_)
        return;
    lock.unlock();
    wake_();
    lock.lock();
}

void capture_writer::perform(command& work, answers& done)
{
    int code = 0;
    switch (work.kind) {
    case operation::begin:
        table_->begin(work.id, std::string(work.data, work.length), work.coding, work.total);
        return;
    case operation::append:
        if (!table_->append(work.id, work.data, work.length, code))
            code = -1;
        break;
    case operation::finish: {
        std::string path;
        if (!table_->finish(work.id, code, path))
            code = -1;
        else if (code == 0)
            done.paths.push_back(std::move(path));
        break;
    }
    case operation::close:
        if (!table_->close(work.id, code))
            code = -1;
        break;
    case operation::failed:
        return;
    }
    done.codes.push_back(code);
}

}  // namespace mediacap
