#include "soak/soak_log.h"

#include <cstdio>

#include "vd_common.h"

SoakLog::SoakLog(std::vector<std::string> phrases, bool debug)
    : phrases(std::move(phrases)), previous_debug(vd_log_debug_enabled())
{
    vd_log_set_debug(debug);
    vd_log_set_sink([this](vdLogLevel, const std::string &text) { Add(text); });
}

SoakLog::~SoakLog()
{
    vd_log_set_sink(nullptr);
    vd_log_set_debug(previous_debug);
}

void SoakLog::Add(const std::string &text)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        lines++;
        for (const auto &phrase : phrases)
            if (text.find(phrase) != std::string::npos)
                counts[phrase]++;
        latest.push_back(text);
        if (latest.size() > kept_lines)
            latest.pop_front();
        if (echo) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - created);
            std::fprintf(stderr, "log: %8lld ms: %s%s", static_cast<long long>(elapsed.count()), text.c_str(),
                         !text.empty() && text.back() == '\n' ? "" : "\n");
        }
    }
    changed.notify_all();
}

size_t SoakLog::Count(const std::string &phrase) const
{
    std::lock_guard<std::mutex> guard(lock);
    auto found = counts.find(phrase);
    return found == counts.end() ? 0 : found->second;
}

bool SoakLog::WaitBeyond(const std::string &phrase, size_t after, std::chrono::milliseconds deadline) const
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, deadline, [&] {
        auto found = counts.find(phrase);
        return found != counts.end() && found->second > after;
    });
}

std::vector<std::string> SoakLog::Latest() const
{
    std::lock_guard<std::mutex> guard(lock);
    return {latest.begin(), latest.end()};
}

std::vector<std::string> SoakLog::LatestWith(const std::string &text) const
{
    std::vector<std::string> found;
    for (auto &line : Latest())
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    return found;
}

size_t SoakLog::Lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    return lines;
}

void SoakLog::SetEcho(bool on)
{
    std::lock_guard<std::mutex> guard(lock);
    echo = on;
}
