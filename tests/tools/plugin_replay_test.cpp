// The intel plug-in run by the replay host end to end: recorded flows in,
// intel records and sink payloads out, ids continuing across runs.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

constexpr const char *conf = R"({
  "indicator_defaults": {"criteria": {"min_bytes": 0}},
  "sink_targets": {
    "siem": {"sink": "sink-log", "channels": {
      "brief": {"flow_metadata": "none", "dispatch_flags": ["append_linefeed"]},
      "full": {"flow_metadata": "full"}}}
  },
  "indicators": {
    "telnet": {"indicator_driver": "custom", "score": 80,
               "criteria": {"flow_expr": "other_port == 23"},
               "proc_targets": ["audit"], "sink_targets": ["siem"]}
  }
})";

std::string FlowLine(const std::string &digest, unsigned upper_port)
{
    json line = json::parse(R"({"event": "dpi_complete", "flow": {"ip_version": 4, "ip_protocol": 6,
        "lower_addr": "192.168.1.5", "upper_addr": "203.0.113.9", "lower_port": 40000,
        "lower_map": 1, "origin": 1, "other_type": 5, "iface": {"ifname": "eth1", "role": 2},
        "stats": {"total_bytes": 2048, "total_packets": 12}}})");
    line["flow"]["digest"] = digest;
    line["flow"]["upper_port"] = upper_port;
    return line.dump() + "\n";
}

class PluginReplayTest : public ::testing::Test
{
protected:
    std::vector<json> Replay(const std::string &events)
    {
        auto result = RunReplay(
            {"--plugin", PLUGIN_LIBRARY, "--conf", conf_path, "--state", dir.Path("state"), "--linger", "0"}, events);
        EXPECT_EQ(result.exit_status, 0) << result.Describe();
        return result.OutputLines();
    }

    TempDir dir;
    std::string conf_path = dir.WriteFile("intel.json", conf);
};

TEST_F(PluginReplayTest, IntelReachesTheProcessorAndBothChannelsWithTheirMetadata)
{
    auto lines =
        Replay(FlowLine("00000000000000a1", 443) + FlowLine("00000000000000a2", 23) + FlowLine("00000000000000a3", 80));

    auto records = LinesWith(lines, "processor");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["processor"], "audit");
    EXPECT_EQ(records[0]["event"], 5);
    EXPECT_EQ(records[0]["digest"], "00000000000000a2");
    EXPECT_EQ(records[0]["record"]["indicator"], "telnet");
    EXPECT_EQ(records[0]["record"]["score"], 80);

    std::map<std::string, json> by_channel;
    for (const auto &line : LinesWith(lines, "sink")) {
        EXPECT_EQ(line["sink"], "sink-log");
        ASSERT_EQ(line["channels"].size(), 1u);
        by_channel[line["channels"][0].get<std::string>()] = line;
    }
    ASSERT_EQ(by_channel.size(), 2u);
    const json &brief = by_channel["brief"];
    const json &full = by_channel["full"];
    EXPECT_EQ(brief["flags"], 9);
    EXPECT_EQ(full["flags"], 1);
    for (const json *line : {&brief, &full}) {
        const json &payload = (*line)["payload"];
        EXPECT_EQ(payload["type"], "flow_intel");
        EXPECT_EQ(payload["interface"], "eth1");
        EXPECT_EQ(payload["internal"], false);
        // The payload's intel is the record the processor got.
        EXPECT_EQ(payload["flow"]["intel"], json::array({records[0]["record"]}));
    }
    // "none" sends only what the encoder always writes; "full" the metadata
    // and the counters as well.
    EXPECT_FALSE(brief["payload"]["flow"].contains("other_port"));
    EXPECT_FALSE(brief["payload"]["flow"].contains("total_bytes"));
    EXPECT_EQ(full["payload"]["flow"]["other_port"], 23);
    EXPECT_EQ(full["payload"]["flow"]["total_bytes"], 2048);
}

TEST_F(PluginReplayTest, EventIdsContinueInTheNextRun)
{
    auto first = LinesWith(Replay(FlowLine("00000000000000b1", 23) + FlowLine("00000000000000b2", 23)), "processor");
    auto second = LinesWith(Replay(FlowLine("00000000000000b3", 23)), "processor");
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 1u);
    uint64_t last = first[1]["record"]["id"].get<uint64_t>();
    EXPECT_EQ(last, first[0]["record"]["id"].get<uint64_t>() + 1);
    EXPECT_GT(second[0]["record"]["id"].get<uint64_t>(), last);
    EXPECT_EQ(dir.ReadFile("state/proc-intel.event-id"),
              std::to_string(second[0]["record"]["id"].get<uint64_t>()) + "\n");
}

}  // namespace
