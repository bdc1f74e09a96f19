#include <gtest/gtest.h>

#include "mediacap/transfers/thread_pool.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using mediacap::http::thread_pool;

namespace {

constexpr auto hang_limit = std::chrono::seconds(30);

// Tasks that record when they start and end and stay running until the test
// lets them go, one permit each.
class gate {
public:
    std::function<void()> task(int number)
    {
        return [this, number] {
            std::unique_lock lock(mutex_);
            started_.push_back(number);
            log_.push_back("start " + std::to_string(number));
            max_running_ = std::max(max_running_, ++running_);
            changed_.notify_all();
            changed_.wait(lock, [this] { return permits_ > 0; });
            --permits_;
            --running_;
            log_.push_back("end " + std::to_string(number));
            ++ended_;
            changed_.notify_all();
        };
    }

    void release(int count = 1)
    {
        std::lock_guard lock(mutex_);
        permits_ += count;
        changed_.notify_all();
    }

    void note(const std::string& event)
    {
        std::lock_guard lock(mutex_);
        log_.push_back(event);
        changed_.notify_all();
    }

    // Bounded wait until `count` tasks have started.
    bool wait_started(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hang_limit, [&] { return started_.size() >= count; });
    }

    bool wait_logged(const std::string& event)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hang_limit,
                                 [&] { return std::find(log_.begin(), log_.end(), event) != log_.end(); });
    }

    bool wait_ended(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hang_limit, [&] { return ended_ >= count; });
    }

    std::vector<int> started()
    {
        std::lock_guard lock(mutex_);
        return started_;
    }
    std::vector<std::string> log()
    {
        std::lock_guard lock(mutex_);
        return log_;
    }
    int max_running()
    {
        std::lock_guard lock(mutex_);
        return max_running_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> started_;
    std::vector<std::string> log_;
    int running_ = 0;
    int max_running_ = 0;
    int permits_ = 0;
    std::size_t ended_ = 0;
};

std::size_t position(const std::vector<std::string>& log, const std::string& event)
{
    return static_cast<std::size_t>(std::find(log.begin(), log.end(), event) - log.begin());
}

}  // namespace

TEST(ThreadPool, RunsAtMostItsSizeAtOnceInScheduleOrder)
{
    gate tasks;
    thread_pool pool(3);
    for (int i = 0; i < 10; ++i)
        pool.schedule(tasks.task(i));
    ASSERT_TRUE(tasks.wait_started(3));
    EXPECT_EQ(pool.pending(), 7u) << "three workers took three tasks";

    tasks.release();
    ASSERT_TRUE(tasks.wait_started(4));
    EXPECT_EQ(pool.pending(), 6u);

    // One task at a time ends, so one worker at a time takes the next task.
    for (std::size_t started = 5; started <= 10; ++started) {
        tasks.release();
        ASSERT_TRUE(tasks.wait_started(started));
    }
    tasks.release(4);
    pool.wait();
    auto order = tasks.started();
    // The first three were taken at once; which of them noted its start first is open.
    std::sort(order.begin(), order.begin() + 3);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(tasks.max_running(), 3);
}

TEST(ThreadPool, WaitWithoutThresholdReturnsWhenEverythingEnded)
{
    thread_pool idle(4);
    idle.wait();  // nothing queued: returns once the workers are idle
    EXPECT_EQ(idle.active(), 0u);

    gate tasks;
    thread_pool pool(2);
    for (int i = 0; i < 5; ++i)
        pool.schedule(tasks.task(i));
    ASSERT_TRUE(tasks.wait_started(2));
    std::thread waiter([&] {
        pool.wait();
        tasks.note("wait returned");
    });
    tasks.release(5);
    ASSERT_TRUE(tasks.wait_logged("wait returned"));
    waiter.join();
    const auto log = tasks.log();
    for (int i = 0; i < 5; ++i)
        EXPECT_LT(position(log, "end " + std::to_string(i)), position(log, "wait returned")) << "task " << i;
}

TEST(ThreadPool, WaitWithThresholdCountsRunningAndQueuedTasks)
{
    gate tasks;
    thread_pool pool(3);
    for (int i = 0; i < 6; ++i)
        pool.schedule(tasks.task(i));
    ASSERT_TRUE(tasks.wait_started(3));
    std::thread waiter([&] {
        pool.wait(4);
        tasks.note("wait returned");
    });
    tasks.release();
    ASSERT_TRUE(tasks.wait_ended(1));
    tasks.release();
    // Two ended, four remain held: the waiter must come back now.
    const bool returned = tasks.wait_logged("wait returned");
    tasks.release(4);
    waiter.join();
    ASSERT_TRUE(returned);
    const auto log = tasks.log();
    const auto returned_at = log.begin() + position(log, "wait returned");
    EXPECT_EQ(std::count_if(log.begin(), returned_at, [](const std::string& e) { return e.rfind("end", 0) == 0; }), 2)
        << "tasks ended before the wait returned";
    pool.wait();
}

TEST(ThreadPool, AThrowingTaskIsReplacedByANewWorker)
{
    gate tasks;
    thread_pool pool(2);
    for (int i = 0; i < 3; ++i)
        pool.schedule([] { throw std::runtime_error("task failed"); });
    pool.schedule([] { throw 7; });
    pool.schedule(nullptr);  // an empty task is skipped
    pool.wait();
    for (int i = 0; i < 2; ++i)
        pool.schedule(tasks.task(i));
    ASSERT_TRUE(tasks.wait_started(2)) << "both workers are back";
    EXPECT_EQ(tasks.max_running(), 2);
    tasks.release(2);
    pool.wait();
}

TEST(ThreadPool, DestructionRunsEveryQueuedTask)
{
    std::atomic<int> done{0};
    gate first;
    {
        auto pool = std::make_unique<thread_pool>(1);
        pool->schedule(first.task(0));
        for (int i = 0; i < 20; ++i)
            pool->schedule([&done] { ++done; });
        ASSERT_TRUE(first.wait_started(1));
        EXPECT_EQ(pool->pending(), 20u);
        first.release();
        pool.reset();
    }
    EXPECT_EQ(done.load(), 20);
}
