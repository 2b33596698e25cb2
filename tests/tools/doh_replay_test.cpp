// The encrypted-DNS prober run by the replay host end to end, against the
// loopback DoH server: a detection reported for its flow, verdicts kept
// across a restart, a stalled server that holds neither the worker nor the
// stop, and a flow that expires while its server is probed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/doh_server.h"
#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 30s;

std::string DigestText(uint64_t digest)
{
    return vd_xxh64_to_string(digest);
}

// A flow from a loopback client to the loopback server on port; TLS unless
// another master protocol is given.
std::string FlowLine(uint64_t digest, uint16_t port, unsigned master_protocol = 91, const std::string &host = "")
{
    json line = json::parse(R"({"event": "dpi_complete", "flow": {"ip_version": 4, "ip_protocol": 6,
        "lower_addr": "127.0.0.1", "lower_port": 40000, "upper_addr": "127.0.0.1", "lower_map": 1, "origin": 1,
        "stats": {"total_bytes": 2048, "total_packets": 12}}})");
    line["flow"]["digest"] = DigestText(digest);
    line["flow"]["upper_port"] = port;
    line["flow"]["master_protocol"] = master_protocol;
    line["flow"]["host_server_name"] = host;
    return line.dump() + "\n";
}

std::string ExpiredLine(uint64_t digest)
{
    return R"({"event": "flow_expired", "flow": {"digest": ")" + DigestText(digest) + "\"}}\n";
}

std::string DigestMark(uint64_t digest)
{
    return "\"digest\":\"" + DigestText(digest) + "\"";
}

class DohReplayTest : public ::testing::Test
{
protected:
    DohReplayTest()
    {
        // The replay host inherits the environment: no proxy between the
        // prober and the loopback server.
        for (const char *name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            unsetenv(name);
        server.Start();
    }

    // The prober with two routes, and a custom indicator that answers at
    // once, both sending their intel to the processor "audit".
    void WriteConf(const std::vector<std::string> &routes, int timeout)
    {
        json conf = json::parse(R"({
          "indicator_defaults": {"criteria": {"min_bytes": 0}},
          "indicators": {
            "doh": {"indicator_driver": "doh_scanner", "score": 70, "proc_targets": ["audit"]},
            "telnet": {"indicator_driver": "custom", "score": 80, "criteria": {"flow_expr": "other_port == 23"},
                       "proc_targets": ["audit"]}
          }
        })");
        conf["indicators"]["doh"]["routes"] = routes;
        conf["indicators"]["doh"]["timeout"] = timeout;
        conf_path = dir.WriteFile("intel.json", conf.dump());
    }

    std::unique_ptr<ChildProcess> Start()
    {
        return StartReplay({"--plugin", PLUGIN_LIBRARY, "--conf", conf_path, "--state", dir.Path("state"), "--linger",
                            "0"});
    }

    // Asks for the status, then ends the input and the run.
    static ProcessResult Finish(ChildProcess &replay)
    {
        EXPECT_TRUE(replay.Write("{\"status\": true}\n", DeadlineIn(deadline)));
        EXPECT_TRUE(replay.WaitForOutput("{\"status\":", DeadlineIn(deadline))) << replay.Err();
        replay.CloseInput();
        ProcessResult result = replay.Finish(DeadlineIn(deadline));
        EXPECT_EQ(result.exit_status, 0) << result.Describe();
        return result;
    }

    static json DohStatus(const ProcessResult &result)
    {
        auto statuses = LinesWith(result.OutputLines(), "status");
        return statuses.empty() ? json() : statuses.back()["status"]["indicators"]["doh"];
    }

    static std::vector<json> RecordsOf(const ProcessResult &result, uint64_t digest)
    {
        std::vector<json> records;
        for (const json &line : LinesWith(result.OutputLines(), "processor"))
            if (line["digest"] == DigestText(digest))
                records.push_back(line["record"]);
        return records;
    }

    std::string Url(const std::string &path) const
    {
        return "https://127.0.0.1:" + std::to_string(server.Port()) + path;
    }

    TempDir dir;
    std::string conf_path;
    DohTestServer server;
};

TEST_F(DohReplayTest, ATLSServerAnsweringDoHIsReportedForItsFlowAndRemembered)
{
    server.Route(doh_path, DohRoute::Answer());
    WriteConf({"missing", "dns-query"}, 10);

    auto replay = Start();
    // A flow of another protocol to the same server is never probed.
    ASSERT_TRUE(replay->Write(FlowLine(0xd0, server.Port(), 7), DeadlineIn(deadline)));
    ASSERT_TRUE(replay->Write(FlowLine(0xd1, server.Port()), DeadlineIn(deadline)));
    ASSERT_TRUE(replay->WaitForOutput(DigestMark(0xd1), DeadlineIn(deadline))) << replay->Err();
    ProcessResult first = Finish(*replay);

    std::vector<json> records = RecordsOf(first, 0xd1);
    ASSERT_EQ(records.size(), 1u) << first.out;
    EXPECT_EQ(records[0]["attrs"]["url"], Url("/dns-query"));
    EXPECT_EQ(records[0]["indicator"], "doh");
    EXPECT_EQ(records[0]["indicator_driver"], "doh_scanner");
    EXPECT_EQ(records[0]["score"], 70);
    EXPECT_TRUE(RecordsOf(first, 0xd0).empty());
    EXPECT_EQ(server.RequestCount("/missing"), 1u);
    EXPECT_EQ(server.RequestCount(doh_path), 1u);
    EXPECT_EQ(server.Handshakes(), 1u);
    EXPECT_NE(dir.ReadFile("state/doh-positive.csv").find("," + Url("/dns-query") + "\n"), std::string::npos);

    // The next run knows the server from its file: a hit, no probe, no intel.
    replay = Start();
    ASSERT_TRUE(replay->Write(FlowLine(0xd2, server.Port()), DeadlineIn(deadline)));
    // Evaluated in order: once the next flow's intel is out, the first has
    // met the prober.
    ASSERT_TRUE(replay->Write(FlowLine(0xd3, 23), DeadlineIn(deadline)));
    ASSERT_TRUE(replay->WaitForOutput(DigestMark(0xd3), DeadlineIn(deadline))) << replay->Err();
    ProcessResult second = Finish(*replay);
    EXPECT_TRUE(RecordsOf(second, 0xd2).empty()) << second.out;
    EXPECT_EQ(DohStatus(second)["discards"]["cache_hit"], 1) << second.out;
    EXPECT_EQ(server.RequestCount(doh_path), 1u);
}

TEST_F(DohReplayTest, AStalledServerHoldsNeitherTheWorkerNorTheStop)
{
    server.Route(doh_path, DohRoute::Stall());
    // Far longer than the deadlines below.
    WriteConf({"dns-query"}, 600);

    auto replay = Start();
    ASSERT_TRUE(replay->Write(FlowLine(0xe1, server.Port()), DeadlineIn(deadline)));
    ASSERT_TRUE(server.WaitForRequests(1, deadline));
    // The worker answers the other indicator while the probe stalls.
    ASSERT_TRUE(replay->Write(FlowLine(0xe2, 23), DeadlineIn(deadline)));
    ASSERT_TRUE(replay->WaitForOutput(DigestMark(0xe2), DeadlineIn(deadline))) << replay->Err();
    // The stop cuts the probe short; the server stays unjudged.
    ProcessResult result = Finish(*replay);
    EXPECT_FALSE(result.timed_out);
    EXPECT_TRUE(RecordsOf(result, 0xe1).empty());
    EXPECT_EQ(dir.ReadFile("state/doh-negative.csv"), "\"digest\"\n");
}

TEST_F(DohReplayTest, AFlowThatExpiresWhileItsServerIsProbedGivesNoIntel)
{
    // The first route holds the probe until its timeout, the second detects.
    server.Route("/slow", DohRoute::Stall());
    server.Route(doh_path, DohRoute::Answer());
    WriteConf({"slow", "dns-query"}, 2);

    auto replay = Start();
    ASSERT_TRUE(replay->Write(FlowLine(0xf1, server.Port()), DeadlineIn(deadline)));
    ASSERT_TRUE(server.WaitForRequests(1, deadline));
    ASSERT_TRUE(replay->Write(ExpiredLine(0xf1), DeadlineIn(deadline)));
    ASSERT_TRUE(replay->WaitForError("doh: " + Url("/dns-query") + ": DoH server detected.", DeadlineIn(deadline)));
    ProcessResult result = Finish(*replay);

    EXPECT_TRUE(RecordsOf(result, 0xf1).empty()) << result.out;
    EXPECT_EQ(DohStatus(result)["hits"], 0);
    EXPECT_NE(dir.ReadFile("state/doh-positive.csv").find("," + Url("/dns-query") + "\n"), std::string::npos);
}

}  // namespace
