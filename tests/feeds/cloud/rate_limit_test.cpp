// The service's rate limits: a refused lookup is retried after the wait the
// server names, and the limit headers of any answer hold the thread back.
// Waits are checked from the server's side, by the arrival times of the
// requests.
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <set>

#include "feeds/cloud/cloud_fixture.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;
using vdfRateLimit::ClampedDelay;
using vdfRateLimit::LeadingInteger;
using vdfRateLimit::ResetDelay;

constexpr int64_t int32_max = std::numeric_limits<int32_t>::max();
constexpr int64_t int32_min = std::numeric_limits<int32_t>::min();
constexpr int64_t int64_max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64_min = std::numeric_limits<int64_t>::min();

TEST(RateLimitValues, AreReadOnlyInRangeAndDelaysClampedToADay)
{
    struct Integer {
        const char *text;
        int64_t lowest, highest;
        std::optional<int64_t> value;
    } integers[] = {
        {"3", int32_min, int32_max, 3},
        {" \t7 ", int32_min, int32_max, 7},
        {"+4", int32_min, int32_max, 4},
        {"-5", int32_min, int32_max, -5},
        {"2.9", int32_min, int32_max, 2},
        {"12abc", int32_min, int32_max, 12},
        {"abc", int32_min, int32_max, std::nullopt},
        {"", int32_min, int32_max, std::nullopt},
        {"-", int32_min, int32_max, std::nullopt},
        {"Wed, 21 Oct 2015 07:28:00 GMT", int32_min, int32_max, std::nullopt},
        {"2147483647", int32_min, int32_max, int32_max},
        {"-2147483648", int32_min, int32_max, int32_min},
        {"000000000000002147483647", int32_min, int32_max, int32_max},
        // Out of range: not read at all, rather than taken as the bound.
        {"2147483648", int32_min, int32_max, std::nullopt},
        {"-2147483649", int32_min, int32_max, std::nullopt},
        {"99999999999", int32_min, int32_max, std::nullopt},
        {"-99999999999", int32_min, int32_max, std::nullopt},
        {"9223372036854775807", int64_min, int64_max, int64_max},
        {"-9223372036854775808", int64_min, int64_max, int64_min},
        {"9223372036854775808", int64_min, int64_max, std::nullopt},
        {"99999999999999999999999", int64_min, int64_max, std::nullopt},
        {"-99999999999999999999999", int64_min, int64_max, std::nullopt},
    };
    for (const Integer &c : integers)
        EXPECT_EQ(LeadingInteger(c.text, c.lowest, c.highest), c.value) << c.text;

    const auto day = std::chrono::seconds(24 * 60 * 60);
    struct Delay {
        int64_t seconds;
        std::chrono::seconds delay;
    } delays[] = {{int64_min, 0s}, {-5, 0s}, {0, 0s}, {3, 3s}, {86400, day}, {86401, day}, {int64_max, day}};
    for (const Delay &c : delays)
        EXPECT_EQ(ClampedDelay(c.seconds), c.delay) << c.seconds;

    const std::time_t now = 1700000000;
    struct Reset {
        int64_t value;
        std::time_t wall_now;
        std::chrono::seconds delay;
    } resets[] = {
        {30, now, 30s},                // seconds
        {1000000000, now, day},        // still seconds, at most a day
        {now + 45, now, 45s},          // a Unix time ahead
        {now, now, 0s},                // due now
        {now - 10, now, 0s},           // in the past
        {100000000000, now, day},      // a hundred billion: far ahead
        {int64_max, now, day},         // the largest value
        {int64_max, -int64_max, day},  // a wall clock the subtraction overflows with
    };
    for (const Reset &c : resets)
        EXPECT_EQ(ResetDelay(c.value, c.wall_now), c.delay) << c.value << " at " << c.wall_now;
}

// The wait one answer leaves, checked on the thread's backoff itself for the
// waits too long to play through a server: the remaining time falls within
// [least, most], and the lines logged are those given (and the refusal's
// own line for a 429).
TEST(RateLimitBackoff, OneAnswerLeavesTheWaitItsHeadersAsk)
{
    LogCapture log;
    const std::string reset_ahead = std::to_string(std::time(nullptr) + 45);
    struct Case {
        const char *what;
        long status;
        std::map<std::string, std::string> headers;
        std::chrono::milliseconds least, most;
        std::vector<std::string> lines;
    } cases[] = {
        {"a refusal", 429, {}, 9s, 10s, {}},
        {"a refusal for 3 seconds", 429, {{"retry-after", "3"}}, 2s, 3s, {"t: Retry-After: 3 seconds\n"}},
        // Still one step of the request loop: never a request straight back.
        {"a refusal for no time", 429, {{"retry-after", "0"}}, 500ms, 1s, {"t: Retry-After: 0 seconds\n"}},
        {"a refusal for negative time keeps its own", 429, {{"retry-after", "-5"}}, 9s, 10s, {}},
        {"a refusal with nothing remaining keeps its own",
         429,
         {{"ratelimit-remaining", "0"}},
         9s,
         10s,
         {"t: rate limit reached (ratelimit-remaining).\n"}},
        {"a refusal whose reset comes before its wait",
         429,
         {{"retry-after", "20"}, {"x-ratelimit-reset", "5"}},
         19s,
         20s,
         {"t: Retry-After: 20 seconds\n"}},
        {"Retry-After on a delivered answer", 200, {{"retry-after", "30"}}, 0s, 0s, {}},
        {"nothing remaining",
         200,
         {{"x-ratelimit-remaining", "0"}},
         4s,
         5s,
         {"t: rate limit reached (x-ratelimit-remaining).\n"}},
        {"some remaining", 200, {{"ratelimit-remaining", "7"}}, 0s, 0s, {}},
        {"a reset in 30 seconds", 200, {{"ratelimit-reset", "30"}}, 29s, 30s, {"t: rate limit reset in 30 seconds\n"}},
        {"a reset 45 seconds ahead", 200, {{"x-ratelimit-reset", reset_ahead}}, 43s, 45s, {"t: rate limit reset in 4"}},
        {"a reset of no time", 200, {{"ratelimit-reset", "0"}}, 0s, 0s, {}},
        {"a reset beyond 64 bits is not read", 200, {{"x-ratelimit-reset", "99999999999999999999999"}}, 0s, 0s, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        vdfRateLimit::Backoff backoff;
        backoff.Apply("t", c.status, c.headers);
        const auto remaining = backoff.Remaining();
        EXPECT_GE(remaining, c.least);
        EXPECT_LE(remaining, c.most);
        std::vector<std::string> lines = c.lines;
        if (c.status == 429)
            lines.push_back("t: Too Many Requests (429). Applying backoff.\n");
        for (const std::string &line : lines)
            EXPECT_TRUE(log.Contains(line)) << line << testing::PrintToString(log.Lines());
        EXPECT_EQ(log.Lines().size(), lines.size()) << testing::PrintToString(log.Lines());
    }
}

// The first answer a case scripts, the lines it causes, and the least time
// between the first request and the next.
struct LimitCase {
    const char *name;
    // Made when the case runs, so that Unix times are taken then.
    std::function<CloudAnswer()> first;
    std::vector<std::string> lines;
    std::vector<std::string> absent;
    std::chrono::milliseconds least_gap;
    // The digests posted, by lookup: A is looked up first, then B at once.
    const char *order;
};

void PrintTo(const LimitCase &c, std::ostream *out)
{
    *out << c.name;
}

std::string UnixTimeFromNow(int seconds)
{
    return std::to_string(std::time(nullptr) + seconds);
}

class RateLimitTest : public CloudFeedTest, public ::testing::WithParamInterface<LimitCase>
{
};

// Lookups A and B are queued together for the one thread; A meets the
// scripted answer, everything after is answered normally.
TEST_P(RateLimitTest, TheThreadWaitsAsTheServerSaysAndEveryLookupIsAnswered)
{
    const LimitCase &c = GetParam();
    const vdFlow::Ptr a = Flow(0xa), b = Flow(0xb);
    StartFeed();
    service.Script({c.first()});
    Lookup(a);
    Lookup(b);

    std::set<uint64_t> answered;
    for (int i = 0; i < 2; i++) {
        std::optional<vppEventQueue::Event> answer = NextAnswer(9);
        ASSERT_TRUE(answer) << "answer " << i << testing::PrintToString(log.Lines());
        answered.insert(answer->flow->digest);
    }
    EXPECT_EQ(answered, (std::set<uint64_t>{0xa, 0xb}));

    std::vector<std::string> expected_order;
    for (const char *step = c.order; *step != '\0'; step++)
        expected_order.push_back(Text(*step == 'A' ? 0xa : 0xb));
    EXPECT_EQ(PostedDigests(), expected_order);
    std::vector<HttpRequest> requests = service.Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_GE(requests[1].received_at - requests[0].received_at, c.least_gap);

    for (const std::string &line : c.lines)
        EXPECT_TRUE(log.Contains(line)) << line << testing::PrintToString(log.Lines());
    for (const std::string &line : c.absent)
        EXPECT_FALSE(log.Contains(line)) << line;
}

const CloudAnswer refused{.status = 429};

INSTANTIATE_TEST_SUITE_P(
    Headers, RateLimitTest,
    ::testing::Values(
        // Put back behind B, and retried after the server's 2 seconds, not 10.
        LimitCase{
            "RefusedWithRetryAfter",
            [] {
                return CloudAnswer{.status = 429, .headers = {{"Retry-After", "2"}}};
            },
            {"cloud_intel0: Too Many Requests (429). Applying backoff.\n", "cloud_intel0: Retry-After: 2 seconds\n"},
            {},
            2000ms,
            "ABA"},
        // A wait of none still keeps the thread away for a second.
        LimitCase{"RefusedForNoTime",
                  [] {
                      return CloudAnswer{.status = 429, .headers = {{"Retry-After", "0"}}};
                  },
                  {"cloud_intel0: Retry-After: 0 seconds\n"},
                  {},
                  1000ms,
                  "ABA"},
        LimitCase{"RetryAfterOnADeliveredAnswerIsIgnored",
                  [] {
                      return CloudAnswer{.headers = {{"Retry-After", "30"}}};
                  },
                  {},
                  {"Retry-After", "rate limit"},
                  0ms,
                  "AB"},
        LimitCase{"ResetInSeconds",
                  [] {
                      return CloudAnswer{.headers = {{"RateLimit-Reset", "2"}}};
                  },
                  {"cloud_intel0: rate limit reset in 2 seconds\n"},
                  {},
                  2000ms,
                  "AB"},
        LimitCase{"ResetAtAFutureUnixTime",
                  [] {
                      return CloudAnswer{.headers = {{"X-RateLimit-Reset", UnixTimeFromNow(3)}}};
                  },
                  {"cloud_intel0: rate limit reset in "},
                  {},
                  2000ms,
                  "AB"},
        LimitCase{"ResetAtAPastUnixTime",
                  [] {
                      return CloudAnswer{.headers = {{"X-RateLimit-Reset", UnixTimeFromNow(-30)}}};
                  },
                  {},
                  {"rate limit"},
                  0ms,
                  "AB"},
        LimitCase{"ResetBeyond64BitsIsIgnored",
                  [] {
                      return CloudAnswer{.headers = {{"RateLimit-Reset", "99999999999999999999999"}}};
                  },
                  {},
                  {"rate limit"},
                  0ms,
                  "AB"},
        LimitCase{"ResetWithoutDigitsIsIgnored",
                  [] {
                      return CloudAnswer{.headers = {{"RateLimit-Reset", "soon"}}};
                  },
                  {},
                  {"rate limit"},
                  0ms,
                  "AB"},
        LimitCase{"NothingRemaining",
                  [] {
                      return CloudAnswer{.headers = {{"RateLimit-Remaining", "0"}}};
                  },
                  {"cloud_intel0: rate limit reached (ratelimit-remaining).\n"},
                  {"rate limit reset"},
                  5000ms,
                  "AB"},
        // The reset (read first, by name) sets 2 seconds; nothing remaining
        // then keeps that wait rather than adding its own.
        LimitCase{"NothingRemainingUntilAReset",
                  [] {
                      return CloudAnswer{.headers = {{"X-RateLimit-Remaining", "0"}, {"RateLimit-Reset", "2"}}};
                  },
                  {"cloud_intel0: rate limit reset in 2 seconds\n",
                   "cloud_intel0: rate limit reached (x-ratelimit-remaining).\n"},
                  {},
                  2000ms,
                  "AB"}),
    [](const ::testing::TestParamInfo<LimitCase> &info) { return std::string(info.param.name); });

// A thread refused without a named wait keeps away for 10 seconds; the
// lookup it put back is taken by the feed's other thread meanwhile.
TEST_F(CloudFeedTest, ARefusedLookupIsTakenByAnotherThreadWhileTheFirstBacksOff)
{
    StartFeed(R"({"type": "cloud_intel", "instances": 2})");
    service.Script({refused});
    Lookup(Flow(0xe1));

    std::optional<vppEventQueue::Event> answer = NextAnswer(5);
    ASSERT_TRUE(answer) << testing::PrintToString(log.Lines());
    EXPECT_EQ(PostedDigests(), (std::vector<std::string>{Text(0xe1), Text(0xe1)}));

    std::string refusing;
    for (const std::string &line : log.Lines()) {
        if (line.find(": Too Many Requests (429)") != std::string::npos)
            refusing = line.substr(0, line.find(':'));
    }
    ASSERT_TRUE(refusing == "cloud_intel0" || refusing == "cloud_intel1") << refusing;
    EXPECT_NE(answer->Read().data_feed, refusing);
    EXPECT_TRUE(answer->Read().data_feed == "cloud_intel0" || answer->Read().data_feed == "cloud_intel1")
        << answer->Read().data_feed;
}

// Server-sent waits beyond a day are held to a day, and even then a stop
// ends the wait at once.
TEST_F(CloudFeedTest, WaitsOfAnyLengthAreHeldToADayAndEndAtAStop)
{
    struct Case {
        const char *what;
        CloudAnswer answer;
        std::string line;
    } cases[] = {
        {"a reset a hundred billion ahead",
         {.headers = {{"X-RateLimit-Reset", "100000000000"}}},
         "cloud_intel0: rate limit reset in 86400 seconds\n"},
        {"the largest 64-bit reset",
         {.headers = {{"RateLimit-Reset", "9223372036854775807"}}},
         "cloud_intel0: rate limit reset in 86400 seconds\n"},
        {"a refusal for the largest 32-bit number of seconds",
         {.status = 429, .headers = {{"Retry-After", "2147483647"}}},
         "cloud_intel0: Retry-After: 2147483647 seconds\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        StartFeed();
        service.Script({c.answer});
        Lookup(Flow(0xf1));
        ASSERT_TRUE(log.WaitFor(c.line)) << testing::PrintToString(log.Lines());
        ExpectStopsWithin([&] { feed.reset(); }, 3s, std::string("stopping after ") + c.what);
        EXPECT_TRUE(log.Contains("cloud_intel0: Exit.\n"));
    }
}

// A Retry-After whose number does not fit 32 bits is not read: the
// refusal's own 10 seconds stay, where a day or a retry at once would
// follow from taking the number as its bound. The wait is read from the
// thread after it has stopped.
TEST_F(CloudFeedTest, ARetryAfterOutOfRangeLeavesTheRefusalsOwnWait)
{
    struct Case {
        const char *value;
        std::chrono::seconds least, most;
        bool read;
    } cases[] = {
        {"99999999999", 8s, 10s, false},
        {"-99999999999", 8s, 10s, false},
        {"2147483647", 86398s, 86400s, true},  // In range: held to a day.
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        log.Clear();
        auto request_queue = vppEventQueue::Queue::Create("cloud_intel");
        auto thread = std::make_unique<vdfVelborApiRequest>("cloud_intel0", vppDataFeed::DataSource::cloud_intel,
                                                            request_queue, event_queue);
        service.Script({CloudAnswer{.status = 429, .headers = {{"Retry-After", c.value}}}});
        thread->Create();
        request_queue->Push(FlowEvent(Flow(0xf2)));
        ASSERT_TRUE(log.WaitFor("cloud_intel0: Too Many Requests (429). Applying backoff.\n"));

        ExpectStopsWithin(
            [&] {
                thread->Terminate();
                thread->Join();
            },
            3s, "stopping the refused thread");
        const auto remaining = thread->backoff.Remaining();
        EXPECT_GE(remaining, c.least);
        EXPECT_LE(remaining, c.most);
        EXPECT_EQ(log.Contains("cloud_intel0: Retry-After: "), c.read) << testing::PrintToString(log.Lines());
        EXPECT_EQ(request_queue->Size(), 1u);
    }
}

// A refusal that asks for no wait is not answered with more requests at
// once: over three seconds a thread with refused lookups to spare makes a
// request about once a second, where it once made thousands.
TEST_F(CloudFeedTest, ARefusalForNoTimeIsRetriedOnlyAfterASecond)
{
    service.Script(std::vector<CloudAnswer>(100, CloudAnswer{.status = 429, .headers = {{"Retry-After", "0"}}}));
    StartFeed();
    for (uint64_t digest = 0xf10; digest < 0xf16; digest++)
        Lookup(Flow(digest));

    // Four requests at most fit the window: at its start, then one a second.
    EXPECT_FALSE(service.WaitForRequests(6, 3s)) << service.Requests().size() << " requests";
    const size_t requests = service.Requests().size();
    EXPECT_GE(requests, 2u);
    EXPECT_LE(requests, 5u);
    EXPECT_FALSE(NextAnswer(0).has_value());
}

}  // namespace
