// The worker's turns run one at a time on the test thread, so that a reload
// can fall between a finding and its output, and a failing indicator can be
// put among working ones.
#include <stdexcept>

#include "core/plugin_fixture.h"
#include "indicators/drivers/custom.h"

namespace {

std::string Digest(uint64_t digest)
{
    return vd_xxh64_to_string(digest);
}

// A custom indicator whose driver step always throws.
class ThrowingIndicator : public vpiCustom
{
public:
    ThrowingIndicator(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag)
        : vpiCustom(std::move(queue), tag, 0, json{{"criteria", {{"flow_expr", "other_port == 23"}}}}, json::object())
    {
    }

    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &) override { throw std::runtime_error("driver failed"); }
};

class WorkerTurnTest : public PluginHostTest
{
protected:
    // One worker turn: a pending reload, then the queue's backlog (which
    // must not be empty, or the turn waits a second for it).
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

    std::multiset<std::string> ReceiversOf(uint64_t digest)
    {
        std::multiset<std::string> names;
        for (const auto &record : out.RecordsFor(Digest(digest)))
            names.insert(record.name);
        return names;
    }

    PluginProbe plugin{"proc-intel", Params()};
    std::vector<vppEventQueue::Event> batch;
};

constexpr const char *siem_sink = R"("sink_targets": {"siem": {"sink": "sink-log", "channels": {"main": {}}}})";

TEST_F(WorkerTurnTest, AFindingTakesTheTargetsOfItsIndicatorAtOutput)
{
    WriteConf(R"({"indicators": {"watch": {"indicator_driver": "custom",
      "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["old"]}}})");
    Hand(Flow(1, 23));
    Turn();  // loads, evaluates: the finding is queued
    ASSERT_TRUE(out.Records().empty());

    // The same tag with new targets replaces the indicator before the output.
    WriteConf(std::string("{") + siem_sink + R"(, "indicators": {"watch": {"indicator_driver": "custom",
      "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["new"], "sink_targets": ["siem"]}}})");
    plugin.DispatchEvent(vdPlugin::reload, nullptr);
    Turn();

    // The targets found with the finding stay; the indicator's are added.
    EXPECT_EQ(ReceiversOf(1), (std::multiset<std::string>{"new", "old"}));
    auto sinks = out.WaitForSinks(1, std::chrono::milliseconds(0));
    ASSERT_EQ(sinks.size(), 1u);
    EXPECT_EQ(sinks[0].sink, "sink-log");
    EXPECT_EQ(sinks[0].payload["flow"]["intel"][0]["indicator"], "watch");
}

TEST_F(WorkerTurnTest, AFindingQueuedWithoutTargetsGoesToItsIndicatorsTargets)
{
    // As a cache hit is queued: one entry, no targets of its own.
    WriteConf(std::string("{") + siem_sink + R"(, "indicators": {"watch": {"indicator_driver": "custom",
      "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"], "sink_targets": ["siem"]}}})");
    vppIntel::Entry entry;
    entry.indicator = "watch";
    entry.score = 50;
    plugin.queue->Push(vppEventQueue::Event(vppEventQueue::Event::INTEL, Flow(7, 23), entry));
    Turn();

    EXPECT_EQ(ReceiversOf(7), (std::multiset<std::string>{"audit"}));
    auto sinks = out.WaitForSinks(1, std::chrono::milliseconds(0));
    ASSERT_EQ(sinks.size(), 1u);
    EXPECT_EQ(sinks[0].payload["flow"]["intel"][0]["indicator"], "watch");
}

TEST_F(WorkerTurnTest, AnIndicatorThatThrowsKeepsNoOtherFromTheFlow)
{
    WriteConf(R"({"indicators": {
      "first": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]},
      "last": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]}}})");
    Hand(Flow(1, 80));
    Turn();  // loads; flow 1 matches nothing
    ASSERT_EQ(plugin.indicators.size(), 2u);

    // Between the two in evaluation order.
    auto broken = std::make_shared<ThrowingIndicator>(plugin.queue, "broken");
    plugin.indicators.insert(plugin.indicators.begin() + 1, {"broken", broken});
    plugin.indicators_by_tag.emplace("broken", broken);

    Hand(Flow(2, 23));
    Turn();  // evaluates
    Turn();  // sends out
    EXPECT_TRUE(log.Contains("proc-intel: broken: " + Digest(2) + ": evaluation failed: driver failed"));
    std::multiset<std::string> found;
    for (const auto &record : out.RecordsFor(Digest(2)))
        found.insert(record.record["indicator"].get<std::string>());
    EXPECT_EQ(found, (std::multiset<std::string>{"first", "last"}));
}

}  // namespace
