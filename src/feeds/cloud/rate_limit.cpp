#include "feeds/cloud/rate_limit.h"

#include <algorithm>
#include <limits>

#include "vd_common.h"

namespace vdfRateLimit {

namespace {

constexpr int64_t int32_lowest = std::numeric_limits<int32_t>::min();
constexpr int64_t int32_highest = std::numeric_limits<int32_t>::max();
constexpr int64_t int64_lowest = std::numeric_limits<int64_t>::min();
constexpr int64_t int64_highest = std::numeric_limits<int64_t>::max();

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<int64_t> LeadingInteger(std::string_view text, int64_t lowest, int64_t highest)
{
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        at++;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    if (at >= text.size() || !IsDigit(text[at]))
        return std::nullopt;

    // Accumulated towards the bound of its sign (lowest <= 0 <= highest),
    // and refused as soon as it would pass it.
    int64_t value = 0;
    for (; at < text.size() && IsDigit(text[at]); at++) {
        const int digit = text[at] - '0';
        if (negative ? value < (lowest + digit) / 10 : value > (highest - digit) / 10)
            return std::nullopt;
        value = negative ? value * 10 - digit : value * 10 + digit;
    }
    return value;
}

Clock::duration ClampedDelay(int64_t seconds)
{
    if (seconds <= 0)
        return Clock::duration::zero();
    if (seconds >= longest_backoff.count())
        return longest_backoff;
    return std::chrono::seconds(seconds);
}

Clock::duration ResetDelay(int64_t value, std::time_t wall_now)
{
    if (value <= unix_time_threshold)
        return ClampedDelay(value);
    int64_t delay = 0;
    if (__builtin_sub_overflow(value, static_cast<int64_t>(wall_now), &delay))
        delay = wall_now < 0 ? int64_highest : int64_lowest;
    return ClampedDelay(delay);
}

void Backoff::Apply(const std::string &tag, long status, const std::map<std::string, std::string> &headers)
{
    const Clock::time_point answered = Clock::now();
    if (status == 429) {
        vd_dprintf("%s: Too Many Requests (429). Applying backoff.\n", tag.c_str());
        until = answered + refused_backoff;
    }
    for (const auto &[name, value] : headers) {
        if (name == "retry-after") {
            if (status == 429)
                RetryAfter(tag, value);
        } else if (name == "ratelimit-reset" || name == "x-ratelimit-reset") {
            Reset(tag, value);
        } else if (name == "ratelimit-remaining" || name == "x-ratelimit-remaining") {
            RemainingHeader(tag, name, value);
        }
    }
    // A Retry-After of 0 would otherwise send the refused lookup straight back.
    if (status == 429)
        until = std::max(until, answered + shortest_refused_backoff);
}

Clock::duration Backoff::Remaining(Clock::time_point now) const
{
    return until > now ? until - now : Clock::duration::zero();
}

// Replaces the backoff, later or earlier: the server names the wait itself.
// A negative wait is no wait the server could mean, and one beyond 32 bits
// is not read: the refusal's own backoff stays rather than a retry at once
// or a day's silence.
void Backoff::RetryAfter(const std::string &tag, const std::string &value)
{
    std::optional<int64_t> seconds = LeadingInteger(value, int32_lowest, int32_highest);
    if (!seconds || *seconds < 0)
        return;
    until = Clock::now() + ClampedDelay(*seconds);
    vd_dprintf("%s: Retry-After: %s seconds\n", tag.c_str(), value.c_str());
}

// Only ever extends the backoff; a reset that is due already changes nothing.
void Backoff::Reset(const std::string &tag, const std::string &value)
{
    std::optional<int64_t> reset = LeadingInteger(value, int64_lowest, int64_highest);
    if (!reset)
        return;
    const Clock::time_point now = Clock::now();
    const Clock::duration delay = ResetDelay(*reset, std::time(nullptr));
    if (delay <= Clock::duration::zero() || until >= now + delay)
        return;
    until = now + delay;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(until - now);
    vd_dprintf("%s: rate limit reset in %ld seconds\n", tag.c_str(), static_cast<long>(seconds.count()));
}

void Backoff::RemainingHeader(const std::string &tag, const std::string &name, const std::string &value)
{
    std::optional<int64_t> remaining = LeadingInteger(value, int32_lowest, int32_highest);
    if (!remaining || *remaining != 0)
        return;
    vd_dprintf("%s: rate limit reached (%s).\n", tag.c_str(), name.c_str());
    const Clock::time_point now = Clock::now();
    if (until <= now)
        until = now + exhausted_backoff;
}

}  // namespace vdfRateLimit
