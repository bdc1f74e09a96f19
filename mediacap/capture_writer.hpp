#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mediacap/handler.hpp"
#include "mediacap/transfers/capture_table.hpp"
#include "mediacap/http/http_tuple.hpp"

namespace mediacap {

// Bytes waiting for the writer thread, at most. The queue is made of blocks
// of capture_queue_block bytes (larger work takes a block of its own size),
// and this bounds the bytes of all blocks in use: past it the capture thread
// waits for the writer instead of holding more. A block is charged with
// everything its work holds: the body bytes and final paths it carries, each
// queued operation with its report in waiting (capture_command_cost), and
// the copy of the exchange that a started report keeps while the reports
// before it wait for the writer.
inline constexpr std::size_t capture_queue_limit = std::size_t(16) << 20;
inline constexpr std::size_t capture_queue_block = std::size_t(512) << 10;
// Queued work goes to the writer when its block is full, or when the writer
// has waited this long for it with nothing else to do.
inline constexpr int capture_hand_over_ms = 5;

// Charged for each queued operation besides the bytes it carries.
inline constexpr std::size_t capture_command_cost = 128;

// How long drain lets the writer go without a write that moves bytes to
// storage, and without completing an operation, before it gives the writer up.
inline constexpr std::chrono::milliseconds capture_stall_limit{10000};

// Writes captured bodies on a thread of its own, and reports them on the
// capture thread in the order of the capture table's operations.
//
// Every public operation is called on the capture thread (the thread in
// engine::run). begin, append, finish and close queue their work for the
// writer thread, which runs it on a capture table of its own: the temporary
// files, inflating, the pieces, putting files in place. The writer answers
// each operation with its outcome, and the capture thread turns the answers
// into the owner's capture reports: started at begin, progress or an error
// for each append, finished or an error at finish, stream closed or an error
// at close. These are the reports, in the order and with the content, that
// the capture table's operations give when called one after another on the
// capture thread; they come later in time, made by deliver (called by each
// operation here and by the engine after each turn of the capture loop) or
// by drain. A report waits for the outcomes of all the operations before it,
// so a started report whose predecessors are still being written carries a
// copy of the exchange.
//
// Each capture is reported started first, then its progress, then exactly
// one end: finished, an error, or stream closed. A capture that fails here
// without the writer (no room once stopped, a begin on its id once stopped,
// or the writer given up) has its error take its place behind the reports
// that wait, and one gate, kept per id from the started report to the end,
// drops whatever would come for a capture already ended. An id begun again
// is a new capture with a started report of its own.
//
// The writer never calls the owner: when it has answers, or has waited for
// queued work, it calls `wake` on its own thread, which the engine uses to
// wake its capture loop so that deliver runs even while no packet comes. An
// exception thrown by the owner's report is dropped; the reports after it
// still come.
//
// A stop ends capturing, not writing: from then on the capture thread never
// waits for room (work that does not fit fails its capture with code 1,
// except the small end of a capture, which is queued past the bound), and
// later begins start no capture. What was queued before is still written,
// put in place and reported, however slow the storage, as long as it makes
// progress. drain gives the writer up only when for the stall limit
// (capture_stall_limit) no write has moved a byte to storage and no
// operation has completed: stuck in the kernel on storage that hangs, say.
// A long write is progress as long as its bytes flow: files are written in
// writes of at most longest_write bytes, each one stamping the time. Each
// capture not ended by then fails with one error report (code 1), also one
// whose reports were all made; later operations start no capture. The
// writer drops the work it has not done and its open captures with their
// temporary files, and takes back a file that it put in place but whose
// report it could no longer give, so no file is left under a final name
// that was not reported finished.
class capture_writer {
public:
    // Starts the writer thread. `owner` must outlive this object; `wake` may
    // be empty.
    capture_writer(handler* owner, std::function<void()> wake,
                   std::chrono::milliseconds stall_limit = capture_stall_limit);
    // Ends the writer thread. Work not yet handed to it is dropped, and so are
    // the captures still open, with their temporary files; nothing more is
    // reported.
    ~capture_writer();

    capture_writer(const capture_writer&) = delete;
    capture_writer& operator=(const capture_writer&) = delete;

    // The capture table's operations, queued for the writer.
    void begin(unsigned id, const http::http_tuple& exchange, const std::string& path);
    void append(unsigned id, const char* data, unsigned length);
    void finish(unsigned id);
    void close(unsigned id);

    // Hands over the queued work that has waited long enough and makes the
    // reports whose outcomes are known. Never waits for the writer.
    void deliver();
    // Hands over all queued work, waits until the writer has done it, making
    // the reports as their outcomes come, and makes every report left; when
    // the writer stalls past the stall limit it gives the writer up instead
    // (see above).
    void drain();

    // Ends capturing (see above); the capture thread no longer waits for
    // room. Any thread, any number of times.
    void stop();

    // Gives the writer up as on a stall, without waiting for the stall
    // limit: the writer drops its work at once, the capture thread stops
    // waiting for room, and drain (the one running, or the next), or the next
    // deliver, makes the reports. It does not call `wake`. Any thread, any
    // number of times.
    void give_up_now();

    // True when the writer thread is idle for good: its work is done, or it
    // was given up and has dropped what it held. Any thread.
    bool settled();

    // Bytes of the queue's blocks in use now (at most capture_queue_limit,
    // or one piece of work larger than it). Any thread.
    std::size_t queued_bytes();

private:
    // The capture table's operation that a command or a report stands for;
    // `failed`, a report only: the capture failed without the writer.
    enum class operation : std::uint8_t { begin, append, finish, close, failed };
    // `data` and `length`: an append's chunk, or a begin's final path, in the
    // batch's block.
    struct command {
        operation kind;
        http::body_coding coding;
        unsigned id;
        unsigned length;
        const char* data;
        double total;
    };
    // Work handed over in one go: its commands and the block that holds the
    // bytes they carry. `charged` counts those bytes and everything else the
    // work holds (see capture_queue_limit), at most `size`.
    struct batch {
        std::vector<command> commands;
        std::size_t count = 0;
        std::unique_ptr<char[]> block;
        std::size_t size = 0;
        std::size_t used = 0;
        std::size_t charged = 0;
    };
    // The writer answers each append, finish and close with the table's
    // code, -1 when the table had no such capture; a finish that put its
    // file in place answers the file's path as well.
    struct answers {
        std::vector<int> codes;
        std::vector<std::string> paths;
    };
    struct started_report {
        http::http_tuple exchange;
        std::string path;
    };
    // A report in the making, waiting for the outcome of its operation.
    struct pending_report {
        operation kind;
        unsigned id;
        double total;
        double received;
        std::unique_ptr<started_report> started;  // for begin
    };
    struct open_capture {
        double total;
        double received;
    };
    // A first-in first-out queue that keeps its storage, so that a report
    // waiting costs no allocation of its own.
    template <typename T>
    class fifo {
    public:
        bool empty() const { return head_ == items_.size(); }
        T& front() { return items_[head_]; }
        void push_back(T item) { items_.push_back(std::move(item)); }
        void pop_front()
        {
            if (++head_ == items_.size()) {
                items_.clear();
                head_ = 0;
            } else if (head_ >= 1024 && head_ * 2 >= items_.size()) {
                items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
                head_ = 0;
            }
        }

    private:
        std::vector<T> items_;
        std::size_t head_ = 0;
    };

    command* queue(operation kind, unsigned id, const char* data, std::size_t length, std::size_t extra);
    void end(operation kind, unsigned id);
    void hand_over();
    void take_outcomes();
    void deliver_known();
    void report(const pending_report& next);
    // Through the gate: a capture's reports count only while it is live.
    void report_started(unsigned id, const http::http_tuple& exchange, const std::string& path);
    void report_end(operation kind, unsigned id, int code, const std::string& path);
    bool live(unsigned id) const { return live_.count(id) != 0; }
    // With `lock` held, while the capture thread waits: makes the reports
    // whose outcomes the writer answered meanwhile. False when there were none.
    bool report_meanwhile(std::unique_lock<std::mutex>& lock);
    // Marks the writer's progress now (see progress_at_). Either thread.
    void stamp_progress();
    bool stalled() const;
    void give_up();
    void abandon();  // with mutex_ held
    bool give_up_asked() const { return give_up_asked_.load(std::memory_order_relaxed); }
    void fail_open(unsigned id);
    void write_loop();
    void perform(command& work, answers& done);
    void wake_capture(std::unique_lock<std::mutex>& lock);

    handler* owner_;
    std::function<void()> wake_;

    // Capture thread only. A node of open_ and started reports are kept for
    // reuse, so that a capture costs no allocation of its own here.
    std::unordered_map<unsigned, open_capture> open_;
    decltype(open_)::node_type spare_node_;
    std::vector<std::unique_ptr<started_report>> spare_started_;
    std::unique_ptr<batch> filling_;
    fifo<pending_report> pending_;
    fifo<int> codes_;
    fifo<std::string> paths_;
    // The captures reported started and not yet ended, with a node kept for reuse.
    std::unordered_set<unsigned> live_;
    decltype(live_)::node_type spare_live_;
    bool given_up_ = false;  // the writer was given up: it stalled, or give_up_now

    // Shared, under mutex_.
    std::mutex mutex_;
    std::condition_variable work_;  // the writer waits for a batch
    std::condition_variable room_;  // the capture thread waits for room or for the end of the work
    std::deque<std::unique_ptr<batch>> queued_;
    std::vector<std::unique_ptr<batch>> spare_;  // emptied batches with a block of the usual size
    std::size_t held_ = 0;                       // bytes of the blocks in use
    answers answered_;
    bool writing_ = false;
    bool ending_ = false;
    bool unhanded_ = false;  // the capture thread fills a batch
    std::atomic<bool> stopping_{false};  // set under mutex_ too, for the waits
    const std::chrono::milliseconds stall_limit_;
    // When a write of the writer's files last moved bytes, or the writer last
    // completed an operation or took up work after being idle.
    write_clock progress_at_{0};
    bool abandoned_ = false;      // given up; the writer drops its work
    bool table_dropped_ = false;  // ... and has dropped it
    std::atomic<bool> abandoning_{false};  // abandoned_, read by the writer between commands
    std::atomic<bool> give_up_asked_{false};  // give_up_now was called
    std::atomic<bool> answers_ready_{false};
    std::atomic<bool> hand_over_asked_{false};

    // Writer thread only.
    std::unique_ptr<http::capture_table> table_;

    std::thread writer_;
};

}  // namespace mediacap
