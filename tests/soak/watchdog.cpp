#include "soak/watchdog.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr auto check_interval = std::chrono::milliseconds(200);

}  // namespace

Watchdog::Watchdog(const SoakLog &log) : log(log), thread([this] { Run(); }) {}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

void Watchdog::Phase(const std::string &name, std::chrono::seconds limit)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        phase = name;
        deadline = std::chrono::steady_clock::now() + limit;
    }
    changed.notify_all();
}

void Watchdog::Done()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        phase.clear();
        deadline = std::chrono::steady_clock::time_point::max();
    }
    changed.notify_all();
}

void Watchdog::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "soak: FAILED: hung: %s did not end in time; latest log lines:\n", phase.c_str());
            for (const auto &line : log.Latest())
                std::fprintf(stderr, "  %s", line.c_str());
            std::fflush(stderr);
            std::_Exit(hung_status);
        }
        changed.wait_for(guard, check_interval);
    }
}
