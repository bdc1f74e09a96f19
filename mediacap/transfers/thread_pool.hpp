#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace mediacap::http {

// A task of the pool: any callable without arguments and result. An empty
// task is taken from the queue and skipped.
using pool_task = std::function<void()>;

// Runs its callable on destruction unless disarmed.
class scope_guard {
public:
    explicit scope_guard(std::function<void()> action) : action_(std::move(action)) {}
    ~scope_guard()
    {
        if (armed_)
            action_();
    }
    scope_guard(const scope_guard&) = delete;
    scope_guard& operator=(const scope_guard&) = delete;
    void disarm() { armed_ = false; }

private:
    std::function<void()> action_;
    bool armed_ = true;
};

// First in, first out: schedule appends at the back, workers take the front.
class fifo_scheduler {
public:
    void push(pool_task task) { tasks_.push_back(std::move(task)); }
    pool_task pop()
    {
        pool_task task = std::move(tasks_.front());
        tasks_.pop_front();
        return task;
    }
    bool empty() const { return tasks_.empty(); }
    std::size_t size() const { return tasks_.size(); }

private:
    std::deque<pool_task> tasks_;
};

class pool_core;

// One worker: its thread takes tasks from the core until the core tells it
// to end. Owned through a shared reference that its own thread holds too.
class worker_thread : public std::enable_shared_from_this<worker_thread> {
public:
    explicit worker_thread(std::shared_ptr<pool_core> core) : core_(std::move(core)) {}

    // Makes a worker and starts its thread. Called with the core's monitor held.
    static void create_and_attach(const std::shared_ptr<pool_core>& core);

    void join();
    void run();
    void died_unexpectedly();

private:
    std::shared_ptr<pool_core> core_;
    std::thread thread_;
};

// Sets the size of a pool.
class resize_controller {
public:
    explicit resize_controller(std::shared_ptr<pool_core> core) : core_(std::move(core)) {}
    bool resize(unsigned size);

private:
    std::shared_ptr<pool_core> core_;
};

// The shared state of a pool: queue, counters, and the two conditions, all
// under one recursive monitor. The size policy is static: a worker whose
// task threw is replaced so the pool keeps its size.
class pool_core : public std::enable_shared_from_this<pool_core> {
public:
    pool_core() = default;
    pool_core(const pool_core&) = delete;
    pool_core& operator=(const pool_core&) = delete;

    bool resize(unsigned size);
    resize_controller size_controller() { return resize_controller(shared_from_this()); }

    bool schedule(pool_task task);
    void wait(std::size_t threshold);
    // As wait(0), until `deadline` at most; false when tasks are left then.
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    void shutdown();
    void terminate_all_workers(bool wait_for_them);

    // Worker side.
    bool execute_task();
    void worker_destructed(const std::shared_ptr<worker_thread>& worker);
    void worker_died_unexpectedly(const std::shared_ptr<worker_thread>& worker);

    // For observation in tests and by the owner.
    std::size_t active_workers() const;
    std::size_t pending_tasks() const;

private:
    friend class worker_thread;

    unsigned worker_count_ = 0;
    unsigned target_worker_count_ = 0;
    unsigned active_worker_count_ = 0;
    fifo_scheduler scheduler_;
    bool terminate_all_workers_ = false;
    // Workers that ended and whose threads still have to be joined.
    std::vector<std::shared_ptr<worker_thread>> terminated_workers_;
    mutable std::recursive_mutex monitor_;
    std::condition_variable_any worker_idle_or_terminated_;
    std::condition_variable_any task_or_terminate_workers_;
};

// A fixed-size pool of worker threads over one FIFO queue. Copies share the
// pool; when the last copy goes, every queued and running task is finished
// first and then the workers are stopped and joined.
//
// schedule may be called from any thread, also from inside a task; wait and
// destruction from a thread that is not one of the workers.
class thread_pool {
public:
    explicit thread_pool(unsigned size);

    bool schedule(pool_task task);

    // threshold 0: returns when no task is queued or running. Above 0:
    // returns when running plus queued tasks are at most `threshold`.
    void wait(std::size_t threshold = 0) const;
    // As wait(0), but returns at `deadline` at the latest: false when a task
    // was still queued or running then.
    bool wait_until(std::chrono::steady_clock::time_point deadline) const { return core_->wait_until(deadline); }

    std::size_t active() const { return core_->active_workers(); }
    std::size_t pending() const { return core_->pending_tasks(); }

private:
    std::shared_ptr<pool_core> core_;
    std::shared_ptr<void> shutdown_guard_;
};

}  // namespace mediacap::http
