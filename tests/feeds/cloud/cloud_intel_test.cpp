// The cloud-intel feed itself: its configuration, its request queue and
// the stop of its request threads.
#include <set>

#include "feeds/cloud/cloud_fixture.h"
#include "feeds/feed_registry.h"
#include "support/error_text.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;
using vppDataFeed::DataSource;
using vppDataFeed::DataType;

std::set<std::string> Names(const std::string &tag, unsigned count)
{
    std::set<std::string> names;
    for (unsigned i = 0; i < count; i++)
        names.insert(tag + std::to_string(i));
    return names;
}

using CloudIntelFeedTest = CloudFeedTest;

TEST_F(CloudIntelFeedTest, ConfigurationTable)
{
    struct Case {
        const char *conf;
        std::string error;
        unsigned threads = 0;
        size_t max_queue = 0;
    } cases[] = {
        {R"({"type": "cloud_intel"})", "", 1, 0},
        {R"({"type": "cloud_intel", "instances": 3, "max_queue": 2})", "", 3, 2},
        {R"({"type": "cloud_intel", "instances": true, "max_queue": true})", "", 1, 1},
        {R"({"type": "cloud_intel", "instances": 2.9})", "", 2, 0},
        {R"({"type": "cloud_intel", "instances": 64, "max_queue": 4294967295})", "", 64, 4294967295},
        {R"({"type": "cloud_intel", "instances": 0})", "cloud_intel: invalid instances; must be greater than zero"},
        {R"({"type": "cloud_intel", "instances": false})", "cloud_intel: invalid instances; must be greater than zero"},
        {R"({"type": "cloud_intel", "instances": 0.5})", "cloud_intel: invalid instances; must be greater than zero"},
        {R"({"type": "cloud_intel", "instances": "x"})", "cloud_intel: invalid unsigned parameter type: instances"},
        {R"({"type": "cloud_intel", "instances": null})", "cloud_intel: invalid unsigned parameter type: instances"},
        {R"({"type": "cloud_intel", "instances": 65})", "cloud_intel: invalid instances: 65; must be from 1 to 64"},
        {R"({"type": "cloud_intel", "instances": -1})", "cloud_intel: invalid instances: -1; must be from 1 to 64"},
        // Not wrapped into range by its low 32 bits.
        {R"({"type": "cloud_intel", "instances": 4294967297})",
         "cloud_intel: invalid instances: 4294967297; must be from 1 to 64"},
        {R"({"type": "cloud_intel", "instances": 1e30})",
         "cloud_intel: invalid instances: 1e+30; must be from 1 to 64"},
        {R"({"type": "cloud_intel", "max_queue": "x"})", "cloud_intel: invalid unsigned parameter type: max_queue"},
        {R"({"type": "cloud_intel", "max_queue": -1})",
         "cloud_intel: invalid max_queue: -1; must be from 0 to 4294967295"},
        {R"({"type": "cloud_intel", "max_queue": 4294967296})",
         "cloud_intel: invalid max_queue: 4294967296; must be from 0 to 4294967295"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.conf);
        feed.reset();
        log.Clear();
        ASSERT_EQ(ErrorText([&] { StartFeed(c.conf); }), c.error);
        if (!c.error.empty()) {
            EXPECT_EQ(feed, nullptr);
            EXPECT_FALSE(log.Contains("Request thread created"));
            continue;
        }
        EXPECT_EQ(cloud->data_source, DataSource::cloud_intel);
        EXPECT_EQ(cloud->data_type, DataType::invalid);
        EXPECT_EQ(cloud->default_score, 0u);
        EXPECT_EQ(cloud->display_name, "");
        EXPECT_EQ(cloud->event_queue, event_queue);
        EXPECT_EQ(cloud->instances, c.threads);
        EXPECT_EQ(cloud->request_queue->GetName(), "cloud_intel");
        EXPECT_EQ(cloud->request_queue->GetMaxSize(), c.max_queue);

        std::set<std::string> names;
        for (const auto &[name, thread] : cloud->request_threads) {
            names.insert(name);
            EXPECT_EQ(thread->tag, name);
            EXPECT_EQ(thread->data_source, DataSource::cloud_intel);
            EXPECT_EQ(thread->request_queue, cloud->request_queue);
            EXPECT_EQ(thread->event_queue, event_queue);
        }
        EXPECT_EQ(names, Names("cloud_intel", c.threads));
        for (const std::string &name : names)
            EXPECT_TRUE(log.WaitFor(name + ": Request thread created.")) << name;
    }
}

TEST_F(CloudIntelFeedTest, AMemberOfTheConfigurationBuildsTheFeedThroughTheTable)
{
    EXPECT_EQ(ErrorText([] {
                  vppDataFeed::Base::Create("cloud_intel", {{"type", "cloud_intel"}}, nullptr);
              }),
              "cloud_intel: error loading data feed; no event queue for the answers");

    vppDataFeed::BuildContext context{"proc-intel", "intel.json", event_queue, nullptr};
    feed = vppDataFeed::BuildMember("cloud_intel", json::parse(R"({"type": "cloud_intel", "instances": 2})"), context);
    auto *built = dynamic_cast<vdfCloudIntel *>(feed.get());
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(built->tag, "cloud_intel");
    EXPECT_EQ(built->request_threads.size(), 2u);
    EXPECT_EQ(built->event_queue, event_queue);
}

TEST_F(CloudIntelFeedTest, ABoundedQueueDropsItsOldestLookupWhileTheThreadIsBusy)
{
    StartFeed(R"({"type": "cloud_intel", "max_queue": 2})");
    service.Script({CloudAnswer{.hold = true}});
    Lookup(Flow(0xa1));
    ASSERT_TRUE(service.WaitForRequests(1));  // The one thread holds the first lookup.

    for (uint64_t digest : {0xa2, 0xa3, 0xa4})
        Lookup(Flow(digest));
    EXPECT_TRUE(log.Contains("cloud_intel: " + Text(0xa2) + ": lookup dropped: queue full (2).\n"));
    EXPECT_EQ(cloud->request_queue->Size(), 2u);
    service.Release();

    std::vector<std::string> answered;
    for (int i = 0; i < 3; i++) {
        std::optional<vppEventQueue::Event> answer = NextAnswer();
        ASSERT_TRUE(answer) << "answer " << i;
        answered.push_back(Text(answer->flow->digest));
    }
    const std::vector<std::string> expected = {Text(0xa1), Text(0xa3), Text(0xa4)};
    EXPECT_EQ(answered, expected);
    EXPECT_EQ(PostedDigests(), expected);
}

// Whatever its threads are doing, a feed's destruction (the worker's, at a
// reload) ends promptly: idle, in an exchange the server holds, or backing
// off for a day at the server's word.
TEST_F(CloudIntelFeedTest, DestructionStopsEveryThreadPromptly)
{
    const CloudAnswer refused_for_ages{.status = 429, .headers = {{"Retry-After", "2147483647"}}};
    struct Case {
        const char *what;
        const char *conf;
        std::vector<CloudAnswer> script;
        // Lines that show the threads are where the case wants them.
        std::vector<std::string> ready;
        std::string after;
    } cases[] = {
        {"idle", R"({"type": "cloud_intel", "instances": 3})", {}, {"cloud_intel2: Request thread created."}, ""},
        {"in an exchange",
         R"({"type": "cloud_intel"})",
         {CloudAnswer{.hold = true}},
         {},
         "cloud_intel0: API request error: cloud_intel0: POST " + service.Url() + ": aborted, thread terminating"},
        {"backing off for a day after a refusal",
         R"({"type": "cloud_intel", "instances": 2})",
         {refused_for_ages, refused_for_ages},
         {"cloud_intel0: Retry-After: 2147483647 seconds", "cloud_intel1: Retry-After: 2147483647 seconds"},
         ""},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        StartFeed(c.conf);
        service.Script(c.script);
        const size_t before = service.Requests().size();
        if (!c.script.empty())
            Lookup(Flow(0xb1));
        if (c.ready.empty()) {
            ASSERT_TRUE(service.WaitForRequests(before + c.script.size()));
        }
        for (const std::string &line : c.ready) {
            ASSERT_TRUE(log.WaitFor(line)) << line;
        }

        std::vector<std::string> names;
        for (const auto &[name, thread] : cloud->request_threads)
            names.push_back(name);
        ExpectStopsWithin([&] { feed.reset(); }, 3s, std::string("destroying the feed ") + c.what);
        service.Release();
        for (const std::string &name : names)
            EXPECT_TRUE(log.Contains(name + ": Exit.")) << name;
        if (!c.after.empty()) {
            EXPECT_TRUE(log.Contains(c.after)) << testing::PrintToString(log.Lines());
        }
    }
}

}  // namespace
