#include "common/thread_toolkit.h"

namespace vppThread {

void StopSignal::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
    }
    cond.notify_all();
}

bool StopSignal::Stopped() const
{
    std::lock_guard<std::mutex> guard(lock);
    return stopped;
}

}  // namespace vppThread
