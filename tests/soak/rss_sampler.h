// Samples the process's resident memory on a thread of its own and keeps the
// peak, so that a soak can show its memory stays bounded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class RssSampler
{
public:
    RssSampler();
    ~RssSampler();

    // Resident bytes now, from /proc/self/statm; 0 when unreadable.
    static uint64_t Resident();
    uint64_t Peak() const;
    uint64_t Samples() const;

private:
    void Run();

    mutable std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    uint64_t peak = 0;
    uint64_t samples = 0;
    std::thread thread;
};
