#include "mediacap/transfers/thread_pool.hpp"

namespace mediacap::http {

using monitor_lock = std::unique_lock<std::recursive_mutex>;

void worker_thread::create_and_attach(const std::shared_ptr<pool_core>& core)
{
    auto worker = std::make_shared<worker_thread>(core);
    // The thread keeps its worker alive until run() has reported back.
    worker->thread_ = std::thread([worker] { worker->run(); });
}

void worker_thread::join()
{
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();  // the pool was released from inside its own task
    else
        thread_.join();
}

void worker_thread::run()
{
    scope_guard guard([this] { died_unexpectedly(); });
    // A throwing task ends this worker; the guard counts it out and the core
    // starts a replacement. The exception itself goes nowhere: a task reports
    // its failures by other means.
    try {
        while (core_->execute_task()) {
        }
    } catch (...) {
        return;
    }
    guard.disarm();
    core_->worker_destructed(shared_from_this());
}

void worker_thread::died_unexpectedly()
{
    core_->worker_died_unexpectedly(shared_from_this());
}

bool resize_controller::resize(unsigned size)
{
    return core_->resize(size);
}

bool pool_core::resize(unsigned size)
{
    monitor_lock lock(monitor_);
    if (terminate_all_workers_)
        return false;
    target_worker_count_ = size;
    if (worker_count_ > target_worker_count_) {
        task_or_terminate_workers_.notify_all();
    } else {
        // The monitor stays held, so a new worker sees the raised counts.
        while (worker_count_ < target_worker_count_) {
            worker_thread::create_and_attach(shared_from_this());
            ++worker_count_;
            ++active_worker_count_;
        }
    }
    return true;
}

bool pool_core::schedule(pool_task task)
{
    {
        monitor_lock lock(monitor_);
        scheduler_.push(std::move(task));
    }
    task_or_terminate_workers_.notify_one();
    return true;
}

bool pool_core::execute_task()
{
    pool_task task;
    {
        monitor_lock lock(monitor_);
        if (worker_count_ > target_worker_count_)
            return false;
        while (scheduler_.empty()) {
            if (worker_count_ > target_worker_count_)
                return false;
            --active_worker_count_;
            worker_idle_or_terminated_.notify_all();
            task_or_terminate_workers_.wait(lock);
            ++active_worker_count_;
        }
        task = scheduler_.pop();
        // The queue shrank: a wait with a threshold may be satisfied now even
        // though no worker went idle.
        worker_idle_or_terminated_.notify_all();
    }
    if (task)
        task();
    return true;
}

void pool_core::worker_destructed(const std::shared_ptr<worker_thread>& worker)
{
    monitor_lock lock(monitor_);
    --worker_count_;
    --active_worker_count_;
    worker_idle_or_terminated_.notify_all();
    // std::thread must be joined or detached; keep every ended worker so that
    // shutdown joins its thread.
    terminated_workers_.push_back(worker);
}

void pool_core::worker_died_unexpectedly(const std::shared_ptr<worker_thread>& worker)
{
    monitor_lock lock(monitor_);
    --worker_count_;
    --active_worker_count_;
    worker_idle_or_terminated_.notify_all();
    terminated_workers_.push_back(worker);
    if (!terminate_all_workers_)
        resize(worker_count_ + 1);  // static size: replace the lost worker
}

void pool_core::wait(std::size_t threshold)
{
    monitor_lock lock(monitor_);
    if (threshold == 0) {
        worker_idle_or_terminated_.wait(lock, [this] { return active_worker_count_ == 0 && scheduler_.empty(); });
    } else {
        worker_idle_or_terminated_.wait(lock, [&] { return active_worker_count_ + scheduler_.size() <= threshold; });
    }
}

bool pool_core::wait_until(std::chrono::steady_clock::time_point deadline)
{
    monitor_lock lock(monitor_);
    return worker_idle_or_terminated_.wait_until(lock, deadline,
                                                 [this] { return active_worker_count_ == 0 && scheduler_.empty(); });
}

void pool_core::terminate_all_workers(bool wait_for_them)
{
    monitor_lock lock(monitor_);
    terminate_all_workers_ = true;
    target_worker_count_ = 0;
    task_or_terminate_workers_.notify_all();
    if (!wait_for_them)
        return;
    worker_idle_or_terminated_.wait(lock, [this] { return active_worker_count_ == 0; });
    // Idle workers still have to leave their wait and count themselves out.
    worker_idle_or_terminated_.wait(lock, [this] { return worker_count_ == 0; });
    std::vector<std::shared_ptr<worker_thread>> ended;
    ended.swap(terminated_workers_);
    lock.unlock();
    for (const auto& worker : ended)
        worker->join();
}

void pool_core::shutdown()
{
    wait(0);
    terminate_all_workers(true);
}

std::size_t pool_core::active_workers() const
{
    monitor_lock lock(monitor_);
    return active_worker_count_;
}

std::size_t pool_core::pending_tasks() const
{
    monitor_lock lock(monitor_);
    return scheduler_.size();
}

thread_pool::thread_pool(unsigned size) : core_(std::make_shared<pool_core>())
{
    // The guard owns no object; its deleter runs once the last copy of the
    // handle is gone.
    shutdown_guard_ = std::shared_ptr<void>(nullptr, [core = core_](void*) { core->shutdown(); });
    core_->resize(size);
}

bool thread_pool::schedule(pool_task task)
{
    return core_->schedule(std::move(task));
}

void thread_pool::wait(std::size_t threshold) const
{
    core_->wait(threshold);
}

}  // namespace mediacap::http
