#include "soak/rss_sampler.h"

#include <unistd.h>

#include <chrono>
#include <fstream>

namespace {

constexpr auto sample_interval = std::chrono::milliseconds(100);

}  // namespace

RssSampler::RssSampler() : thread([this] { Run(); }) {}

RssSampler::~RssSampler()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

uint64_t RssSampler::Resident()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0;
    uint64_t resident = 0;
    if (!(statm >> size >> resident))
        return 0;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t RssSampler::Peak() const
{
    std::lock_guard<std::mutex> guard(lock);
    return peak;
}

uint64_t RssSampler::Samples() const
{
    std::lock_guard<std::mutex> guard(lock);
    return samples;
}

void RssSampler::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        guard.unlock();
        const uint64_t now = Resident();
        guard.lock();
        samples++;
        if (now > peak)
            peak = now;
        wake.wait_for(guard, sample_interval, [&] { return stopping; });
    }
}
