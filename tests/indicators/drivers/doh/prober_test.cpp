// The prober without a DoH server: its configuration, the TLS gate, one
// request per server, the queue bound and its report, servers that refuse
// or stall, a stop during a probe, and failures kept inside its thread.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "indicators/drivers/doh/doh_fixture.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;
using Settings = vpiDOHScanner::Settings;

TEST_F(DohProberTest, ConfigurationKeysAndTheirDefaults)
{
    struct Case {
        const char *conf;
        std::vector<std::string> routes;
        long timeout;
        uint32_t positive, negative, max_queue;
        const char *line;  // an operational line the value gives, or ""
    };
    const Case cases[] = {
        {"{}", {"dns-query"}, 5, 1000, 10000, 1000, ""},
        {R"({"routes": "q", "timeout": 9, "cache_size_positive": 2, "cache_size_negative": 3, "max_queue": 4})",
         {"q"},
         9,
         2,
         3,
         4,
         ""},
        {R"({"routes": ["a", "/b", ""]})", {"a", "/b", ""}, 5, 1000, 10000, 1000, ""},
        {R"({"routes": []})", {"dns-query"}, 5, 1000, 10000, 1000, ""},
        {R"({"routes": 5, "timeout": "7", "max_queue": 2.5, "cache_size_positive": true})",
         {"dns-query"},
         5,
         1000,
         10000,
         1000,
         ""},
        // A timeout a probe cannot take is brought into range, and said.
        {R"({"timeout": 0})", {"dns-query"}, 5, 1000, 10000, 1000, "t: timeout 0 is not a positive number of seconds: using 5"},
        {R"({"timeout": -1})", {"dns-query"}, 5, 1000, 10000, 1000, "t: timeout -1 is not a positive number of seconds: using 5"},
        {R"({"timeout": 2147483})", {"dns-query"}, 2147483, 1000, 10000, 1000, ""},
        {R"({"timeout": 2147484})", {"dns-query"}, 2147483, 1000, 10000, 1000, "t: timeout 2147484 is over 2147483 seconds: using 2147483"},
        {R"({"timeout": 18446744073709551615})", {"dns-query"}, 2147483, 1000, 10000, 1000, "t: timeout 18446744073709551615 is over"},
        // Sizes wrap modulo 2^32; max_queue outside 1..2^32-1 is the default.
        {R"({"cache_size_positive": -1, "cache_size_negative": 4294967297})", {"dns-query"}, 5, 4294967295u, 1, 1000, ""},
        {R"({"max_queue": 0})", {"dns-query"}, 5, 1000, 10000, 1000, ""},
        {R"({"max_queue": -3})", {"dns-query"}, 5, 1000, 10000, 1000, ""},
        {R"({"max_queue": 4294967296})", {"dns-query"}, 5, 1000, 10000, 1000, ""},
        {R"({"max_queue": 4294967295})", {"dns-query"}, 5, 1000, 10000, 4294967295u, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.conf);
        log.Clear();
        Settings settings = Settings::Read("t", json::parse(c.conf));
        EXPECT_EQ(settings.routes, c.routes);
        EXPECT_EQ(settings.timeout, c.timeout);
        EXPECT_EQ(settings.cache_size_positive, c.positive);
        EXPECT_EQ(settings.cache_size_negative, c.negative);
        EXPECT_EQ(settings.max_queue, c.max_queue);
        auto lines = log.Lines(vdLogLevel::operational);
        if (std::string(c.line).empty())
            EXPECT_TRUE(lines.empty()) << testing::PrintToString(lines);
        else
            EXPECT_TRUE(log.Contains(c.line)) << testing::PrintToString(lines);
    }
}

TEST_F(DohProberTest, PathsExpandTheHostsVariables)
{
    Settings defaults = Settings::Read("t", json::object());
    EXPECT_EQ(defaults.cache_path_positive, dir.Path() + "/doh-positive.csv");
    EXPECT_EQ(defaults.cache_path_negative, dir.Path() + "/doh-negative.csv");
    Settings chosen = Settings::Read(
        "t", json::parse(R"({"cache_path_positive": "${path_state_persistent}/p.csv", "cache_path_negative": "/n"})"));
    EXPECT_EQ(chosen.cache_path_positive, dir.Path() + "/p.csv");
    EXPECT_EQ(chosen.cache_path_negative, "/n");
}

TEST(DohProberSettings, NeedTheHostConfiguration)
{
    EXPECT_NE(ErrorText([] { Settings::Read("t", json::object()); }).find("instance not found"), std::string::npos);
}

TEST_F(DohProberTest, ConfigurationErrorsFailTheIndicator)
{
    struct Case {
        std::string conf;
        std::string message;
    };
    const Case cases[] = {
        {R"({"routes": ["a", 1]})", "t: routes: element 1 is not a string"},
        {R"({"routes": ["dns query"]})", "t: routes: element 0 holds a space or a control character"},
        {R"({"routes": ["a", "b\nc"]})", "t: routes: element 1 holds a space or a control character"},
        {R"({"routes": ")" + std::string(1025, 'r') + R"("})", "t: routes: element 0 is longer than 1024 bytes"},
        {R"({"query": ")" + std::string(64, 'a') + R"(.localhost"})",
         "t: res_mkquery: " + std::string(64, 'a') + ".localhost: -1"},
        {R"({"cache_size_positive": 0})", "maxiumum LRU cache size cannot be zero"},
        {R"({"cache_size_negative": 4294967296})", "maxiumum LRU cache size cannot be zero"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.conf);
        EXPECT_EQ(MakeError(Driver::doh_scanner, c.conf), c.message);
    }
}

TEST_F(DohProberTest, OnlyTLSFlowsAreProbed)
{
    StalledServer server;
    struct Case {
        const char *name;
        vdProto::Id master;
        vdProto::Id detected;
        size_t pending;
    };
    const Case cases[] = {
        {"TLS as master protocol", vdProto::TLS, 0, 1},
        {"TLS detected without a master", 0, vdProto::TLS, 1},
        {"QUIC", 0, vdProto::QUIC, 0},
        {"DNS over QUIC", 0, vdProto::DOQ, 0},
        {"HTTP", 0, 7, 0},
        {"nothing detected", 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto scanner = MakeScanner(R"({"timeout": 60})");
        auto flow = TlsFlow(server.port, "", c.master);
        flow->detected_protocol = c.detected;
        Offer(*scanner, flow);
        EXPECT_EQ(scanner->PendingServers(), c.pending);
        EXPECT_EQ(scanner->stats.cache_hit.Get(), 0u);
        EXPECT_EQ(scanner->Dropped(), 0u);
        ExpectStopsWithin([&] { scanner.reset(); });
    }
}

TEST_F(DohProberTest, OneRequestPerServerByAddressAndPort)
{
    StalledServer server;
    auto scanner = MakeScanner(R"({"timeout": 60})");
    auto first = TlsFlow(server.port);
    auto ev = FlowEvent(first);
    scanner->ProcessFlow(ev);
    // The request holds no strong reference to the flow.
    EXPECT_EQ(ev->flow, nullptr);
    EXPECT_EQ(first.use_count(), 1);

    Offer(*scanner, TlsFlow(server.port, "other.localhost"));
    EXPECT_EQ(scanner->PendingServers(), 1u);
    EXPECT_EQ(scanner->stats.cache_hit.Get(), 0u);
    EXPECT_EQ(scanner->Dropped(), 0u);

    // The same address on another port, and another address on the port.
    Offer(*scanner, TlsFlow(server.port + 1));
    Offer(*scanner, TlsFlow(server.port, "", vdProto::TLS, "127.0.0.2"));
    EXPECT_EQ(scanner->PendingServers(), 3u);
    ExpectStopsWithin([&] { scanner.reset(); });
}

TEST_F(DohProberTest, ARefusingServerIsListedNegativeAndThenAHit)
{
    const uint16_t port = RefusedPort();
    auto scanner = MakeScanner();
    auto flow = TlsFlow(port);
    Offer(*scanner, flow);
    ASSERT_TRUE(Idle(*scanner));
    EXPECT_TRUE(InNegative(*scanner, flow));
    EXPECT_FALSE(InPositive(*scanner, flow));
    EXPECT_TRUE(log.Contains("t: https://127.0.0.1:" + std::to_string(port) + "/dns-query: "));

    Offer(*scanner, TlsFlow(port));
    EXPECT_EQ(scanner->stats.cache_hit.Get(), 1u);
    EXPECT_EQ(scanner->PendingServers(), 0u);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(DohProberTest, AFullQueueCountsFlowsAndReportsOnceAMinute)
{
    StalledServer first, second;
    auto scanner = MakeScanner(R"({"max_queue": 1, "timeout": 1})");
    Offer(*scanner, TlsFlow(first.port));
    ASSERT_TRUE(first.WaitForConnection());
    // Two new servers while the first is probed: not queued, counted.
    Offer(*scanner, TlsFlow(RefusedPort()));
    Offer(*scanner, TlsFlow(RefusedPort()));
    EXPECT_EQ(scanner->Dropped(), 2u);
    EXPECT_EQ(scanner->PendingServers(), 1u);

    // Reported when the stalled probe ends at its timeout.
    ASSERT_TRUE(Idle(*scanner));
    EXPECT_EQ(log.Count("t: queue full (1 servers): 2 flow(s) not queued."), 1u);
    EXPECT_TRUE(InNegative(*scanner, TlsFlow(first.port)));

    // Within the minute, later drops are counted but not reported.
    Offer(*scanner, TlsFlow(second.port));
    ASSERT_TRUE(second.WaitForConnection());
    Offer(*scanner, TlsFlow(RefusedPort()));
    ASSERT_TRUE(Idle(*scanner));
    EXPECT_EQ(log.Count("t: queue full"), 1u);
    EXPECT_EQ(scanner->Dropped(), 1u);

    // A minute on, the next probe reports them.
    vd_time_monotonic_advance(vpiDOHScanner::drop_report_interval);
    Offer(*scanner, TlsFlow(RefusedPort()));
    ASSERT_TRUE(Idle(*scanner));
    EXPECT_EQ(log.Count("t: queue full (1 servers): 1 flow(s) not queued."), 1u);
    EXPECT_EQ(scanner->Dropped(), 0u);
}

TEST_F(DohProberTest, AStopDuringAStalledProbeEndsAtOnceAndLeavesTheServerUnjudged)
{
    StalledServer server;
    auto scanner = MakeScanner(R"({"timeout": 600})");
    Offer(*scanner, TlsFlow(server.port));
    ASSERT_TRUE(server.WaitForConnection());
    // Well within the timeout: the stop aborts the transfer.
    ExpectStopsWithin([&] { scanner.reset(); }, 10s, "a stop during a stalled probe");
    EXPECT_EQ(dir.ReadFile("doh-negative.csv"), "\"digest\"\n");
    EXPECT_EQ(dir.ReadFile("doh-positive.csv"), "\"digest\",\"address\",\"port\",\"url\"\n");
    EXPECT_TRUE(log.Contains("t: Exit."));
}

TEST_F(DohProberTest, ListsAreSavedAtTheEndAndLoadedAtTheStart)
{
    const uint16_t port = RefusedPort();
    auto scanner = MakeScanner();
    Offer(*scanner, TlsFlow(port));
    ASSERT_TRUE(Idle(*scanner));
    scanner.reset();
    EXPECT_TRUE(log.Contains("Saved 1 doh-negative cache entries."));

    scanner = MakeScanner();
    EXPECT_TRUE(log.Contains("Loaded 1 doh-negative cache entries."));
    Offer(*scanner, TlsFlow(port));
    EXPECT_EQ(scanner->stats.cache_hit.Get(), 1u);
    EXPECT_EQ(scanner->PendingServers(), 0u);
}

TEST_F(DohProberTest, AFlowWithoutAnIPVersionIsRefusedOnTheWorker)
{
    auto scanner = MakeScanner();
    auto flow = TlsFlow(443);
    flow->ip_version = 0;
    auto ev = FlowEvent(flow);
    EXPECT_NE(ErrorText([&] { scanner->ProcessFlow(ev); }).find("invalid IP version: 0"), std::string::npos);
    EXPECT_EQ(scanner->PendingServers(), 0u);
}

// A list file larger than the old whole-file bound, loaded with a lowered
// capacity: the last rows stay, are hits, and are what the stop saves.
TEST_F(DohProberTest, ALoweredCapacityKeepsTheLastServersOfALargeList)
{
    std::string text = "\"digest\",\"address\",\"port\",\"url\"\n";
    const std::string route(1900, 'r');
    std::vector<std::string> rows;
    for (uint16_t port = 1; port <= 9000; port++) {
        vpiDOHScannerFlowCacheEntry entry(TlsFlow(port));
        entry.url = "https://127.0.0.1:" + std::to_string(port) + "/" + route;
        std::ostringstream row;
        row << entry;
        rows.push_back(row.str());
        text += rows.back() + "\n";
    }
    ASSERT_GT(text.size(), 16u * 1024 * 1024);
    dir.WriteFile("doh-positive.csv", text);
    {
        auto scanner = MakeScanner(R"({"cache_size_positive": 3})");
        EXPECT_EQ(scanner->Positive()->CacheSize(), 3u);
        EXPECT_TRUE(log.Contains("Loaded 9000 doh-positive cache entries."));
        Offer(*scanner, TlsFlow(9000));
        Offer(*scanner, TlsFlow(8998));
        EXPECT_EQ(scanner->stats.cache_hit.Get(), 2u);
        EXPECT_EQ(scanner->PendingServers(), 0u);
    }
    const std::string saved = dir.ReadFile("doh-positive.csv");
    EXPECT_NE(saved.find(rows[8997] + "\n"), std::string::npos);
    EXPECT_NE(saved.find(rows[8999] + "\n"), std::string::npos);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 4);
}

// Without a host configuration the probe cannot start: the server is left
// unjudged and the thread goes on with the next one.
TEST(DohProberFailure, AFailedProbeLeavesTheServerUnjudgedAndTheThreadRunning)
{
    LogCapture log;
    TempDir dir;
    auto config = std::make_unique<vdGlobalConfig>();
    config->variables["path_state_persistent"] = dir.Path();
    auto queue = vppEventQueue::Queue::Create("event_queue");
    auto scanner = vpiDOHScanner::Create(queue, "t", 0, json::object(), json::object());

    const uint16_t port = RefusedPort();
    auto flow = FlowBuilder().Lower("127.0.0.1", 50000).Upper("127.0.0.1", port).Build();
    flow->origin = 1;
    flow->master_protocol = vdProto::TLS;
    config.reset();
    auto ev = std::make_shared<vppEventQueue::Event>();
    ev->flow = flow;
    scanner->ProcessFlow(ev);
    ASSERT_TRUE(log.WaitFor("t: 127.0.0.1:" + std::to_string(port) + ": probe failed, server left unjudged: "));
    ASSERT_TRUE(WaitUntil([&] { return scanner->PendingServers() == 0; }));
    EXPECT_EQ(scanner->Positive()->CacheSize() + scanner->Negative()->CacheSize(), 0u);

    // The thread still serves: with the configuration back, the next probe runs.
    config = std::make_unique<vdGlobalConfig>();
    config->variables["path_state_persistent"] = dir.Path();
    auto again = std::make_shared<vppEventQueue::Event>();
    again->flow = flow;
    scanner->ProcessFlow(again);
    ASSERT_TRUE(WaitUntil([&] { return scanner->Negative()->CacheSize() == 1; }));
    ExpectStopsWithin([&] { scanner.reset(); });
}

}  // namespace
