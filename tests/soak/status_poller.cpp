#include "soak/status_poller.h"

#include <chrono>

namespace {

constexpr auto status_interval = std::chrono::milliseconds(20);

}  // namespace

void StatusPoller::Start(vdPluginProcessor &plugin)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = false;
    }
    thread = std::thread([this, &plugin] { Run(plugin); });
}

void StatusPoller::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void StatusPoller::Run(vdPluginProcessor &plugin)
{
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        guard.unlock();
        json status;
        plugin.GetStatus(status);
        requests++;
        if (!status.is_object() || !status.contains("indicators"))
            malformed++;
        guard.lock();
        wake.wait_for(guard, status_interval, [&] { return stopping; });
    }
}
