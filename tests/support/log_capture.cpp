#include "support/log_capture.h"

LogCapture::LogCapture(bool debug) : previous_debug(vd_log_debug_enabled())
{
    vd_log_set_debug(debug);
    vd_log_set_sink([this](vdLogLevel level, const std::string &text) {
        {
            std::lock_guard<std::mutex> guard(lock);
            lines.push_back({level, text});
        }
        cond.notify_all();
    });
}

LogCapture::~LogCapture()
{
    vd_log_set_sink(nullptr);
    vd_log_set_debug(previous_debug);
}

std::vector<std::string> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> out;
    for (const auto &line : lines)
        out.push_back(line.text);
    return out;
}

std::vector<std::string> LogCapture::Lines(vdLogLevel level) const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> out;
    for (const auto &line : lines)
        if (line.level == level)
            out.push_back(line.text);
    return out;
}

size_t LogCapture::Count(const std::string &text) const
{
    std::lock_guard<std::mutex> guard(lock);
    size_t count = 0;
    for (const auto &line : lines)
        if (line.text.find(text) != std::string::npos)
            count++;
    return count;
}

bool LogCapture::Contains(const std::string &text) const
{
    return Count(text) > 0;
}

bool LogCapture::WaitFor(const std::string &text, std::chrono::milliseconds deadline) const
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, deadline, [&] {
        for (const auto &line : lines)
            if (line.text.find(text) != std::string::npos)
                return true;
        return false;
    });
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> guard(lock);
    lines.clear();
}
