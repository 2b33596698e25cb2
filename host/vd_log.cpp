// Log lines go to one sink at a time, under one mutex, whole.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "vd_common.h"

namespace {

std::mutex &LogLock()
{
    static std::mutex lock;
    return lock;
}

vdLogSink &Sink()
{
    static vdLogSink sink;
    return sink;
}

std::atomic<bool> debug_enabled{false};

void Write(vdLogLevel level, const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0)
        return;
    std::string line(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, args);
    line.resize(static_cast<size_t>(length));

    std::lock_guard<std::mutex> guard(LogLock());
    if (Sink()) {
        try {
            Sink()(level, line);
        } catch (...) {
            // A failing sink must not take the logging thread down.
        }
        return;
    }
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

void vd_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    Write(vdLogLevel::operational, format, args);
    va_end(args);
}

void vd_dprintf(const char *format, ...)
{
    if (!debug_enabled.load(std::memory_order_relaxed))
        return;
    va_list args;
    va_start(args, format);
    Write(vdLogLevel::debug, format, args);
    va_end(args);
}

void vd_log_set_sink(vdLogSink sink)
{
    std::lock_guard<std::mutex> guard(LogLock());
    Sink() = std::move(sink);
}

void vd_log_set_debug(bool enabled)
{
    debug_enabled = enabled;
}

bool vd_log_debug_enabled()
{
    return debug_enabled.load();
}
