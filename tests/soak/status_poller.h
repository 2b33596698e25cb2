// Asks the plug-in for its status document throughout a run, as the host's
// status requests do, from a thread of its own; counts documents that are
// not JSON objects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "vd_plugin.h"

class StatusPoller
{
public:
    void Start(vdPluginProcessor &plugin);
    void Stop();
    ~StatusPoller() { Stop(); }

    uint64_t Requests() const { return requests.load(); }
    uint64_t Malformed() const { return malformed.load(); }

private:
    void Run(vdPluginProcessor &plugin);

    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> malformed{0};
};
