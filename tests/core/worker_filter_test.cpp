// Each indicator filters a FLOW event once: the verdict taken as the event's
// lookups start is the one its evaluation goes by and logs, even when the
// host changes the flow in between; a cloud answer is filtered anew. The
// worker's turns run one at a time on the test thread.
#include <string>
#include <vector>

#include "core/plugin_fixture.h"
#include "support/feed_injector.h"

namespace {

using DataSource = vppDataFeed::DataSource;

std::string Digest(uint64_t digest)
{
    return vd_xxh64_to_string(digest);
}

// Stands for a host thread that updates the flow between the worker's two
// passes: as a flow's lookup starts it shrinks the flow's byte count, then
// answers at once with an empty cloud document.
class ShrinkingFeed : public vppDataFeed::Base
{
public:
    ShrinkingFeed(const std::string &tag, std::shared_ptr<vppEventQueue::Queue> queue)
        : vppDataFeed::Base(tag, "", DataSource::cloud_intel, vppDataFeed::DataType::invalid, std::move(queue))
    {
    }

    using vppDataFeed::Base::Lookup;
    bool Lookup(const vdFlow::Ptr &, vppIntel::Entry &, const std::string &) override { return false; }

    void LookupEventPush(const vppEventQueue::Event &event) override
    {
        {
            std::lock_guard<std::recursive_mutex> guard(event.flow->lock);
            event.flow->stats.total_bytes = 100;
        }
        event_queue->PushLookup(event, DataSource::cloud_intel, tag, nullptr);
    }
};

// "watch" starts the feed's lookups; "large" looks only at large flows;
// "broken" has an expression that never compiles.
constexpr const char *indicators_conf = R"({
  "data_feeds": {"cloud_intel": {"type": "cloud_intel"}},
  "indicators": {
    "watch": {"indicator_driver": "custom", "priority": 1, "data_feeds": ["cloud_intel"], "proc_targets": ["audit"],
              "criteria": {"min_bytes": 500, "flow_expr": "other_port == 23"}},
    "large": {"indicator_driver": "custom", "priority": 2, "proc_targets": ["audit"],
              "criteria": {"min_bytes": 2000, "flow_expr": "other_port == 23"}},
    "broken": {"indicator_driver": "custom", "priority": 3, "proc_targets": ["audit"],
               "criteria": {"flow_expr": "other_port == (23"}}
  }
})";

class WorkerFilterTest : public PluginHostTest
{
protected:
    WorkerFilterTest()
    {
        config.verbosity = 2;
        WriteConf(indicators_conf);
    }

    // One worker turn over what is queued (which must not be empty, or the
    // turn waits a second for it).
    void Turn()
    {
        batch.clear();
        plugin.RunTurn(batch);
    }

    void Hand(const vdFlow::Ptr &flow, vdPluginProcessor::Event code = vdPluginProcessor::dpi_complete)
    {
        vdFlow::Ptr handed = flow;
        plugin.DispatchProcessorEvent(code, handed);
    }

    static vdFlow::Ptr Sized(uint64_t digest, uint64_t bytes)
    {
        vdFlow::Ptr flow = Flow(digest, 23);
        flow->stats.total_bytes = bytes;
        return flow;
    }

    // The filter's lines logged since the last Clear, in order, without
    // their newlines.
    std::vector<std::string> FilterLines() const
    {
        std::vector<std::string> found;
        for (const auto &line : log.Lines(vdLogLevel::debug)) {
            if (line.find(": filtered: ") != std::string::npos || line.find(": evaluating: ") != std::string::npos)
                found.push_back(line.substr(0, line.size() - 1));
        }
        return found;
    }

    std::vector<std::string> IndicatorsOf(uint64_t digest)
    {
        std::vector<std::string> tags;
        for (const auto &record : out.RecordsFor(Digest(digest)))
            tags.push_back(record.record["indicator"].get<std::string>());
        return tags;
    }

    FeedInjector cloud_row{DataSource::cloud_intel, [](const std::string &tag, const json &, auto &context) {
                               return std::make_shared<ShrinkingFeed>(tag, context.queue);
                           }};
    PluginProbe plugin{"proc-intel", Params()};
    std::vector<vppEventQueue::Event> batch;
};

TEST_F(WorkerFilterTest, AFlowChangedBetweenLookupAndEvaluationIsEvaluatedAsFiltered)
{
    const std::string d1 = Digest(1);
    Hand(Sized(1, 1000));
    Turn();
    // The flow shrank to 100 bytes once its lookup started; the lines and
    // the verdicts are those of the 1000 bytes it had when filtered.
    EXPECT_EQ(FilterLines(), (std::vector<std::string>{
                                 "watch: " + d1 + ": evaluating: dpi_complete",
                                 "large: " + d1 + ": filtered: dpi_complete: min_bytes: 1000 < 2000",
                                 "broken: " + d1 + ": filtered: dpi_complete: criteria flow expr didn't match",
                             }));

    // The cloud answer meets the flow as it is now.
    log.Clear();
    Turn();
    EXPECT_EQ(FilterLines(), (std::vector<std::string>{
                                 "watch: " + d1 + ": filtered: dpi_complete (lookup): min_bytes: 100 < 500",
                                 "large: " + d1 + ": filtered: dpi_complete (lookup): min_bytes: 100 < 2000",
                                 "broken: " + d1 + ": filtered: dpi_complete (lookup): criteria flow expr didn't match",
                             }));
    EXPECT_EQ(IndicatorsOf(1), std::vector<std::string>{"watch"});
    for (const char *tag : {"watch", "large", "broken"})
        EXPECT_EQ(plugin.indicators_by_tag.at(tag)->stats.flows_evaluated.Get(), 1u) << tag;
}

TEST_F(WorkerFilterTest, EachEventOfABatchKeepsItsOwnVerdicts)
{
    const std::string d1 = Digest(1);
    const std::string d2 = Digest(2);
    vdFlow::Ptr first = Sized(1, 1000);
    Hand(first);
    Hand(first, vdPluginProcessor::flow_new);
    Hand(Sized(2, 3000));
    Turn();

    const std::string not_in_filter = ": filtered: flow_new: event_filter: flow_new not in filter";
    EXPECT_EQ(FilterLines(), (std::vector<std::string>{
                                 "watch: " + d1 + ": evaluating: dpi_complete",
                                 "large: " + d1 + ": filtered: dpi_complete: min_bytes: 1000 < 2000",
                                 "broken: " + d1 + ": filtered: dpi_complete: criteria flow expr didn't match",
                                 "watch: " + d1 + not_in_filter,
                                 "large: " + d1 + not_in_filter,
                                 "broken: " + d1 + not_in_filter,
                                 "watch: " + d2 + ": evaluating: dpi_complete",
                                 "large: " + d2 + ": evaluating: dpi_complete",
                                 "broken: " + d2 + ": filtered: dpi_complete: criteria flow expr didn't match",
                             }));
    Turn();
    EXPECT_EQ(IndicatorsOf(1), std::vector<std::string>{"watch"});
    EXPECT_EQ(IndicatorsOf(2), (std::vector<std::string>{"watch", "large"}));
}

TEST_F(WorkerFilterTest, ABrokenExpressionIsReportedOncePerFlowEvent)
{
    Hand(Sized(1, 1000));
    Turn();
    EXPECT_EQ(log.Count("broken: other_port == (23: flow expression: "), 1u);
}

}  // namespace
