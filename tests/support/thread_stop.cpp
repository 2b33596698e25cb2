#include "support/thread_stop.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// Shared with the helper thread, which may outlive the caller's frame.
struct StopState {
    std::mutex lock;
    std::condition_variable cond;
    bool done = false;
    std::string error;
};

void RunStop(const std::shared_ptr<StopState> &state, const std::function<void()> &stop)
{
    std::string error;
    try {
        stop();
    } catch (const std::exception &e) {
        error = e.what();
    } catch (...) {
        error = "unknown exception";
    }
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->done = true;
        state->error = error;
    }
    state->cond.notify_all();
}

}  // namespace

void ExpectStopsWithin(const std::function<void()> &stop, std::chrono::milliseconds deadline, const std::string &what)
{
    auto state = std::make_shared<StopState>();
    std::thread runner(RunStop, state, stop);

    std::unique_lock<std::mutex> guard(state->lock);
    if (state->cond.wait_for(guard, deadline, [&] { return state->done; })) {
        guard.unlock();
        runner.join();
        EXPECT_EQ(state->error, "") << what << " threw";
        return;
    }
    guard.unlock();
    ADD_FAILURE() << what << " did not finish within " << deadline.count() << " ms";
    std::fprintf(stderr, "%s did not finish within %lld ms; ending the test program\n", what.c_str(),
                 static_cast<long long>(deadline.count()));
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}
