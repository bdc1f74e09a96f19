#include "mediacap/nids/capture_thread.hpp"

#include <sched.h>

namespace nids {

namespace {

// The processors the calling thread may run on: its affinity, which taskset,
// a cpuset or a container narrows, and not the processors the machine has.
int usable_processors()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return 1;
    return CPU_COUNT(&allowed);
}

}  // namespace

raised_capture_thread::raised_capture_thread(bool raise)
{
    // On Linux, process 0 of these calls is the calling thread alone.
    sched_param earlier{};
    policy_ = ::sched_getscheduler(0);
    if (!raise || usable_processors() < 2 || policy_ < 0 || ::sched_getparam(0, &earlier) != 0)
        return;
    // A thread that runs real-time already (its owner chose so) stays as it is.
    const int policy = policy_ & ~SCHED_RESET_ON_FORK;
    if (policy == SCHED_FIFO || policy == SCHED_RR)
        return;
    priority_ = earlier.sched_priority;
    const sched_param lowest{::sched_get_priority_min(SCHED_FIFO)};
    raised_ = ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &lowest) == 0;
}

raised_capture_thread::~raised_capture_thread()
{
    if (!raised_)
        return;
    const sched_param earlier{priority_};
    ::sched_setscheduler(0, policy_, &earlier);
}

}  // namespace nids
