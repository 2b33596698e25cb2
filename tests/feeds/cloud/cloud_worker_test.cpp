// The cloud-intel feed under the plug-in's worker, one turn at a time: the
// feed is asked once per flow however many indicators name it, and its
// answer comes back to every indicator as a LOOKUP event.
#include "core/plugin_fixture.h"
#include "support/cloud_service.h"
#include "vd_api.h"

namespace {

using namespace std::chrono_literals;

class CloudWorkerTest : public PluginHostTest
{
protected:
    CloudWorkerTest()
    {
        config.verbosity = 2;
        instance.api_manager = std::make_shared<vdVelborApiManager>();
        auto data = std::make_shared<vdVelborApiData>();
        data->urls["flow"] = service.Url();
        instance.api_manager->SetBootstrapData(vdVelborApiData::intel, data);
    }

    void Turn()
    {
        batch.clear();
        plugin.RunTurn(batch);
    }

    // Runs turns until every line has been logged, or the deadline passes.
    bool TurnUntil(const std::vector<std::string> &lines, std::chrono::seconds deadline = 10s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end) {
            Turn();
            bool all = true;
            for (const std::string &line : lines)
                all = all && log.Contains(line);
            if (all)
                return true;
        }
        return false;
    }

    CloudService service;
    PluginProbe plugin{"proc-intel", Params()};
    std::vector<vppEventQueue::Event> batch;
};

TEST_F(CloudWorkerTest, OneLookupPerFlowAndItsAnswerReachesEveryIndicator)
{
    // Two indicators name the feed, a third does not; a fourth is filtered.
    WriteConf(R"({"data_feeds": {"cloud_intel": {"type": "cloud_intel", "instances": 2}},
      "indicators": {
        "a": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 443"},
              "data_feeds": ["cloud_intel"]},
        "b": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 443"},
              "data_feeds": ["cloud_intel"]},
        "c": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 443"}},
        "d": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 22"},
              "data_feeds": ["cloud_intel"]}}})");
    const vdFlow::Ptr flow = Flow(0x5151, 443);
    vdFlow::Ptr handed = flow;
    plugin.DispatchProcessorEvent(vdPluginProcessor::dpi_complete, handed);
    Turn();  // Loads the configuration and evaluates the flow.

    const std::string id = vd_xxh64_to_string(0x5151);
    std::vector<std::string> answered;
    for (const char *indicator : {"a", "b", "c"})
        answered.push_back(std::string(indicator) + ": " + id + ": evaluating: dpi_complete (lookup)");
    ASSERT_TRUE(TurnUntil(answered)) << testing::PrintToString(log.Lines());

    EXPECT_EQ(service.Requests().size(), 1u);
    EXPECT_TRUE(log.Contains("d: " + id + ": filtered: dpi_complete (lookup): criteria flow expr didn't match"))
        << testing::PrintToString(log.Lines());
    const json body = json::parse(service.Requests().at(0).body);
    EXPECT_EQ(body.at(0).at("digest"), id);
}

}  // namespace
