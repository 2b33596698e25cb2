// The stop signals are blocked in every thread and taken by a thread of
// their own with sigwaitinfo, so that no plug-in thread is interrupted and
// nothing runs in a signal handler's context. On the first it records the
// signal, writes a byte to the wake pipe (a wait sees it, however late it
// starts), puts /dev/null in place of the input descriptors (a read that
// starts, or restarts, after that finds the end of input) and interrupts the
// reading thread's read, which restarts on /dev/null.
#include "stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace StopSignals {
namespace {

struct StopSignal {
    int number;
    const char *name;
};

constexpr StopSignal stop_signals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// Sent to the reading thread to interrupt its read. Its default action is
// to ignore it, so it harms nothing should it ever come from outside.
constexpr int wake_signal = SIGURG;

constexpr size_t max_input_descriptors = 4;

std::atomic<int> received{0};
std::array<std::atomic<int>, max_input_descriptors> inputs{-1, -1, -1, -1};
// Set by Install before any other thread uses them, only read after.
std::atomic<bool> installed{false};
int null_descriptor = -1;
int wake_read = -1;
int wake_write = -1;
pthread_t reading_thread;
sigset_t watched;

// The action of the InputInterrupter alive, and whether the input ended.
std::mutex interrupter_lock;
std::function<void()> interrupter;
bool input_ended = false;

void RunInterrupter()
{
    std::lock_guard<std::mutex> guard(interrupter_lock);
    input_ended = true;
    if (interrupter)
        interrupter();
}

void ReplaceWithNull(int descriptor)
{
    if (descriptor >= 0)
        dup2(null_descriptor, descriptor);
}

void EndInputs()
{
    for (auto &input : inputs)
        ReplaceWithNull(input.load());
    RunInterrupter();
    if (!pthread_equal(pthread_self(), reading_thread))
        pthread_kill(reading_thread, wake_signal);
}

void OnStopSignal(int number)
{
    int none = 0;
    if (!received.compare_exchange_strong(none, number))
        _exit(exit_status_base + number);
    const char byte = 1;
    if (write(wake_write, &byte, 1) < 0) {
        // Full: a byte is there already.
    }
    EndInputs();
}

void WatchSignals()
{
    for (;;) {
        int number = sigwaitinfo(&watched, nullptr);
        if (number > 0)
            OnStopSignal(number);
    }
}

void OnWakeSignal(int) {}

std::runtime_error SystemError(const std::string &what)
{
    return std::runtime_error("cannot prepare for signals: " + what + ": " + std::strerror(errno));
}

// A signal ignored when the replay starts (nohup ignores SIGHUP) stays
// ignored.
bool IsIgnored(int number)
{
    struct sigaction current {};
    return sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void SetWakeHandler()
{
    struct sigaction action {};
    action.sa_handler = OnWakeSignal;
    // The interrupted read restarts, and finds /dev/null.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(wake_signal, &action, nullptr) != 0)
        throw SystemError("sigaction");
}

void OpenDescriptors()
{
    // When standard input is closed, /dev/null takes its place here.
    null_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_descriptor < 0)
        throw SystemError("/dev/null");
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw SystemError("pipe2");
    wake_read = wake[0];
    wake_write = wake[1];
}

// Blocked here, the signals stay blocked in every thread started later.
void BlockStopSignals()
{
    sigemptyset(&watched);
    for (const auto &stop : stop_signals) {
        if (!IsIgnored(stop.number))
            sigaddset(&watched, stop.number);
    }
    if (int error = pthread_sigmask(SIG_BLOCK, &watched, nullptr); error != 0) {
        errno = error;
        throw SystemError("pthread_sigmask");
    }
}

}  // namespace

void Install()
{
    reading_thread = pthread_self();
    OpenDescriptors();
    signal(SIGPIPE, SIG_IGN);
    SetWakeHandler();
    BlockStopSignals();
    installed = true;
    std::thread(WatchSignals).detach();
}

int Received()
{
    return received.load();
}

std::string Name(int signal_number)
{
    for (const auto &stop : stop_signals) {
        if (stop.number == signal_number)
            return stop.name;
    }
    return "signal " + std::to_string(signal_number);
}

void EndInputOnStop(int descriptor)
{
    for (auto &input : inputs) {
        int free_slot = -1;
        if (input.compare_exchange_strong(free_slot, descriptor))
            break;
    }
    // A signal that came first has passed this descriptor by.
    if (Received())
        ReplaceWithNull(descriptor);
}

void EndInputNow()
{
    if (installed)
        EndInputs();
}

bool WaitUnlessStopped(std::chrono::duration<double> duration)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration);
    for (;;) {
        if (Received())
            return false;
        const auto now = Clock::now();
        if (now >= deadline)
            return true;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd wake{wake_read, POLLIN, 0};
        poll(&wake, 1, static_cast<int>(std::min<decltype(left)>(left, INT_MAX)));
    }
}

InputInterrupter::InputInterrupter(std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(interrupter_lock);
    interrupter = std::move(action);
    if (input_ended)
        interrupter();
}

InputInterrupter::~InputInterrupter()
{
    std::lock_guard<std::mutex> guard(interrupter_lock);
    interrupter = nullptr;
}

}  // namespace StopSignals
