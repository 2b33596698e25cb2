// What every thread of the plug-in shares: the barrier that keeps exceptions
// inside the thread, the two-step stop of a group of threads, and a wait that
// a stop cuts short.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace vppThread {

namespace detail {

// A report that throws is silenced: the barrier holds whatever happens.
template <class Report> void ReportQuietly(Report &report, const char *what) noexcept
{
    try {
        report(what);
    } catch (...) {
    }
}

}  // namespace detail

// Runs fn. A std::exception's what() or "unknown exception" goes to report;
// nothing escapes, not even from report: an exception leaving a thread of
// the plug-in would end the host process.
template <class Fn, class Report> void Guard(Fn &&fn, Report &&report) noexcept
{
    try {
        fn();
    } catch (const std::exception &e) {
        detail::ReportQuietly(report, e.what());
    } catch (...) {
        detail::ReportQuietly(report, "unknown exception");
    }
}

// Stops a group of threads in two steps: every thread is told to end before
// any is joined, so they wind down together instead of one after another.
// Takes the threads themselves or pointers to them (null ones are passed
// over); Terminate and Join must not throw, as the host's do not.
template <class Threads> void StopAll(Threads &threads)
{
    auto each = [&threads](auto &&step) {
        for (auto &item : threads) {
            if constexpr (requires { *item; }) {
                if (item != nullptr)
                    step(*item);
            } else {
                step(item);
            }
        }
    };
    each([](auto &thread) { thread.Terminate(); });
    each([](auto &thread) { thread.Join(); });
}

// A sleep between rounds of work that a stop ends at once, rather than at its
// next timeout. Stop may come from any thread, e.g. from the Terminate
// override of a vdThread subclass whose Entry sleeps in WaitFor.
class StopSignal
{
public:
    // Waits up to timeout: true when the time ran out, false (at once when
    // already stopped) once Stop was called. Any duration is accepted; a
    // very long one waits for the stop alone.
    template <class Rep, class Period> bool WaitFor(std::chrono::duration<Rep, Period> timeout)
    {
        std::unique_lock<std::mutex> guard(lock);
        if (stopped)
            return false;
        if (Unbounded(timeout)) {
            cond.wait(guard, [this] { return stopped; });
            return false;
        }
        return !cond.wait_for(guard, timeout, [this] { return stopped; });
    }

    // Wakes every waiter; later waits return false at once.
    void Stop();
    bool Stopped() const;

private:
    // Beyond this the clock arithmetic of a timed wait could overflow.
    static constexpr std::chrono::hours longest_timed_wait{24 * 365 * 100};

    template <class Rep, class Period> static bool Unbounded(std::chrono::duration<Rep, Period> timeout)
    {
        // Compared as floating seconds: converting hours::max() to the
        // clock's nanoseconds would overflow.
        using Seconds = std::chrono::duration<double>;
        return Seconds(timeout) >= Seconds(longest_timed_wait);
    }

    mutable std::mutex lock;
    std::condition_variable cond;
    bool stopped = false;
};

// The stop of the thread running here, for long reads far below the loop
// that owns the thread (a data set built at its first lookup, a cache file
// loaded with its indicator): the thread names its flag for a scope, and the
// readers ask StopRequested as they go.
class StopScope
{
public:
    explicit StopScope(const std::atomic<bool> &flag);
    ~StopScope();
    StopScope(const StopScope &) = delete;
    StopScope &operator=(const StopScope &) = delete;

private:
    const std::atomic<bool> *previous;
};

// Whether the flag of this thread's innermost StopScope is set; false on a
// thread that named none.
bool StopRequested();

// A long read's view of the stop: it gives way once the stop is asked for
// and it has run for the grace period, so that a short read (the
// configuration, a small data set the last flows need) still completes
// while a large one never holds the stop up by more than about the grace.
class ReadStop
{
public:
    static constexpr std::chrono::milliseconds grace{1000};

    ReadStop() : start(std::chrono::steady_clock::now()) {}
    bool Requested() const { return StopRequested() && std::chrono::steady_clock::now() - start >= grace; }

private:
    std::chrono::steady_clock::time_point start;
};

}  // namespace vppThread
