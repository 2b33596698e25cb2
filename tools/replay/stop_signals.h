// Orderly stops of the replay on SIGINT, SIGTERM and SIGHUP: the first ends
// the input and every wait, so the plug-in is stopped the normal way; a
// second ends the process at once. SIGPIPE is ignored: a write reports it.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace StopSignals {

// Statuses at exit: 128 + the signal's number, as a shell reports a signal.
constexpr int exit_status_base = 128;

// Blocks the stop signals (in this thread, and so in every thread started
// after) and starts the thread that takes them. Call once, from the thread
// that reads the input, before any other thread is started. Throws
// std::runtime_error when it cannot.
void Install();

// The first stop signal received, or 0.
int Received();

// "SIGINT", "SIGTERM" or "SIGHUP".
std::string Name(int signal_number);

// Once a stop signal arrives, descriptor reads as an empty file: a read
// waiting for more input returns end of input at once. A few descriptors
// may be given (standard input, an events file opened by path).
void EndInputOnStop(int descriptor);

// Ends the input as a stop signal does, for a stop without one (the output
// failed). Does nothing before Install.
void EndInputNow();

// While it lives, action runs once the input is ended (by a stop signal or
// EndInputNow), on the thread that ends it, or at once when the input was
// ended before: for a reader whose wait /dev/null cannot end, such as a
// poll already in progress on another thread. One at a time.
class InputInterrupter
{
public:
    explicit InputInterrupter(std::function<void()> action);
    ~InputInterrupter();

    InputInterrupter(const InputInterrupter &) = delete;
    InputInterrupter &operator=(const InputInterrupter &) = delete;
};

// Waits for the duration, or less when a stop signal arrives; false then.
bool WaitUnlessStopped(std::chrono::duration<double> duration);

}  // namespace StopSignals
