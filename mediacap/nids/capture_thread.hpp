#pragma once

namespace nids {

// The capture thread's scheduling, raised for the time of a live capture.
//
// The kernel buffer holds a burst only while the thread that reads it gets a
// processor soon after each packet; a machine busy with other work (the
// application's own media programs among it) may keep an ordinary thread
// waiting for tens of milliseconds. Where the process may (CAP_SYS_NICE, as
// root, or a real-time limit of its user), the calling thread takes the
// lowest real-time priority, SCHED_FIFO 1: a packet then wakes it ahead of
// every ordinary thread, and every other real-time thread (sound servers,
// interrupt threads) still goes first. Threads that it starts meanwhile
// begin with ordinary scheduling (SCHED_RESET_ON_FORK). Without the right,
// or where the thread may run on one processor only (a machine of one
// processor, or an affinity narrowed to one by taskset, a cpuset or a
// container), nothing changes: there a capture that cannot keep up would
// leave the rest of the process only the share that the kernel keeps from
// real-time threads (5 %).
class raised_capture_thread {
public:
    // Raises the calling thread when `raise`.
    explicit raised_capture_thread(bool raise);
    // Gives the thread back the scheduling it had.
    ~raised_capture_thread();

    raised_capture_thread(const raised_capture_thread&) = delete;
    raised_capture_thread& operator=(const raised_capture_thread&) = delete;

    bool raised() const { return raised_; }

private:
    bool raised_ = false;
    int policy_ = 0;
    int priority_ = 0;
};

}  // namespace nids
