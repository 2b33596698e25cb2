// Large cloud answers: a request thread keeps only the flow's own member of
// an answer, so answers piling up in the plug-in's queue cost little memory
// whatever their size.
#include <fstream>
#include <functional>
#include <thread>

#include "feeds/cloud/cloud_fixture.h"

namespace {

using namespace std::chrono_literals;
using vppEventQueue::Event;

using CloudAnswerMemberTest = CloudFeedTest;

// count members of another name, each with a category of its own, every one
// followed by a comma.
std::string OtherMembers(size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; i++)
        text += "\"m" + std::to_string(i) + "\":{\"category\":{\"domain\":3,\"score\":10}},";
    return text;
}

TEST_F(CloudAnswerMemberTest, OnlyTheFlowsOwnMemberOfAnAnswerIsCarried)
{
    const std::string others = OtherMembers(2000);
    const json own = {{"category", {{"domain", 7}}}};
    struct Case {
        const char *what;
        std::function<std::string(const std::string &key)> body;
        std::optional<json> member;
    } cases[] = {
        {"after many others", [&](const std::string &key) { return "{" + others + "\"" + key + "\":" + own.dump() + "}"; },
         own},
        {"before many others",
         [&](const std::string &key) { return "{\"" + key + "\":" + own.dump() + "," + others + "\"z\":1}"; }, own},
        {"given twice: the last wins",
         [&](const std::string &key) { return "{\"" + key + "\":1," + others + "\"" + key + "\":" + own.dump() + "}"; },
         own},
        {"a scalar", [&](const std::string &key) { return "{" + others + "\"" + key + "\":null}"; }, json(nullptr)},
        {"missing", [&](const std::string &) { return "{" + others + "\"z\":1}"; }, std::nullopt},
        {"its name only nested deeper",
         [&](const std::string &key) { return "{\"x\":{\"" + key + "\":" + own.dump() + "}}"; }, std::nullopt},
    };
    StartFeed();
    uint64_t digest = 0x500;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const vdFlow::Ptr flow = Flow(++digest);
        service.Script({CloudAnswer{.body = c.body(Text(digest))}});
        Lookup(flow);
        std::optional<Event> answer = NextAnswer();
        ASSERT_TRUE(answer) << testing::PrintToString(log.Lines());
        ASSERT_TRUE(answer->Read().answer);
        EXPECT_EQ(answer->Read().answer->key, Text(digest));
        EXPECT_EQ(answer->Read().answer->value, c.member);
        // The content line shows what was kept, not the whole answer.
        const json shown = c.member ? json{{Text(digest), *c.member}} : json::object();
        EXPECT_TRUE(log.Contains("cloud_intel0: content:\n" + shown.dump() + "\n"))
            << testing::PrintToString(log.Lines());
    }
}

// The resident memory of this process at its peak, in KiB.
size_t PeakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoul(line.substr(6));
    }
    return 0;
}

// Answers of a few MB for many flows, taken by several threads while nobody
// consumes them: the queue holds every answer at once, as behind a busy
// worker. Whole parsed answers would take about ten times their text each.
TEST_F(CloudAnswerMemberTest, LargeAnswersPilingUpHoldOnlyTheirMembers)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "memory figures mean nothing under a sanitizer";
#endif
    constexpr size_t lookups = 48;
    constexpr size_t growth_limit_kib = 256 * 1024;
    const std::string others = OtherMembers(80000);  // about 4 MB
    LoopbackHttpServer large;
    large.SetHandler([&](const HttpRequest &request) {
        const std::string key = json::parse(request.body).at(0).at("digest").get<std::string>();
        HttpResponse response;
        response.headers = {{"Content-Type", "application/json"}};
        response.body = "{" + others + "\"" + key + "\":{\"category\":{\"domain\":7}}}";
        return response;
    });
    large.Start();
    config->verbosity = 0;
    Bootstrap(large.Url("/v1/flow"), "token-1");
    const size_t before = PeakResidentKiB();

    StartFeed(R"({"type": "cloud_intel", "instances": 4})");
    for (uint64_t digest = 1; digest <= lookups; digest++)
        Lookup(Flow(digest));
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (event_queue->Size() < lookups && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(event_queue->Size(), lookups) << testing::PrintToString(log.Lines());

    EXPECT_LT(PeakResidentKiB() - before, growth_limit_kib);
    std::vector<Event> answers;
    event_queue->Pop(answers, 0);
    for (const Event &answer : answers)
        EXPECT_EQ(answer.Read().answer->value, json({{"category", {{"domain", 7}}}}));
    feed.reset();
}

}  // namespace
