#include "common/thread_toolkit.h"

namespace vppThread {

namespace {
thread_local const std::atomic<bool> *current_stop = nullptr;
}  // namespace

StopScope::StopScope(const std::atomic<bool> &flag) : previous(current_stop)
{
    current_stop = &flag;
}

StopScope::~StopScope()
{
    current_stop = previous;
}

bool StopRequested()
{
    return current_stop != nullptr && current_stop->load(std::memory_order_relaxed);
}

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
