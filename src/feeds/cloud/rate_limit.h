// The cloud service's rate limits: reading its headers into the time before
// which a request thread makes no request, with every value range-checked
// and every delay clamped so that no server-sent number can overflow the
// clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vdfRateLimit {

using Clock = std::chrono::steady_clock;

// The longest wait a server can impose: a larger value is taken as this.
constexpr std::chrono::seconds longest_backoff{24 * 60 * 60};
// A refusal (429) that names no wait of its own.
constexpr std::chrono::seconds refused_backoff{10};
// The least wait after a refusal, whatever its headers say (one step of the
// request loop): "too many requests" is never answered with more at once.
constexpr std::chrono::seconds shortest_refused_backoff{1};
// No requests left in the window, and no reset time that says for how long.
constexpr std::chrono::seconds exhausted_backoff{5};
// A reset value above this is a Unix time in seconds, at or below a delay.
constexpr int64_t unix_time_threshold = 1000000000;

// The text's leading decimal integer (white space and a sign allowed before
// the digits); nullopt without digits or when it lies outside
// [lowest, highest].
std::optional<int64_t> LeadingInteger(std::string_view text, int64_t lowest, int64_t highest);

// seconds as a clock duration, clamped to [0, longest_backoff].
Clock::duration ClampedDelay(int64_t seconds);

// The delay a reset value asks for: a Unix time (above the threshold) less
// wall_now, or a number of seconds; never negative, at most longest_backoff.
Clock::duration ResetDelay(int64_t value, std::time_t wall_now);

// The rate-limit state of one request thread.
class Backoff
{
public:
    // Reads the headers of an answer with the given status (names in lower
    // case, visited in ascending order) and moves the backoff accordingly,
    // logging each step with tag.
    void Apply(const std::string &tag, long status, const std::map<std::string, std::string> &headers);

    // How long until requests may be made again; zero when they may now.
    Clock::duration Remaining(Clock::time_point now = Clock::now()) const;

    Clock::time_point until{};

private:
    void RetryAfter(const std::string &tag, const std::string &value);
    void Reset(const std::string &tag, const std::string &value);
    void RemainingHeader(const std::string &tag, const std::string &name, const std::string &value);
};

}  // namespace vdfRateLimit
