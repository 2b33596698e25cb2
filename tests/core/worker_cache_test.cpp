// Indicators answered from their intel cache: the worker's turns run one at
// a time on the test thread, with a data feed that records what it is asked.
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/plugin_fixture.h"
#include "indicators/cache/intel_cache.h"
#include "support/feed_injector.h"

namespace {

using DataSource = vppDataFeed::DataSource;
using Marks = std::unordered_set<std::string>;

std::string Digest(uint64_t digest)
{
    return vd_xxh64_to_string(digest);
}

// Knows every server on port 23 to every driver. Records which driver asked
// it about a flow and which lookups it started, and answers each lookup at
// once with an empty cloud document.
class RecordingFeed : public vppDataFeed::Base
{
public:
    RecordingFeed(const std::string &tag, std::shared_ptr<vppEventQueue::Queue> queue)
        : vppDataFeed::Base(tag, "", DataSource::cloud_intel, vppDataFeed::DataType::invalid, std::move(queue))
    {
    }

    using vppDataFeed::Base::Lookup;
    bool Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &entry, const std::string &driver) override
    {
        asked.insert({driver, flow->digest});
        if (flow->upper_addr.GetPort() != 23)
            return false;
        entry.score = 70;
        return Matched(entry);
    }

    void LookupEventPush(const vppEventQueue::Event &event) override
    {
        lookups[event.flow->digest] = event.Read().cached_indicators;
        event_queue->PushLookup(event, DataSource::cloud_intel, tag, nullptr);
    }

    std::set<std::pair<std::string, uint64_t>> asked;
    // The cache marks each flow's lookup carried, by flow digest.
    std::map<uint64_t, Marks> lookups;
};

// "exit" keeps what it found in its cache; "relay", which looks only at
// large flows, asks the feed every time.
constexpr const char *cached_and_plain = R"({
  "indicator_defaults": {"criteria": {"min_bytes": 500}},
  "data_feeds": {"cloud_intel": {"type": "cloud_intel"}},
  "indicators": {
    "exit": {"indicator_driver": "tor_exit", "data_feeds": ["cloud_intel"], "proc_targets": ["audit"],
             "cache": {"flow_keys": ["other_ip", "other_port"], "max_size": 16}},
    "relay": {"indicator_driver": "tor_relay", "data_feeds": ["cloud_intel"], "proc_targets": ["audit"],
              "criteria": {"min_bytes": 2000}}
  }
})";

// "exit" alone, its cache kept in file between its indicator and the next.
std::string CachedInFile(const std::string &cache_file, const std::string &flow_keys)
{
    return R"({"data_feeds": {"cloud_intel": {"type": "cloud_intel"}},
  "indicators": {
    "exit": {"indicator_driver": "tor_exit", "data_feeds": ["cloud_intel"], "proc_targets": ["audit"],
             "cache": {"flow_keys": )" +
           flow_keys + R"(, "max_size": 16, "filename": ")" + cache_file + R"("}}
  }
})";
}

class WorkerCacheTest : public PluginHostTest
{
protected:
    WorkerCacheTest()
    {
        config.verbosity = 2;
        WriteConf(cached_and_plain);
    }

    // One worker turn over what is queued (which must not be empty, or the
    // turn waits a second for it).
    void Turn()
    {
        batch.clear();
        plugin.RunTurn(batch);
    }

    void Hand(const vdFlow::Ptr &flow)
    {
        vdFlow::Ptr handed = flow;
        plugin.DispatchProcessorEvent(vdPluginProcessor::dpi_complete, handed);
    }

    // Hands the flow in and runs the turns that evaluate it and send out
    // its intel (a flow that found nothing needs only the first).
    void Process(const vdFlow::Ptr &flow)
    {
        Hand(flow);
        Turn();
        if (plugin.queue->Size() != 0)
            Turn();
    }

    std::multiset<std::string> IndicatorsOf(uint64_t digest)
    {
        std::multiset<std::string> tags;
        for (const auto &record : out.RecordsFor(Digest(digest)))
            tags.insert(record.record["indicator"].get<std::string>());
        return tags;
    }

    static vdFlow::Ptr Large(uint64_t digest, uint16_t other_port)
    {
        vdFlow::Ptr flow = Flow(digest, other_port);
        flow->stats.total_bytes = 5000;
        return flow;
    }

    vppIndicator::Base &Indicator(const std::string &tag) { return *plugin.indicators_by_tag.at(tag); }

    RecordingFeed *feed = nullptr;
    FeedInjector cloud_row{DataSource::cloud_intel, [this](const std::string &tag, const json &, auto &context) {
                               auto built = std::make_shared<RecordingFeed>(tag, context.queue);
                               feed = built.get();
                               return built;
                           }};
    PluginProbe plugin{"proc-intel", Params()};
    std::vector<vppEventQueue::Event> batch;
};

TEST_F(WorkerCacheTest, ARepeatedServerIsAnsweredFromTheCacheWithoutAskingTheFeeds)
{
    // Flows of 1000 bytes: "exit" alone looks at them.
    Process(Flow(1, 23));
    ASSERT_NE(feed, nullptr);
    EXPECT_EQ(IndicatorsOf(1), (std::multiset<std::string>{"exit"}));
    EXPECT_EQ(feed->lookups.count(1), 1u);
    EXPECT_EQ(feed->asked, (std::set<std::pair<std::string, uint64_t>>{{"tor_exit", 1}}));
    EXPECT_EQ(Indicator("exit").stats.cache_hit.Get(), 0u);

    // Another client of the same server: answered from the cache, so no
    // lookup starts and the driver asks no feed.
    Process(Flow(2, 23));
    EXPECT_EQ(IndicatorsOf(2), (std::multiset<std::string>{"exit"}));
    EXPECT_EQ(feed->lookups.count(2), 0u);
    EXPECT_EQ(feed->asked.count({"tor_exit", 2}), 0u);
    EXPECT_EQ(Indicator("exit").stats.cache_hit.Get(), 1u);
    // Counted as evaluated all the same, and not as a new hit.
    EXPECT_EQ(Indicator("exit").stats.flows_evaluated.Get(), 2u);
    EXPECT_EQ(Indicator("exit").stats.hits.Get(), 1u);
    EXPECT_TRUE(log.Contains("exit: " + Digest(2) + ": cache hit: dpi_complete\n"));

    // The cached record is the first flow's finding, numbered anew.
    auto first = out.RecordsFor(Digest(1));
    auto second = out.RecordsFor(Digest(2));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_GT(second[0].record["id"], first[0].record["id"]);
    json renumbered = second[0].record;
    renumbered["id"] = first[0].record["id"];
    EXPECT_EQ(renumbered, first[0].record);

    // Another server is no hit.
    Process(Flow(3, 2323));
    EXPECT_EQ(feed->lookups.count(3), 1u);
    EXPECT_EQ(feed->asked.count({"tor_exit", 3}), 1u);
    EXPECT_EQ(Indicator("exit").stats.cache_hit.Get(), 1u);
}

TEST_F(WorkerCacheTest, TheCloudAnswerOfACachedFlowSkipsTheCachedIndicator)
{
    // Large flows: both indicators look at them.
    Process(Large(1, 23));
    Hand(Large(2, 23));
    Turn();  // "exit" is answered from its cache; "relay" starts the lookup
    ASSERT_NE(feed, nullptr);
    EXPECT_EQ(feed->lookups[1], Marks{});
    EXPECT_EQ(feed->lookups[2], Marks{"exit"});
    EXPECT_EQ(feed->asked.count({"tor_exit", 2}), 0u);
    EXPECT_EQ(feed->asked.count({"tor_relay", 2}), 1u);

    log.Clear();
    Turn();  // the answer comes back: only "relay" evaluates it
    EXPECT_TRUE(log.Contains("relay: " + Digest(2) + ": evaluating: dpi_complete (lookup)\n"));
    EXPECT_FALSE(log.Contains("exit: " + Digest(2) + ": evaluating"));
    EXPECT_EQ(IndicatorsOf(2), (std::multiset<std::string>{"exit", "relay"}));
    EXPECT_EQ(Indicator("relay").stats.cache_hit.Get(), 0u);
}

TEST_F(WorkerCacheTest, AnIndicatorFilteredOutIsNotAnsweredFromItsCache)
{
    Process(Flow(1, 23));
    // The same server, but a flow below min_bytes.
    vdFlow::Ptr small = Flow(2, 23);
    small->stats.total_bytes = 100;
    Process(small);
    EXPECT_TRUE(IndicatorsOf(2).empty());
    EXPECT_EQ(Indicator("exit").stats.cache_hit.Get(), 0u);
    EXPECT_EQ(Indicator("exit").stats.flows_evaluated.Get(), 2u);
}

TEST_F(WorkerCacheTest, CachedIntelOfAnotherIndicatorIsEvaluatedAnew)
{
    Process(Flow(1, 80));  // loads the configuration; nothing found
    // As a cache file kept from before the indicator was renamed leaves it.
    vppIntel::Entry foreign;
    foreign.indicator = "old_name";
    foreign.score = 99;
    Indicator("exit").cache->Insert(Flow(2, 23), foreign);

    Process(Flow(3, 23));
    auto records = out.RecordsFor(Digest(3));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].record["indicator"], "exit");
    EXPECT_EQ(records[0].record["score"], 70);
    EXPECT_EQ(feed->asked.count({"tor_exit", 3}), 1u);
    EXPECT_EQ(Indicator("exit").stats.cache_hit.Get(), 0u);
    EXPECT_TRUE(log.Contains("exit: " + Digest(3) + ": cached intel of another indicator ignored: old_name\n"));
}

// A reload builds every indicator anew; an unchanged one reads back the
// cache its predecessor saved, so the first repeated server after the
// reload is a hit. One whose flow keys changed cannot use those keys and
// starts empty.
TEST_F(WorkerCacheTest, AReloadKeepsTheCachedFlowsOfAnIndicatorWhoseKeysStayed)
{
    const std::string cache_file = dir.Path("state/exit.cache");
    WriteConf(CachedInFile(cache_file, R"(["other_ip", "other_port"])"));
    Process(Flow(1, 23));
    ASSERT_EQ(Indicator("exit").cache->CacheSize(), 1u);

    // The same configuration again.
    plugin.DispatchEvent(vdPlugin::reload, nullptr);
    Process(Flow(2, 23));
    EXPECT_EQ(log.Count("proc-intel: indicator offline: exit"), 1u);
    EXPECT_TRUE(log.Contains("exit: Loaded 1 cache entries from: " + cache_file));
    EXPECT_EQ(Indicator("exit").stats.cache_hit.Get(), 1u);
    EXPECT_EQ(feed->asked.count({"tor_exit", 2}), 0u);
    EXPECT_EQ(IndicatorsOf(2), (std::multiset<std::string>{"exit"}));

    // Keyed by the server's address alone now: nothing carried over.
    WriteConf(CachedInFile(cache_file, R"(["other_ip"])"));
    plugin.DispatchEvent(vdPlugin::reload, nullptr);
    Process(Flow(3, 23));
    EXPECT_EQ(log.Count("proc-intel: indicator offline: exit"), 2u);
    EXPECT_TRUE(log.Contains("exit: " + cache_file + ": cache flow key changed detected, load aborted."));
    EXPECT_EQ(Indicator("exit").stats.cache_hit.Get(), 0u);
    EXPECT_EQ(feed->asked.count({"tor_exit", 3}), 1u);
    EXPECT_EQ(IndicatorsOf(3), (std::multiset<std::string>{"exit"}));
    EXPECT_EQ(Indicator("exit").cache->CacheSize(), 1u) << "only the flow found since";
}

}  // namespace
