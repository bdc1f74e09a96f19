#include "mediacap/capture_writer.hpp"

#include <chrono>
#include <mutex>
#include <utility>

namespace mediacap {

void capture_writer::stamp_progress()
{
    progress_at_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

bool capture_writer::stalled() const
{
    const std::chrono::steady_clock::time_point since{
        std::chrono::steady_clock::duration(progress_at_.load(std::memory_order_relaxed))};
    return std::chrono::steady_clock::now() - since >= stall_limit_;
}

void capture_writer::drain()
{
    if (given_up_)
        return;
    if (give_up_asked()) {
        give_up();
        return;
    }
    hand_over();
    {
        std::unique_lock lock(mutex_);
        while (!queued_.empty() || writing_) {
            // The reports come as the backlog is written, not all at its end.
            if (report_meanwhile(lock))
                continue;
            if (give_up_asked() || stalled()) {
                lock.unlock();
                give_up();
                return;
            }
            const std::chrono::steady_clock::time_point since{
                std::chrono::steady_clock::duration(progress_at_.load(std::memory_order_relaxed))};
            room_.wait_until(lock, since + stall_limit_);
        }
    }
    deliver();
}

void capture_writer::give_up_now()
{
    {
        const std::lock_guard lock(mutex_);
        if (give_up_asked_.exchange(true, std::memory_order_relaxed))
            return;
        // The writer stops now, whenever the capture thread comes to report.
        abandon();
    }
    work_.notify_one();
    room_.notify_all();
}

void capture_writer::abandon()
{
    abandoned_ = true;
    abandoning_.store(true, std::memory_order_relaxed);
    // The outcomes answered so far are real; nothing after them will be.
    answers_ready_.store(true, std::memory_order_relaxed);
    for (const auto& work : queued_)
        held_ -= work->size;
    queued_.clear();
}

void capture_writer::give_up()
{
    {
        const std::lock_guard lock(mutex_);
        abandon();
    }
    work_.notify_one();
    if (filling_) {
        const std::lock_guard lock(mutex_);
        held_ -= filling_->size;
        unhanded_ = false;
    }
    filling_.reset();
    hand_over_asked_.store(false, std::memory_order_relaxed);
    take_outcomes();
    given_up_ = true;

    // The reports whose outcomes are known are made as usual; the others
    // end their captures with an error, which the gate lets through once for
    // each capture (a capture begun again after it has its own).
    while (!pending_.empty()) {
        pending_report next = std::move(pending_.front());
        pending_.pop_front();
        try {
            if (next.kind == operation::begin || next.kind == operation::failed || !codes_.empty())
                report(next);
            else
                report_end(operation::failed, next.id, 1, {});
        } catch (...) {
        }
    }
    // The writer keeps nothing of the captures still open, also of those
    // whose reports were all made: they fail now, not at their next packet.
    while (!live_.empty()) {
        try {
            report_end(operation::failed, *live_.begin(), 1, {});
        } catch (...) {
        }
    }
    open_.clear();
}

}  // namespace mediacap
