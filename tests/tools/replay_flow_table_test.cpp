// The replay host's flow table, seen through the test plug-in, which holds
// flows only weakly once reported: which lines keep a flow alive, replace it
// and let it go.
#include <cstdio>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

std::string DigestText(unsigned digest)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016x", digest);
    return text;
}

json Digests(const std::vector<unsigned> &digests)
{
    json list = json::array();
    for (unsigned digest : digests)
        list.push_back(DigestText(digest));
    return list;
}

std::string FlowLine(const std::string &event, unsigned digest)
{
    return R"({"event": ")" + event + R"(", "flow": {"digest": )" + std::to_string(digest) + "}}";
}

std::string MapLine(const std::string &event, std::initializer_list<unsigned> digests)
{
    std::string flows;
    for (unsigned digest : digests)
        flows += (flows.empty() ? "" : ", ") + std::string(R"({"digest": )") + std::to_string(digest) + "}";
    return R"({"event": ")" + event + R"(", "buckets": 4, "flowmap": [)" + flows + "]}";
}

const std::string status = R"({"status": true})";

class ReplayFlowTableTest : public ::testing::Test
{
protected:
    ProcessResult Replay(const std::vector<std::string> &lines) const
    {
        std::string events;
        for (const auto &line : lines)
            events += line + "\n";
        return RunReplay(TestPluginArguments(conf, dir.Path("state"), {"--linger", "0"}), events);
    }

    TempDir dir;
    std::string conf = dir.WriteFile("conf.json", "{}");
};

struct FlowTableCase {
    const char *name;
    std::vector<std::string> lines;
    std::vector<std::vector<unsigned>> alive;  // the digests alive at each status line
};

void PrintTo(const FlowTableCase &test_case, std::ostream *out)
{
    *out << test_case.name;
}

const FlowTableCase flow_table_cases[] = {
    {"flow_lives_until_its_expired_line",
     {FlowLine("flow_new", 1), status, R"({"poll": true})", FlowLine("dpi_update", 2), status,
      FlowLine("flow_expiring", 1), status, FlowLine("flow_expired", 1), status},
     {{1}, {1, 2}, {1, 2}, {2}}},
    {"expired_by_number", {FlowLine("flow_new", 1), R"({"event": 4, "flow": {"digest": 1}})", status}, {{}}},
    {"expired_without_an_earlier_flow", {FlowLine("flow_new", 1), FlowLine("flow_expired", 3), status}, {{1}}},
    {"same_digest_lets_the_older_flow_go", {FlowLine("flow_new", 1), FlowLine("dpi_update", 1), status}, {{1}}},
    {"map_flows_live_on_after_the_map_line", {MapLine("flow_stats", {1, 2}), status}, {{1, 2}}},
    // Flow 1 of the map is replaced, then let go: only a map kept after its
    // line would keep it alive.
    {"map_goes_with_its_line", {MapLine("flow_stats", {1, 2}), FlowLine("flow_expired", 1), status}, {{2}}},
    {"expired_map_lets_each_of_its_flows_go",
     {FlowLine("flow_new", 3), MapLine("flow_stats", {1, 2}), MapLine("flow_expired", {1, 3}), status},
     {{2}}},
    {"map_flow_replaces_a_single_flow", {FlowLine("flow_new", 1), MapLine("dpi_update", {1, 2}), status}, {{1, 2}}},
};

class ReplayFlowTableCaseTest : public ReplayFlowTableTest, public ::testing::WithParamInterface<FlowTableCase>
{
};

TEST_P(ReplayFlowTableCaseTest, StatusShowsTheFlowsStillHeld)
{
    const FlowTableCase &test_case = GetParam();
    auto result = Replay(test_case.lines);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto statuses = LinesWith(result.OutputLines(), "status");
    ASSERT_EQ(statuses.size(), test_case.alive.size()) << result.out;
    for (size_t index = 0; index < statuses.size(); index++)
        EXPECT_EQ(statuses[index]["status"]["alive"], Digests(test_case.alive[index])) << "status " << index;
}

INSTANTIATE_TEST_SUITE_P(Lines, ReplayFlowTableCaseTest, ::testing::ValuesIn(flow_table_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The flows not expired are still held while the plug-in is stopped; the
// expired ones reached the plug-in all the same.
TEST_F(ReplayFlowTableTest, FlowsNotExpiredOutliveThePlugInsStop)
{
    auto result = Replay({FlowLine("flow_new", 1), MapLine("flow_new", {2, 3}), FlowLine("flow_expired", 2),
                          MapLine("flow_expired", {4})});
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(json::parse(dir.ReadFile("state/test-plugin-alive.json")), json({{"alive", Digests({1, 3})}}));
    EXPECT_EQ(LinesWith(result.OutputLines(), "sink").size(), 5u) << result.out;
}

}  // namespace
