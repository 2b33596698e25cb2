// Captures the host's log lines for a test, with waits on a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "vd_common.h"

class LogCapture
{
public:
    // Installs itself as the log sink; debug lines are captured when asked.
    explicit LogCapture(bool debug = true);
    ~LogCapture();

    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> Lines() const;
    std::vector<std::string> Lines(vdLogLevel level) const;
    // True when some captured line contains the text.
    bool Contains(const std::string &text) const;
    size_t Count(const std::string &text) const;
    // Waits until a line containing the text arrives, or the deadline passes.
    bool WaitFor(const std::string &text, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    void Clear();

private:
    struct Line {
        vdLogLevel level;
        std::string text;
    };
    mutable std::mutex lock;
    mutable std::condition_variable cond;
    std::vector<Line> lines;
    bool previous_debug;
};
