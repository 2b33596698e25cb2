// The host's log for a long run: counts the lines that matter by phrase,
// keeps only the latest lines for diagnosis (memory stays bounded however
// long the run), and lets a caller wait for a phrase's count to grow.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class SoakLog
{
public:
    // Lines kept for the report of a failed run.
    static constexpr size_t kept_lines = 200;

    // Installs itself as the host's log sink (operational lines only, unless
    // debug); counts every line containing one of phrases.
    SoakLog(std::vector<std::string> phrases, bool debug);
    ~SoakLog();

    SoakLog(const SoakLog &) = delete;
    SoakLog &operator=(const SoakLog &) = delete;

    size_t Count(const std::string &phrase) const;
    // Waits until the phrase was seen more than `after` times; false at the
    // deadline.
    bool WaitBeyond(const std::string &phrase, size_t after, std::chrono::milliseconds deadline) const;
    // The latest lines, oldest first.
    std::vector<std::string> Latest() const;
    // The latest lines containing text.
    std::vector<std::string> LatestWith(const std::string &text) const;
    size_t Lines() const;

    // Echo every line to standard error as it arrives.
    void SetEcho(bool echo);

private:
    void Add(const std::string &text);

    const std::vector<std::string> phrases;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::map<std::string, size_t> counts;
    std::deque<std::string> latest;
    size_t lines = 0;
    bool echo = false;
    const std::chrono::steady_clock::time_point created = std::chrono::steady_clock::now();
    bool previous_debug;
};
