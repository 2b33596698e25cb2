// Ends a soak that hangs: each phase is given a deadline, and a phase still
// running past it is reported with the latest log lines before the process
// exits, instead of hanging CI.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "soak/soak_log.h"

class Watchdog
{
public:
    // Exit status of a hung soak.
    static constexpr int hung_status = 3;

    explicit Watchdog(const SoakLog &log);
    ~Watchdog();

    // Starts a phase that must end (the next Phase or Done) within deadline.
    void Phase(const std::string &name, std::chrono::seconds deadline);
    void Done();

private:
    void Run();

    const SoakLog &log;
    std::mutex lock;
    std::condition_variable changed;
    std::string phase;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    bool stopping = false;
    std::thread thread;
};
