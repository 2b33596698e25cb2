// The thread toolkit on real threads: the exception barrier, the two-step
// stop of a group, and a wait that a stop ends long before its timeout.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/thread_toolkit.h"
#include "support/thread_stop.h"
#include "vd_thread.h"

namespace {

using namespace std::chrono_literals;
using vppThread::Guard;
using vppThread::StopSignal;

constexpr auto deadline = std::chrono::milliseconds(10000);

// What Guard reported, and whether fn ran to its end.
struct GuardOutcome {
    std::vector<std::string> reports;
    bool finished = false;
};

template <class Fn> GuardOutcome RunGuarded(Fn fn)
{
    GuardOutcome outcome;
    Guard(
        [&] {
            fn();
            outcome.finished = true;
        },
        [&](const char *what) { outcome.reports.push_back(what); });
    return outcome;
}

TEST(ThreadGuard, ReportsWhatWasThrownAndLetsNothingEscape)
{
    EXPECT_EQ(RunGuarded([] {}).reports, std::vector<std::string>{});
    EXPECT_TRUE(RunGuarded([] {}).finished);
    EXPECT_EQ(RunGuarded([] { throw std::runtime_error("disk full"); }).reports, std::vector<std::string>{"disk full"});
    EXPECT_EQ(RunGuarded([] { throw std::bad_alloc(); }).reports, std::vector<std::string>{"std::bad_alloc"});
    EXPECT_EQ(RunGuarded([] { throw 42; }).reports, std::vector<std::string>{"unknown exception"});
    EXPECT_EQ(RunGuarded([] { throw "text"; }).reports, std::vector<std::string>{"unknown exception"});

    // A report that throws in turn is silenced too.
    int reports = 0;
    auto failing_report = [&](const char *) {
        reports++;
        throw std::runtime_error("log closed");
    };
    EXPECT_NO_THROW(Guard([] { throw std::runtime_error("x"); }, failing_report));
    EXPECT_NO_THROW(Guard([] { throw 1; }, failing_report));
    EXPECT_EQ(reports, 2);
}

TEST(ThreadGuard, KeepsAThreadAliveThroughThrowingRounds)
{
    std::vector<std::string> reports;
    int rounds = 0;
    std::thread worker([&] {
        for (int round = 0; round < 3; round++) {
            Guard(
                [&] {
                    rounds++;
                    throw std::runtime_error("round " + std::to_string(round));
                },
                [&](const char *what) { reports.push_back(what); });
        }
    });
    worker.join();
    EXPECT_EQ(rounds, 3);
    EXPECT_EQ(reports, (std::vector<std::string>{"round 0", "round 1", "round 2"}));
}

// The kernel's view of a thread: 'S' while it sleeps in a wait.
char ThreadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto name_end = text.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= text.size() ? '?' : text[name_end + 2];
}

// True once every thread sleeps, so that a following Stop must wake them
// rather than find them not yet waiting.
bool AllAsleep(const std::vector<std::atomic<pid_t>> &tids)
{
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (const auto &tid : tids) {
        while (tid.load() == 0 || ThreadState(tid.load()) != 'S') {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::yield();
        }
    }
    return true;
}

TEST(StopSignal, StopWakesEveryWaiterLongBeforeItsTimeout)
{
    StopSignal signal;
    constexpr size_t waiters = 4;
    std::vector<std::atomic<pid_t>> tids(waiters);
    std::vector<int> results(waiters, -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < waiters; i++) {
        threads.emplace_back([&, i] {
            tids[i] = gettid();
            // Half wait an hour, half for ever.
            results[i] = i % 2 == 0 ? signal.WaitFor(1h) : signal.WaitFor(std::chrono::hours::max());
        });
    }
    ASSERT_TRUE(AllAsleep(tids)) << "the waiters never went to sleep";

    ExpectStopsWithin(
        [&] {
            signal.Stop();
            for (auto &thread : threads)
                thread.join();
        },
        deadline, "waking the waiters");
    EXPECT_EQ(results, std::vector<int>(waiters, 0));
    EXPECT_TRUE(signal.Stopped());
}

TEST(StopSignal, WaitsOutItsTimeoutUntilStoppedAndNeverAfter)
{
    StopSignal signal;
    EXPECT_FALSE(signal.Stopped());
    EXPECT_TRUE(signal.WaitFor(1ms));
    EXPECT_TRUE(signal.WaitFor(0s));
    EXPECT_TRUE(signal.WaitFor(-5s));

    signal.Stop();
    signal.Stop();
    EXPECT_FALSE(signal.WaitFor(0s));
    EXPECT_FALSE(signal.WaitFor(1h));
    EXPECT_FALSE(signal.WaitFor(std::chrono::nanoseconds::max()));
    EXPECT_FALSE(signal.WaitFor(std::chrono::duration<double, std::ratio<86400>>(1e300)));
}

// A thread in the shape the plug-in's threads take: rounds of work with a
// sleep between them, a Terminate override that ends the sleep, and a last
// step that needs every thread of its group to have been told to stop.
class Sleeper : public vdThread
{
public:
    struct Group {
        std::mutex lock;
        std::condition_variable cond;
        size_t members = 0;
        size_t terminated = 0;
        std::atomic<size_t> finished{0};
    };

    Sleeper(const std::string &tag, Group &group) : vdThread(tag), group(group)
    {
        std::lock_guard<std::mutex> guard(group.lock);
        group.members++;
    }
    ~Sleeper() override { Join(); }

    void *Entry() override
    {
        while (signal.WaitFor(1h))
            rounds++;
        // Joined one by one after its own stop, a member would wait here for
        // ever for the others.
        std::unique_lock<std::mutex> guard(group.lock);
        group.cond.wait(guard, [&] { return group.terminated == group.members; });
        group.finished++;
        return nullptr;
    }

    void Terminate() override
    {
        vdThread::Terminate();
        signal.Stop();
        {
            std::lock_guard<std::mutex> guard(group.lock);
            group.terminated++;
        }
        group.cond.notify_all();
    }

    std::atomic<int> rounds{0};

private:
    Group &group;
    StopSignal signal;
};

TEST(StopAll, TerminatesEveryThreadBeforeJoiningAny)
{
    Sleeper::Group group;
    std::vector<std::unique_ptr<Sleeper>> threads;
    for (int i = 0; i < 3; i++) {
        threads.push_back(std::make_unique<Sleeper>("sleeper-" + std::to_string(i), group));
        threads.back()->Create();
    }
    threads.push_back(nullptr);

    ExpectStopsWithin([&] { vppThread::StopAll(threads); }, deadline, "StopAll");
    EXPECT_EQ(group.finished.load(), 3u);
    for (const auto &thread : threads) {
        if (thread) {
            EXPECT_TRUE(thread->ShouldTerminate());
            EXPECT_EQ(thread->rounds.load(), 0);
        }
    }
}

TEST(StopAll, TakesTheThreadsThemselves)
{
    Sleeper::Group group;
    std::deque<Sleeper> threads;
    threads.emplace_back("first", group);
    threads.emplace_back("second", group);
    for (auto &thread : threads)
        thread.Create();

    ExpectStopsWithin([&] { vppThread::StopAll(threads); }, deadline, "StopAll");
    EXPECT_EQ(group.finished.load(), 2u);

    // Stopping again, or a group never started, returns at once.
    ExpectStopsWithin([&] { vppThread::StopAll(threads); }, deadline, "a second StopAll");
    std::vector<Sleeper *> none;
    ExpectStopsWithin([&] { vppThread::StopAll(none); }, deadline, "an empty StopAll");
}

TEST(ExpectStopsWithin, ReportsAStopThatThrows)
{
    EXPECT_NONFATAL_FAILURE(ExpectStopsWithin([] { throw std::runtime_error("join failed"); }, 10s, "the stop"),
                            "the stop threw");
}

TEST(ExpectStopsWithinDeathTest, AStopThatHangsFailsAndEndsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            StopSignal never;
            ExpectStopsWithin([&] { never.WaitFor(1h); }, 50ms, "the hanging stop");
        },
        testing::ExitedWithCode(EXIT_FAILURE), "the hanging stop did not finish within 50 ms");
}

}  // namespace
