// The intel plug-in's cache run by the replay host end to end: repeated
// servers answered from memory, the cache file kept across restarts, and a
// damaged file reported and replaced.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 60s;

// Keyed by the server alone, so every client of one server shares an entry;
// the file lives in the state directory the replay host names.
constexpr const char *conf = R"({
  "indicator_defaults": {"criteria": {"min_bytes": 0}},
  "indicators": {
    "telnet": {"indicator_driver": "custom", "score": 80,
               "criteria": {"flow_expr": "other_port == 23"},
               "proc_targets": ["audit"],
               "cache": {"flow_keys": ["other_ip", "other_port"], "max_size": 64,
                         "filename": "${path_state_persistent}/telnet.cache"}}
  }
})";

struct FlowSpec {
    uint64_t digest;
    std::string server;
    unsigned port = 23;
};

std::string DigestText(uint64_t digest)
{
    return vd_xxh64_to_string(digest);
}

std::string FlowLine(const FlowSpec &flow)
{
    json line = json::parse(R"({"event": "dpi_complete", "flow": {"ip_version": 4, "ip_protocol": 6,
        "lower_addr": "192.168.1.5", "lower_port": 40000, "lower_map": 1, "origin": 1,
        "stats": {"total_bytes": 2048, "total_packets": 12}}})");
    line["flow"]["digest"] = DigestText(flow.digest);
    line["flow"]["upper_addr"] = flow.server;
    line["flow"]["upper_port"] = flow.port;
    // Every client its own address: only the server makes the key.
    line["flow"]["lower_addr"] = "192.168.1." + std::to_string(flow.digest % 250 + 1);
    return line.dump() + "\n";
}

// The number of intel records of each flow.
std::map<std::string, int> RecordsPerFlow(const ProcessResult &result)
{
    std::map<std::string, int> counts;
    for (const auto &line : LinesWith(result.OutputLines(), "processor"))
        counts[line["digest"].get<std::string>()]++;
    return counts;
}

struct ReplayRun {
    ProcessResult result;
    json telnet;  // the indicator's member of the final status document
};

class IntelCacheReplayTest : public ::testing::Test
{
protected:
    std::vector<std::string> Arguments() const
    {
        return {"--plugin", PLUGIN_LIBRARY, "--conf", conf_path, "--state", dir.Path("state"), "--linger", "0"};
    }

    // Hands the flows in one at a time, each once the intel of the one
    // before has come out (so that it has been cached), then reads the
    // status and stops.
    ReplayRun OneAtATime(const std::vector<FlowSpec> &flows) { return Replay(flows, true); }
    // Hands the flows in together, so that flows to one server may meet in
    // one batch before the first of them is cached.
    ReplayRun AllAtOnce(const std::vector<FlowSpec> &flows) { return Replay(flows, false); }

    ReplayRun Replay(const std::vector<FlowSpec> &flows, bool one_at_a_time)
    {
        auto replay = StartReplay(Arguments());
        std::string lines;
        for (const FlowSpec &flow : flows)
            lines += FlowLine(flow);
        if (!one_at_a_time) {
            EXPECT_TRUE(replay->Write(lines, DeadlineIn(deadline)));
        }
        for (const FlowSpec &flow : flows) {
            if (one_at_a_time) {
                EXPECT_TRUE(replay->Write(FlowLine(flow), DeadlineIn(deadline)));
            }
            if (flow.port == 23) {
                EXPECT_TRUE(
                    replay->WaitForOutput("\"digest\":\"" + DigestText(flow.digest) + "\"", DeadlineIn(deadline)))
                    << replay->Err();
            }
        }
        // Once the intel is out, the flows' counters are final.
        EXPECT_TRUE(replay->Write("{\"status\": true}\n", DeadlineIn(deadline)));
        EXPECT_TRUE(replay->WaitForOutput("{\"status\":", DeadlineIn(deadline))) << replay->Err();
        replay->CloseInput();

        ReplayRun run;
        run.result = replay->Finish(DeadlineIn(deadline));
        EXPECT_EQ(run.result.exit_status, 0) << run.result.Describe();
        auto statuses = LinesWith(run.result.OutputLines(), "status");
        if (!statuses.empty())
            run.telnet = statuses.back()["status"]["indicators"]["telnet"];
        return run;
    }

    std::string CachePath() const { return dir.Path("state/telnet.cache"); }

    TempDir dir;
    std::string conf_path = dir.WriteFile("intel.json", conf);
};

TEST_F(IntelCacheReplayTest, ARepeatedServerIsAnsweredFromTheCache)
{
    ReplayRun run =
        OneAtATime({{0xa1, "203.0.113.9"}, {0xa2, "203.0.113.9"}, {0xa3, "203.0.113.10"}, {0xa4, "203.0.113.9"}});

    // Every flow yields its intel once, whether evaluated or cached.
    EXPECT_EQ(RecordsPerFlow(run.result),
              (std::map<std::string, int>{
                  {DigestText(0xa1), 1}, {DigestText(0xa2), 1}, {DigestText(0xa3), 1}, {DigestText(0xa4), 1}}));
    EXPECT_EQ(run.telnet["discards"]["cache_hit"], 2) << run.telnet;
    EXPECT_EQ(run.telnet["hits"], 2);
    EXPECT_EQ(run.telnet["flows_evaluated"], 4);
}

TEST_F(IntelCacheReplayTest, EveryMatchingFlowYieldsIntelHoweverTheFlowsAreBatched)
{
    std::vector<FlowSpec> flows;
    std::map<std::string, int> expected;
    for (uint64_t digest = 1; digest <= 60; digest++) {
        const unsigned port = digest % 3 == 0 ? 80 : 23;
        flows.push_back({digest, "203.0.113." + std::to_string(digest % 4 + 1), port});
        if (port == 23)
            expected[DigestText(digest)] = 1;
    }
    ReplayRun run = AllAtOnce(flows);
    EXPECT_EQ(RecordsPerFlow(run.result), expected);

    // Each matching flow was either evaluated or answered from the cache,
    // never both.
    ASSERT_TRUE(run.telnet.is_object()) << run.result.out;
    EXPECT_EQ(run.telnet["flows_evaluated"], 60);
    EXPECT_EQ(run.telnet["hits"].get<int>() + run.telnet["discards"]["cache_hit"].get<int>(), 40) << run.telnet;
}

TEST_F(IntelCacheReplayTest, TheCacheIsSavedAtStopAndAnswersAfterARestart)
{
    ReplayRun first = OneAtATime({{0xb1, "203.0.113.9"}});
    EXPECT_EQ(first.telnet["discards"]["cache_hit"], 0);
    ASSERT_TRUE(std::filesystem::exists(CachePath()));

    // The first flow of the next run is answered from the file.
    ReplayRun second = OneAtATime({{0xb2, "203.0.113.9"}});
    EXPECT_EQ(RecordsPerFlow(second.result), (std::map<std::string, int>{{DigestText(0xb2), 1}}));
    EXPECT_EQ(second.telnet["discards"]["cache_hit"], 1) << second.telnet;
    EXPECT_EQ(second.telnet["hits"], 0);

    // The record is the first run's finding.
    auto record = [](const ReplayRun &run) {
        json found = LinesWith(run.result.OutputLines(), "processor").at(0)["record"];
        found.erase("id");
        return found;
    };
    EXPECT_EQ(record(second), record(first));
}

TEST_F(IntelCacheReplayTest, ADamagedCacheFileIsReportedAndReplaced)
{
    OneAtATime({{0xc1, "203.0.113.9"}});
    const std::string saved = dir.ReadFile("state/telnet.cache");
    ASSERT_GT(saved.size(), 8u);

    const std::map<std::string, std::string> damages = {
        {"too short for its header", "\x01\x02\x03"},
        {"cut inside its record", saved.substr(0, saved.size() - 5)},
    };
    for (const auto &[name, text] : damages) {
        SCOPED_TRACE(name);
        dir.WriteFile("state/telnet.cache", text);

        // Evaluated afresh, the damage named in the log.
        ReplayRun damaged = OneAtATime({{0xc2, "203.0.113.9"}});
        EXPECT_EQ(RecordsPerFlow(damaged.result), (std::map<std::string, int>{{DigestText(0xc2), 1}}));
        EXPECT_EQ(damaged.telnet["discards"]["cache_hit"], 0);
        EXPECT_NE(damaged.result.err.find("telnet: Error loading flow intel cache: " + CachePath()), std::string::npos)
            << damaged.result.err;

        // The stop wrote a sound file again.
        ReplayRun repaired = OneAtATime({{0xc3, "203.0.113.9"}});
        EXPECT_EQ(repaired.telnet["discards"]["cache_hit"], 1);
        EXPECT_EQ(repaired.result.err.find("Error loading flow intel cache"), std::string::npos) << repaired.result.err;
    }
}

}  // namespace
