// The plug-in loaded through its library and driven as the host drives it:
// flows in, numbered intel records out, reloads, restarts and status.
#include <atomic>
#include <ctime>
#include <thread>

#include "core/plugin_fixture.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;

// Three custom indicators: "cleartext" runs before "telnet" by priority,
// although it comes after it by tag.
constexpr const char *three_indicators = R"({
  // comments are allowed
  "indicator_defaults": {"criteria": {"min_bytes": 0}},
  "indicators": {
    "telnet": {"indicator_driver": "custom", "priority": 20, "score": 80,
               "criteria": {"flow_expr": "other_port == 23"},
               "attrs": {"note": "telnet"}, "proc_targets": ["audit"]},
    "cleartext": {"indicator_driver": "custom", "priority": 10, "score": 60,
                  "criteria": {"flow_expr": "other_port == 23 || other_port == 21"},
                  "proc_targets": ["audit"]},
    "dns_tcp": {"indicator_driver": "custom", "score": 40,
                "criteria": {"flow_expr": "other_port == 53 && ip_protocol == 6"},
                "proc_targets": ["dns-watch"]}
  }
})";

std::string OneIndicator(const std::string &expression, const std::string &tag = "watch")
{
    return R"({"indicators": {")" + tag + R"(": {"indicator_driver": "custom", "score": 50,
        "criteria": {"flow_expr": ")" +
           expression + R"("}, "proc_targets": ["audit"]}}})";
}

std::string Digest(uint64_t digest)
{
    return vd_xxh64_to_string(digest);
}

std::vector<std::string> Indicators(const std::vector<ProcessorRecord> &records)
{
    std::vector<std::string> tags;
    for (const auto &record : records)
        tags.push_back(record.record.at("indicator").get<std::string>());
    return tags;
}

class PluginWorkerTest : public LoadedPluginTest
{
};

TEST_F(PluginWorkerTest, MatchingFlowsBecomeNumberedRecordsInPriorityOrder)
{
    Start(three_indicators);
    Hand(Flow(0x23, 23));
    Hand(Flow(0x443, 443));
    Hand(Flow(0x53, 53));
    Hand(Flow(0x21, 21));

    auto records = out.WaitForRecords(4);
    ASSERT_EQ(records.size(), 4u);

    // The flow both indicators match: one record each, higher priority
    // first, with consecutive ids.
    auto telnet = out.RecordsFor(Digest(0x23));
    ASSERT_EQ(telnet.size(), 2u);
    EXPECT_EQ(Indicators(telnet), (std::vector<std::string>{"cleartext", "telnet"}));
    EXPECT_EQ(telnet[1].record["id"].get<uint64_t>(), telnet[0].record["id"].get<uint64_t>() + 1);
    EXPECT_EQ(telnet[1].record["score"], 80);
    EXPECT_EQ(telnet[1].record["attrs"], json({{"note", "telnet"}}));
    EXPECT_EQ(telnet[1].record["indicator_driver"], "custom");
    EXPECT_EQ(telnet[1].record["event"], "dpi_complete");

    // Each record goes to the processor its indicator names, as an intel
    // record event.
    for (const auto &record : records) {
        EXPECT_EQ(record.event, vdPluginProcessor::intel_record);
        EXPECT_EQ(record.name, record.digest == Digest(0x53) ? "dns-watch" : "audit") << record.digest;
    }
    EXPECT_TRUE(out.RecordsFor(Digest(0x443)).empty());

    // The flow that matched nothing took no id: the four ids are consecutive.
    std::set<uint64_t> ids;
    for (const auto &record : records)
        ids.insert(record.record["id"].get<uint64_t>());
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(*ids.rbegin() - *ids.begin(), 3u);
}

TEST_F(PluginWorkerTest, EventIdsContinueAfterARestartWithTheSameStateDirectory)
{
    constexpr uint64_t saved = 1ull << 62;  // above any clock-based seed
    dir.WriteFile("state/proc-intel.event-id", std::to_string(saved) + "\n");

    Start(OneIndicator("other_port == 23"));
    Hand(Flow(1, 23));
    Hand(Flow(2, 23));
    auto first = out.WaitForRecords(2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].record["id"], saved + 1);
    EXPECT_EQ(first[1].record["id"], saved + 2);

    plugin.reset();
    EXPECT_EQ(dir.ReadFile("state/proc-intel.event-id"), std::to_string(saved + 2) + "\n");

    Start(OneIndicator("other_port == 23"));
    Hand(Flow(3, 23));
    auto second = out.WaitForRecords(3);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[2].record["id"], saved + 3);
}

TEST_F(PluginWorkerTest, AReloadPicksUpTheEditedFile)
{
    Start(OneIndicator("other_port == 23"));
    ASSERT_TRUE(log.WaitFor("intel ready to process: 1 indicator(s)"));
    Hand(Flow(1, 23));
    ASSERT_EQ(out.WaitForRecords(1).size(), 1u);

    log.Clear();
    WriteConf(OneIndicator("other_port == 80", "web"));
    RequestReload();
    ASSERT_TRUE(log.WaitFor("intel ready to process: 1 indicator(s)"));
    EXPECT_TRUE(log.Contains("indicator offline: watch"));

    Hand(Flow(2, 23));
    Hand(Flow(3, 80));
    auto records = out.WaitForRecords(2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].digest, Digest(3));
    EXPECT_EQ(records[1].record["indicator"], "web");
    // Flow 2 came first, so its intel would have come out no later.
    EXPECT_TRUE(out.RecordsFor(Digest(2)).empty());
}

TEST_F(PluginWorkerTest, SeveralReloadRequestsBeforeATurnGiveOneReload)
{
    WriteConf(OneIndicator("other_port == 23"));
    plugin = Load();
    ASSERT_TRUE(plugin);
    RequestReload();
    RequestReload();
    plugin->Create();

    Hand(Flow(1, 23));
    // Evaluated on the first turn and sent out on the second: a reload still
    // pending would have run before it.
    ASSERT_EQ(out.WaitForRecords(1).size(), 1u);
    EXPECT_EQ(log.Count("Loading configuration"), 1u);
}

// A log sink that requests a reload from inside the first one, after the
// file has been read, and counts the loads that complete.
class ReloadDuringReload
{
public:
    explicit ReloadDuringReload(std::function<void()> during) : during(std::move(during))
    {
        vd_log_set_sink([this](vdLogLevel, const std::string &line) {
            if (line.find("intel ready to process") == std::string::npos)
                return;
            int count = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                count = ++loads;
            }
            if (count == 1)
                this->during();
            cond.notify_all();
        });
    }
    ~ReloadDuringReload() { vd_log_set_sink(nullptr); }

    bool WaitForLoads(int count)
    {
        std::unique_lock<std::mutex> guard(lock);
        return cond.wait_for(guard, 20s, [&] { return loads >= count; });
    }

private:
    std::function<void()> during;
    std::mutex lock;
    std::condition_variable cond;
    int loads = 0;
};

TEST_F(PluginWorkerTest, AReloadRequestedDuringAReloadIsNotLost)
{
    WriteConf(OneIndicator("other_port == 23"));
    plugin = Load();
    ASSERT_TRUE(plugin);
    ReloadDuringReload hook([this] {
        WriteConf(OneIndicator("other_port == 80", "web"));
        RequestReload();
    });
    plugin->Create();

    ASSERT_TRUE(hook.WaitForLoads(2)) << "the second reload never happened";
    Hand(Flow(1, 80));
    auto records = out.WaitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].record["indicator"], "web");
    // Stopped while the hook still holds the log.
    plugin.reset();
}

TEST_F(PluginWorkerTest, AFileWithASyntaxErrorKeepsTheIndicatorsInForce)
{
    Start(OneIndicator("other_port == 23"));
    ASSERT_TRUE(log.WaitFor("intel ready to process"));

    WriteConf(R"({"indicators": {"watch": )");
    RequestReload();
    ASSERT_TRUE(log.WaitFor("proc-intel: error loading configuration: " + ConfPath() + ": "));
    EXPECT_FALSE(log.Contains("indicator offline"));

    Hand(Flow(1, 23));
    auto records = out.WaitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].record["indicator"], "watch");
    EXPECT_TRUE(Status()["indicators"].contains("watch"));
}

TEST_F(PluginWorkerTest, AnInvalidConfigurationDropsTheIndicators)
{
    Start(OneIndicator("other_port == 23"));
    ASSERT_TRUE(log.WaitFor("intel ready to process"));

    WriteConf(R"({"indicators": {"watch": {"indicator_driver": "no_such_driver", "data_feeds": ["x"]}}})");
    RequestReload();
    ASSERT_TRUE(log.WaitFor("proc-intel: indicators disabled until the next reload."));
    EXPECT_TRUE(log.Contains("proc-intel: invalid configuration: " + ConfPath() +
                             ": invalid indicator driver type: no_such_driver"));
    EXPECT_TRUE(log.Contains("proc-intel: indicator offline: watch"));
    EXPECT_TRUE(Status()["indicators"].is_null());
}

TEST_F(PluginWorkerTest, StatusReportsTotalsIntervalsAndPerIndicatorCounters)
{
    Start(R"({"indicators": {
      "telnet": {"indicator_driver": "custom", "score": 80,
                 "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]},
      "weak": {"indicator_driver": "custom", "score": 10,
               "criteria": {"flow_expr": "other_port == 23", "min_score": 50}, "proc_targets": ["audit"]}
    }})");
    Hand(Flow(1, 443));
    Hand(Flow(2, 23));
    Hand(Flow(3, 23));
    // The last flow's record means every flow has been evaluated.
    ASSERT_EQ(out.WaitForRecords(2).size(), 2u);

    json status = Status();
    EXPECT_EQ(status["total_flows_processed"], 3);
    EXPECT_EQ(status["total_flows_processed_interval"], 3);
    EXPECT_EQ(status["total_intelligence_hits"], 2);
    EXPECT_EQ(status["total_intelligence_hits_interval"], 2);

    const json telnet = status["indicators"]["telnet"];
    EXPECT_EQ(telnet, json::parse(R"({
      "driver": "custom", "priority": 65536,
      "hits": 2, "hits_interval": 2, "flows_evaluated": 3, "flows_evaluated_interval": 3,
      "discards": {"min_score": 0, "min_score_interval": 0, "cache_hit": 0, "cache_hit_interval": 0}
    })"));
    const json weak = status["indicators"]["weak"];
    EXPECT_EQ(weak["priority"], 65537);
    EXPECT_EQ(weak["hits"], 0);
    EXPECT_EQ(weak["discards"]["min_score"], 2);

    // Nothing happened since: every interval is 0, the values stay.
    json again = Status();
    EXPECT_EQ(again["total_flows_processed"], 3);
    EXPECT_EQ(again["total_flows_processed_interval"], 0);
    EXPECT_EQ(again["total_intelligence_hits_interval"], 0);
    EXPECT_EQ(again["indicators"]["telnet"]["hits_interval"], 0);
    EXPECT_EQ(again["indicators"]["weak"]["discards"]["min_score_interval"], 0);
}

TEST_F(PluginWorkerTest, AReceiverThatThrowsIsLoggedAndTheWorkerGoesOn)
{
    out.BeforeRecord([](const ProcessorRecord &record) {
        if (record.digest == Digest(0xbad))
            throw std::runtime_error("receiver failed");
    });
    Start(OneIndicator("other_port == 23"));
    Hand(Flow(0xbad, 23));
    ASSERT_TRUE(log.WaitFor("proc-intel: " + Digest(0xbad) + ": intel output failed: audit: receiver failed"));

    Hand(Flow(0x900d, 23));
    auto records = out.WaitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].digest, Digest(0x900d));
}

TEST_F(PluginWorkerTest, IntelForAnUnknownSinkTargetIsWarnedAbout)
{
    Start(R"({"indicators": {"watch": {"indicator_driver": "custom",
      "criteria": {"flow_expr": "other_port == 23"}, "sink_targets": ["nowhere"], "proc_targets": ["audit"]}}})");
    Hand(Flow(1, 23));
    ASSERT_TRUE(log.WaitFor("proc-intel: WARNING: sink not found: nowhere"));
    // The processor target still gets its record.
    EXPECT_EQ(out.WaitForRecords(1).size(), 1u);
}

TEST_F(PluginWorkerTest, IntelReachesEveryChannelOfItsSinkTarget)
{
    Start(R"({
      "sink_targets": {"siem": {"sink": "sink-log", "channels": {
        "brief": {"flow_metadata": "none", "dispatch_flags": ["append_linefeed"]},
        "full": {}}}},
      "indicators": {"watch": {"indicator_driver": "custom", "score": 70,
        "criteria": {"flow_expr": "other_port == 23"}, "sink_targets": ["siem"]}}})");
    Hand(Flow(1, 443));
    Hand(Flow(2, 23));

    auto sinks = out.WaitForSinks(2);
    ASSERT_EQ(sinks.size(), 2u);
    std::map<std::string, SinkDelivery> by_channel;
    for (const auto &delivery : sinks) {
        ASSERT_EQ(delivery.channels.size(), 1u);
        by_channel[*delivery.channels.begin()] = delivery;
    }
    ASSERT_EQ(by_channel.count("brief"), 1u);
    ASSERT_EQ(by_channel.count("full"), 1u);
    for (const auto &[channel, delivery] : by_channel) {
        EXPECT_EQ(delivery.sink, "sink-log");
        EXPECT_EQ(delivery.payload["type"], "flow_intel");
        EXPECT_EQ(delivery.payload["interface"], "eth0");
        EXPECT_EQ(delivery.payload["internal"], true);
        const json &intel = delivery.payload["flow"]["intel"];
        ASSERT_EQ(intel.size(), 1u) << channel;
        EXPECT_EQ(intel[0]["indicator"], "watch");
    }
    EXPECT_EQ(by_channel["brief"].flags, 0x09u);
    EXPECT_EQ(by_channel["full"].flags, 0x01u);
    // Only the full channel carries the flow's metadata.
    EXPECT_FALSE(by_channel["brief"].payload["flow"].contains("other_port"));
    EXPECT_TRUE(by_channel["full"].payload["flow"].contains("other_port"));
    // The intel of both channels is the same, numbered once.
    EXPECT_EQ(by_channel["brief"].payload["flow"]["intel"], by_channel["full"].payload["flow"]["intel"]);
}

TEST_F(PluginWorkerTest, StopBeforeTheFirstTurnReadsNothingAndSavesTheEventId)
{
    // The clock-based seed: seconds since the epoch, shifted by 20 bits. Read
    // from the same clock as the plug-in: time() may trail system_clock by a
    // tick across a second's boundary.
    const auto clock_seed = [] { return static_cast<uint64_t>(std::time(nullptr)) << 20; };
    const uint64_t clock_before = clock_seed();
    WriteConf(OneIndicator("other_port == 23"));
    plugin = Load();
    ASSERT_TRUE(plugin);
    plugin->Terminate();
    plugin->Create();
    ExpectStopsWithin([&] { plugin.reset(); });

    EXPECT_TRUE(log.Contains("proc-intel: intel offline: shutting down"));
    EXPECT_FALSE(log.Contains("Loading configuration"));
    // No id was handed out: the clock-based seed it started from is saved.
    const uint64_t clock_after = clock_seed();
    const std::string saved = dir.ReadFile("state/proc-intel.event-id");
    const uint64_t id = std::strtoull(saved.c_str(), nullptr, 10);
    EXPECT_EQ(saved, std::to_string(id) + "\n");
    EXPECT_GE(id, clock_before);
    EXPECT_LE(id, clock_after);
}

TEST_F(PluginWorkerTest, FindingsOfTheLastFlowsAreSentOutAtAStop)
{
    Start(OneIndicator("other_port == 23"));
    ASSERT_TRUE(log.WaitFor("intel ready to process"));
    for (uint64_t digest = 1; digest <= 20; digest++)
        Hand(Flow(digest, 23));
    ExpectStopsWithin([&] { plugin.reset(); });
    EXPECT_EQ(out.Records().size(), 20u);
}

TEST_F(PluginWorkerTest, DeletingWithoutTerminateStopsTheWorker)
{
    Start(OneIndicator("other_port == 23"));
    ASSERT_TRUE(log.WaitFor("intel ready to process"));
    ExpectStopsWithin([&] { delete plugin.release(); }, 10s, "deleting the plug-in");
    EXPECT_TRUE(log.Contains("proc-intel: intel offline: shutting down"));
}

// Intel that no processor or sink receives is dropped before numbering: the
// next flow with a target gets the id right after the previous one sent.
TEST_F(PluginWorkerTest, IntelWithoutAnyTargetUsesNoEventId)
{
    Start(R"({"indicators": {
      "watch": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]},
      "silent": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 25"}}}})");
    Hand(Flow(1, 23));
    auto first = out.WaitForRecords(1);
    ASSERT_EQ(first.size(), 1u);

    Hand(Flow(2, 25));
    Hand(Flow(3, 23));
    auto records = out.WaitForRecords(2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].digest, Digest(3));
    EXPECT_EQ(records[1].record["id"].get<uint64_t>(), first[0].record["id"].get<uint64_t>() + 1);
    // The silent indicator did find flow 2: its intel just had nowhere to go.
    EXPECT_EQ(Status()["indicators"]["silent"]["hits"], 1);
}

// Two indicators with different targets on one flow: their entries travel
// together, one payload per sink target and every entry to every processor.
TEST_F(PluginWorkerTest, IntelOfSeveralIndicatorsOnOneFlowReachesTheTargetsOfAll)
{
    Start(R"({
      "sink_targets": {"siem": {"sink": "sink-a", "channels": {"main": {}}},
                       "archive": {"sink": "sink-b", "channels": {"main": {}}}},
      "indicators": {
        "telnet": {"indicator_driver": "custom", "priority": 1, "criteria": {"flow_expr": "other_port == 23"},
                   "sink_targets": ["siem"], "proc_targets": ["audit"]},
        "cleartext": {"indicator_driver": "custom", "priority": 2,
                      "criteria": {"flow_expr": "other_port == 23 || other_port == 21"},
                      "sink_targets": ["archive"], "proc_targets": ["dpi"]}}})");
    Hand(Flow(1, 23));
    // Flow 2 (one indicator, one target each) comes out after all of flow 1.
    Hand(Flow(2, 21));

    auto records = out.WaitForRecords(5);
    ASSERT_EQ(records.size(), 5u);
    std::multiset<std::string> flow_one;
    for (const auto &record : out.RecordsFor(Digest(1)))
        flow_one.insert(record.name + "/" + record.record["indicator"].get<std::string>());
    EXPECT_EQ(flow_one, (std::multiset<std::string>{"audit/cleartext", "audit/telnet", "dpi/cleartext", "dpi/telnet"}));
    auto flow_two = out.RecordsFor(Digest(2));
    ASSERT_EQ(flow_two.size(), 1u);
    EXPECT_EQ(flow_two[0].name, "dpi");

    auto sinks = out.WaitForSinks(3);
    ASSERT_EQ(sinks.size(), 3u);
    std::map<std::string, json> both;  // sink plug-in -> intel of flow 1
    for (const auto &delivery : sinks) {
        const json &intel = delivery.payload["flow"]["intel"];
        if (intel.size() == 2)
            both[delivery.sink] = intel;
        else
            EXPECT_EQ(delivery.sink, "sink-b") << "flow 2 goes to its indicator's sink only";
    }
    ASSERT_EQ(both.size(), 2u) << "one payload per sink target for flow 1";
    EXPECT_EQ(both["sink-a"], both["sink-b"]);
    EXPECT_EQ(both["sink-a"][0]["indicator"], "telnet");
    EXPECT_EQ(both["sink-a"][1]["indicator"], "cleartext");
}

// The host's sink fails on one channel: the other channel and the other
// target still get the payload, and the processor its record.
TEST_F(PluginWorkerTest, ASinkChannelThatThrowsKeepsThePayloadFromNoOtherTarget)
{
    // Shared with the handler, which the worker may call until the plug-in stops.
    struct FirstDelivery {
        std::mutex lock;
        std::string failed;  // "sink/channel" of the delivery that threw
    };
    auto first = std::make_shared<FirstDelivery>();
    instance.plugin_manager->SetSinkHandler([first, this](const std::string &sink,
                                                          const std::set<std::string> &channels, const json &payload,
                                                          vdFlags<vdPlugin::DispatchFlags> flags) {
        {
            std::lock_guard<std::mutex> guard(first->lock);
            if (first->failed.empty()) {
                first->failed = sink + "/" + *channels.begin();
                throw std::runtime_error("sink down");
            }
        }
        out.AddSink({sink, channels, payload, flags.value()});
    });
    Start(R"({
      "sink_targets": {"siem": {"sink": "sink-a", "channels": {"one": {}, "two": {}}},
                       "archive": {"sink": "sink-b", "channels": {"three": {}}}},
      "indicators": {"watch": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"},
                               "sink_targets": ["siem", "archive"], "proc_targets": ["audit"]}}})");
    Hand(Flow(1, 23));

    auto sinks = out.WaitForSinks(2);
    ASSERT_EQ(sinks.size(), 2u);
    EXPECT_EQ(out.WaitForRecords(1).size(), 1u);
    std::string failed_at;
    {
        std::lock_guard<std::mutex> guard(first->lock);
        failed_at = first->failed;
    }
    std::set<std::string> reached;
    for (const auto &delivery : sinks)
        reached.insert(delivery.sink + "/" + *delivery.channels.begin());
    EXPECT_EQ(reached.count(failed_at), 0u);
    reached.insert(failed_at);
    EXPECT_EQ(reached, (std::set<std::string>{"sink-a/one", "sink-a/two", "sink-b/three"}));

    const std::map<std::string, std::string> target_of = {{"sink-a", "siem"}, {"sink-b", "archive"}};
    const std::string sink = failed_at.substr(0, failed_at.find('/'));
    const std::string channel = failed_at.substr(failed_at.find('/') + 1);
    EXPECT_TRUE(log.Contains("proc-intel: " + Digest(1) + ": intel output failed: " + target_of.at(sink) + ": " +
                             channel + ": sink down"));
}

// Total hits are the sum over the indicators in force: a reload starts them
// again from the new indicators' hits, reported as the interval too.
TEST_F(PluginWorkerTest, TotalHitsRestartWithTheIndicatorsOfAReload)
{
    Start(OneIndicator("other_port == 23"));
    Hand(Flow(1, 23));
    Hand(Flow(2, 23));
    ASSERT_EQ(out.WaitForRecords(2).size(), 2u);
    json before = Status();
    EXPECT_EQ(before["total_intelligence_hits"], 2);
    EXPECT_EQ(before["total_intelligence_hits_interval"], 2);

    log.Clear();
    RequestReload();
    ASSERT_TRUE(log.WaitFor("intel ready to process: 1 indicator(s)"));
    json reloaded = Status();
    EXPECT_EQ(reloaded["total_intelligence_hits"], 0);
    EXPECT_EQ(reloaded["total_intelligence_hits_interval"], 0);

    Hand(Flow(3, 23));
    ASSERT_EQ(out.WaitForRecords(3).size(), 3u);
    json after = Status();
    EXPECT_EQ(after["total_intelligence_hits"], 1);
    EXPECT_EQ(after["total_intelligence_hits_interval"], 1);
    EXPECT_EQ(after["indicators"]["watch"]["hits"], 1);
}

// The host reads the status on its own thread while reloads replace the
// indicator list (and flows keep coming): every read sees no list (between
// the old and the new) or one whole list, never a mix.
TEST_F(PluginWorkerTest, StatusReadsWhileReloadsSwapTheIndicators)
{
    constexpr int reloads = 10;
    const std::string one = OneIndicator("other_port == 23");
    Start(one);
    ASSERT_TRUE(log.WaitFor("intel ready to process: 1 indicator(s)"));

    const std::set<std::string> watch = {"watch"}, three = {"cleartext", "dns_tcp", "telnet"};
    std::atomic<bool> stop{false};
    std::atomic<size_t> reads{0}, mixed{0};
    std::thread reader([&] {
        while (!stop) {
            json status = Status();
            std::set<std::string> tags;
            if (status["indicators"].is_object())
                for (const auto &[tag, counters] : status["indicators"].items())
                    tags.insert(tag);
            if (!tags.empty() && tags != watch && tags != three)
                mixed++;
            reads++;
        }
    });
    for (int i = 0; i < reloads; i++) {
        const bool load_three = i % 2 == 0;
        log.Clear();
        WriteConf(load_three ? three_indicators : one);
        RequestReload();
        Hand(Flow(i + 1, 23));
        EXPECT_TRUE(log.WaitFor(std::string("intel ready to process: ") + (load_three ? "3" : "1") + " indicator(s)"));
    }
    stop = true;
    reader.join();
    EXPECT_GT(reads, 0u);
    EXPECT_EQ(mixed, 0u);
}

}  // namespace
