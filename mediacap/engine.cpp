#include "mediacap/engine.hpp"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <exception>
#include <set>
#include <string>

#include "mediacap/decoder/http_decoder.hpp"
#include "mediacap/nids/decoder_feed.hpp"
#include "mediacap/nids/dispatcher.hpp"

namespace mediacap {

namespace {

// The web ports the capture filter watches.
constexpr std::array<std::uint16_t, 2> watched_ports{80, 8080};

}  // namespace

engine::engine(const engine_options* options, handler* owner)
    : options_(options),
      owner_(owner),
      downloader_(options->pool_size, this),
      // Only this engine's own loop is woken: once it has ended, the writer
      // that drains beside the next engine's loop leaves that loop alone.
      captures_(owner, [this] { nids::dispatcher::instance().wake(&stop_requested_); },
                options->writer_stall_limit.value_or(capture_stall_limit))
{
}

engine::~engine() = default;

void engine::run(const std::function<void()>& loop_ended)
{
    std::exception_ptr failure;
    {
        nids::options settings;
        settings.device = options_->device;
        settings.promiscuous = true;
        if (options_->capture_file)
            settings.capture_file = *options_->capture_file;
        nids::configure(settings);

        nids::dispatcher& dispatcher = nids::dispatcher::instance();
        decoder::http_decoder decoder;
        decoder.exchange_signal.connect(
            [this](unsigned id, const http::http_tuple& exchange) { on_request(id, exchange); });
        decoder.data_signal.connect(
            [this](unsigned id, const char* data, unsigned length) { on_data(id, data, length); });
        decoder.finished_signal.connect([this](unsigned id) { on_finished(id); });
        decoder.closed_signal.connect([this](unsigned id) { on_closed(id); });

        nids::decoder_feed feed(dispatcher, decoder);
        // Reports of the writer's work come also while no packet arrives.
        dispatcher.after_dispatch = [this] { captures_.deliver(); };

        try {
            dispatcher.run(std::set<std::uint16_t>(watched_ports.begin(), watched_ports.end()), &stop_requested_);
        } catch (...) {
            failure = std::current_exception();
        }
        // libnids has closed every connection still open. The feed empties
        // the loop's callbacks and the decoder, which charged the loop's
        // budget, goes with it: the loop is free for the next run.
    }
    if (loop_ended)
        loop_ended();
    // What was captured is written, and the run ends with the last report.
    captures_.drain();
    if (failure)
        std::rethrow_exception(failure);
}

void engine::stop()
{
    const auto deadline = std::chrono::steady_clock::now() + engine_stop_limit;
    stop_requested_ = true;
    captures_.stop();
    // The loop checks stop_requested_ before each dispatch; the wake ends a
    // wait for packets. A stop that comes after this run's loop has ended
    // wakes nothing: the loop running by then is another engine's.
    nids::dispatcher::instance().wake(&stop_requested_);
    downloader_.close();
    downloader_.wait_until(deadline);
    const std::lock_guard lock(reports_mutex_);
    if (reports_closed_)
        return;
    reports_closed_ = true;
    for (const unsigned id : running_downloads_)
        owner_->on_download_error(id, 0, http::downloader::cancelled_message());
    running_downloads_.clear();
}

void engine::give_up_writing()
{
    captures_.give_up_now();
}

bool engine::settled()
{
    return captures_.settled() && downloader_.wait_until(std::chrono::steady_clock::now());
}

void engine::on_request(unsigned id, const http::http_tuple& exchange)
{
    // Decoded after a stop, in the capture loop's last turn: nothing is kept
    // of it, so the owner does not decide (nor make its folder).
    if (stop_requested_) {
        captures_.deliver();
        return;
    }
    std::string path;
    const int action = owner_->on_response(exchange, path);
    if (action == handler::download) {
        // The replay fetches the whole resource, never one range of it.
        http::http_request request(exchange.request);
        http::strip_range(request);
        download_once(id, http::http_tuple(request, exchange.response), path);
    } else if (action == handler::capture) {
        begin_capture(id, exchange, path);
        return;
    }
    captures_.deliver();
}

void engine::download_once(unsigned /*id*/, const http::http_tuple& exchange, const std::string& path)
{
    // A resource is fetched once per engine, even when that fetch failed:
    // the pieces of one video share their key. Only when the filter has
    // forgotten its key (past its bounds) is it fetched again. A request
    // whose body was too large to keep whole is never replayed: it would
    // send another body than the browser did. Nor is one whose target is not a plain path:
    // sent along with the sniffed headers, it could reach another server
    // than the one it was sniffed from. Nor one whose target is too long for
    // its key to be kept at a bounded cost.
    if (exchange.request.body_truncated || exchange.request.path.size() > http::longest_replayed_target ||
        !http::is_origin_form(exchange.request.path) || filter_.contains(exchange))
        return;
    // A download dropped because the queue is full is not remembered: the
    // resource may be fetched when it is sniffed again.
    if (downloader_.download(exchange, path) != 0)
        filter_.insert(exchange);
}

void engine::begin_capture(unsigned id, const http::http_tuple& exchange, const std::string& path)
{
    captures_.begin(id, exchange, path);
}

void engine::on_data(unsigned id, const char* data, unsigned length)
{
    captures_.append(id, data, length);
}

void engine::on_finished(unsigned id)
{
    captures_.finish(id);
}

void engine::on_closed(unsigned id)
{
    captures_.close(id);
}

// Each report is made under reports_mutex_, so that once stop() has closed
// them none is under way either. Nothing under it calls on the file system:
// stop() waits for it.
void engine::on_download_started(unsigned id, const http::http_tuple& exchange, const std::string& path)
{
    const std::lock_guard lock(reports_mutex_);
    if (reports_closed_)
        return;
    running_downloads_.insert(id);
    owner_->on_download_started(id, exchange, path);
}

void engine::on_download_progress(unsigned id, unsigned total, unsigned received)
{
    const std::lock_guard lock(reports_mutex_);
    if (!reports_closed_)
        owner_->on_download_progress(id, static_cast<double>(total), static_cast<double>(received));
}

void engine::on_download_finished(unsigned id, const std::string& path)
{
    {
        const std::lock_guard lock(reports_mutex_);
        if (!reports_closed_) {
            running_downloads_.erase(id);
            owner_->on_download_finished(id, path);
            return;
        }
    }
    // Put in place after the stop reported it failed: it goes again.
    ::unlink(path.c_str());
}

void engine::on_download_error(unsigned id, int code, const std::string& message)
{
    const std::lock_guard lock(reports_mutex_);
    if (reports_closed_)
        return;
    running_downloads_.erase(id);
    owner_->on_download_error(id, code, message);
}

}  // namespace mediacap
