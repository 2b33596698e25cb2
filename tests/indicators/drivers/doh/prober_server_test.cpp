// The prober against a real loopback DoH server: what is a detection and
// what is not, the routes tried in turn on one connection, one probe per
// server, a flow gone before its detection, and verdicts kept across
// restarts.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "indicators/drivers/doh/doh_fixture.h"
#include "support/doh_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;

class DohServerProbeTest : public DohProberTest
{
protected:
    DohServerProbeTest() { server.Start(); }

    // A scanner with its own list files, so that cases do not share verdicts.
    std::shared_ptr<vpiDOHScanner> ScannerFor(const std::vector<std::string> &routes, const std::string &lists = "",
                                              int timeout = 10)
    {
        json conf = {{"routes", routes}, {"timeout", timeout}};
        if (!lists.empty()) {
            conf["cache_path_positive"] = dir.Path(lists + "-positive.csv");
            conf["cache_path_negative"] = dir.Path(lists + "-negative.csv");
        }
        return MakeScanner(conf.dump());
    }

    // The intel events queued within the deadline (none expected: returns
    // at once with what there is).
    std::vector<Event> IntelEvents(bool wait = true)
    {
        std::vector<Event> events;
        queue->Pop(events, wait ? 10 : 0);
        return events;
    }

    static std::string UrlOf(const Event &intel)
    {
        return std::get<std::string>(intel.Read().entries.at(0)->attrs.at("url"));
    }

    DohTestServer server;
};

TEST_F(DohServerProbeTest, ADetectionYieldsIntelForTheFlowThatFoundIt)
{
    server.Route(doh_path, DohRoute::Answer());
    auto scanner = ScannerFor({"dns-query"});
    auto flow = TlsFlow(server.Port());
    Offer(*scanner, flow);

    std::vector<Event> events = IntelEvents();
    ASSERT_EQ(events.size(), 1u) << testing::PrintToString(log.Lines());
    const Event &intel = events.front();
    EXPECT_EQ(intel.type, Event::INTEL);
    EXPECT_EQ(intel.flow, flow);
    EXPECT_EQ(intel.Read().indicator, "t");
    ASSERT_EQ(intel.Read().entries.size(), 1u);
    const vppIntel::Entry &entry = *intel.Read().entries[0];
    const std::string url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/dns-query";
    EXPECT_EQ(UrlOf(intel), url);
    EXPECT_EQ(entry.indicator_driver, "doh_scanner");
    EXPECT_EQ(entry.category, "encrypted_dns_detection");
    EXPECT_EQ(entry.event, "dpi_complete");
    EXPECT_EQ(scanner->stats.hits.Get(), 1u);
    EXPECT_TRUE(log.Contains("t: " + url + ": DoH server detected."));

    // The query went out as a DNS message; the server is listed with its URL.
    ASSERT_TRUE(Idle(*scanner));
    std::string listed;
    EXPECT_TRUE(InPositive(*scanner, flow, &listed));
    EXPECT_EQ(listed, url);
    const std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].Header("content-type"), std::optional<std::string>(dns_message_type));
    EXPECT_TRUE(scanner->Negative()->CacheSize() == 0);

    // Later flows to the server are hits, without intel from the prober.
    Offer(*scanner, TlsFlow(server.Port()));
    EXPECT_EQ(scanner->stats.cache_hit.Get(), 1u);
    EXPECT_TRUE(IntelEvents(false).empty());
}

TEST_F(DohServerProbeTest, RoutesAreTriedInTurnOnOneConnection)
{
    server.Route(doh_path, DohRoute::Answer());
    auto scanner = ScannerFor({"missing", "/dns-query", "never"});
    auto flow = TlsFlow(server.Port(), "doh.localhost");
    Offer(*scanner, flow);

    std::vector<Event> events = IntelEvents();
    ASSERT_EQ(events.size(), 1u) << testing::PrintToString(log.Lines());
    // A host name from the flow that is a plain name makes the URL.
    EXPECT_EQ(UrlOf(events.front()), "https://doh.localhost:" + std::to_string(server.Port()) + "/dns-query");
    EXPECT_EQ(server.RequestCount("/missing"), 1u);
    EXPECT_EQ(server.RequestCount("/never"), 0u);
    EXPECT_EQ(server.Handshakes(), 1u);
}

TEST_F(DohServerProbeTest, WhatIsNotADetection)
{
    struct Case {
        const char *name;
        DohRoute route;
        bool detected;
        const char *transfer_error = "";  // libcurl's code in the probe's line
    };
    const std::string final_path = "/final";
    server.Route(final_path, DohRoute::Answer());
    const Case cases[] = {
        {"an answer behind its length", DohRoute::PrefixedAnswer(), true},
        {"a type with parameters", DohRoute::Answer("application/dns-message; charset=utf-8"), false},
        {"the type in capitals", DohRoute::Answer("Application/DNS-Message"), false},
        {"another type", DohRoute::Answer("text/html"), false},
        {"no such route", DohRoute::Status(404), false},
        {"a server error", DohRoute::Status(500), false},
        // Cut off at the bound: refused by its declared length, or by the
        // bytes that came.
        {"a body over 65537 bytes", DohRoute::Oversize(70000), false, "[63]"},
        {"a body over 65537 bytes of no declared length", DohRoute::Oversize(70000, false), false, "[23]"},
        {"a closed connection", DohRoute::Close(), false},
        {"a redirect on the server, POST kept", DohRoute::Redirect(final_path, 301), true},
        {"a redirect to plain http", DohRoute::Redirect("http://127.0.0.1:" + std::to_string(server.Port()) + "/final"),
         false, "[1]"},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/case" + std::to_string(++index);
        server.Route(path, c.route);
        auto scanner = ScannerFor({path}, "case" + std::to_string(index));
        auto flow = TlsFlow(server.Port());
        Offer(*scanner, flow);
        ASSERT_TRUE(Idle(*scanner));
        EXPECT_EQ(InPositive(*scanner, flow), c.detected);
        EXPECT_EQ(InNegative(*scanner, flow), !c.detected);
        EXPECT_EQ(IntelEvents(false).size(), c.detected ? 1u : 0u);
        if (*c.transfer_error != '\0') {
            EXPECT_TRUE(log.Contains(server.Url(path) + ": ")) << testing::PrintToString(log.Lines());
            EXPECT_TRUE(log.Contains(c.transfer_error)) << testing::PrintToString(log.Lines());
        }
        log.Clear();
    }
}

TEST_F(DohServerProbeTest, RedirectsAreFollowedAtMostFiveTimes)
{
    for (int hops : {5, 6}) {
        SCOPED_TRACE(hops);
        const std::string prefix = "/hop" + std::to_string(hops) + "-";
        const std::string first = server.RouteRedirectChain(prefix, hops, "/final");
        server.Route("/final", DohRoute::Answer());
        auto scanner = ScannerFor({first}, "hops" + std::to_string(hops));
        auto flow = TlsFlow(server.Port());
        Offer(*scanner, flow);
        ASSERT_TRUE(Idle(*scanner));
        EXPECT_EQ(InPositive(*scanner, flow), hops == 5);
    }
}

TEST_F(DohServerProbeTest, TwoFlowsToOneServerGiveOneProbe)
{
    server.Route("/slow", DohRoute::Stall());
    server.Route(doh_path, DohRoute::Answer());
    auto scanner = ScannerFor({"slow", "dns-query"}, "", 1);
    auto first = TlsFlow(server.Port());
    Offer(*scanner, first);
    ASSERT_TRUE(server.WaitForRequests(1, 10s));
    Offer(*scanner, TlsFlow(server.Port(), "doh.localhost"));
    EXPECT_EQ(scanner->stats.cache_hit.Get(), 0u);
    EXPECT_EQ(scanner->Dropped(), 0u);

    std::vector<Event> events = IntelEvents();
    ASSERT_TRUE(Idle(*scanner));
    EXPECT_EQ(server.RequestCount("/slow"), 1u);
    EXPECT_EQ(server.RequestCount(doh_path), 1u);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events.front().flow, first);
}

TEST_F(DohServerProbeTest, AFlowGoneBeforeItsDetectionGivesNoIntel)
{
    // The first route holds the probe until its timeout; meanwhile the flow
    // expires. The second route detects the server.
    server.Route("/slow", DohRoute::Stall());
    server.Route(doh_path, DohRoute::Answer());
    auto scanner = ScannerFor({"slow", "dns-query"}, "", 1);
    auto flow = TlsFlow(server.Port());
    const vdFlow::Ptr again = TlsFlow(server.Port());
    Offer(*scanner, flow);
    ASSERT_TRUE(server.WaitForRequests(1, 10s));
    flow.reset();

    ASSERT_TRUE(server.WaitForRequests(2, 10s));
    ASSERT_TRUE(Idle(*scanner));
    EXPECT_TRUE(InPositive(*scanner, again));
    EXPECT_TRUE(IntelEvents(false).empty());
    EXPECT_EQ(scanner->stats.hits.Get(), 0u);

    Offer(*scanner, again);
    EXPECT_EQ(scanner->stats.cache_hit.Get(), 1u);
}

TEST_F(DohServerProbeTest, VerdictsOutliveARestart)
{
    server.Route(doh_path, DohRoute::Answer());
    const uint16_t refused = RefusedPort();
    auto scanner = ScannerFor({"dns-query"});
    auto flow = TlsFlow(server.Port());
    Offer(*scanner, flow);
    Offer(*scanner, TlsFlow(refused));
    ASSERT_EQ(IntelEvents().size(), 1u);
    ASSERT_TRUE(Idle(*scanner));
    scanner.reset();

    scanner = ScannerFor({"dns-query"});
    Offer(*scanner, TlsFlow(server.Port()));
    Offer(*scanner, TlsFlow(refused));
    EXPECT_EQ(scanner->stats.cache_hit.Get(), 2u);
    EXPECT_EQ(scanner->PendingServers(), 0u);
    EXPECT_EQ(server.RequestCount(doh_path), 1u);
    std::string url;
    EXPECT_TRUE(InPositive(*scanner, TlsFlow(server.Port()), &url));
    EXPECT_EQ(url, "https://127.0.0.1:" + std::to_string(server.Port()) + "/dns-query");
}

TEST_F(DohServerProbeTest, AStalledServerIsBoundedByTheTimeout)
{
    server.Route(doh_path, DohRoute::Stall());
    auto scanner = ScannerFor({"dns-query"}, "", 1);
    auto flow = TlsFlow(server.Port());
    Offer(*scanner, flow);
    // The worker's call returned at once; the probe ends by its timeout.
    ASSERT_TRUE(server.WaitForRequests(1, 10s));
    ASSERT_TRUE(WaitUntil([&] { return InNegative(*scanner, flow); }, 20s));
    EXPECT_TRUE(log.Contains(server.Url() + ": ")) << testing::PrintToString(log.Lines());
    EXPECT_TRUE(log.Contains("[28]")) << testing::PrintToString(log.Lines());
}

// The worker may adopt a cloud answer's score while the prober thread
// scores a detection: the entry gets the score before or after, never a torn
// one (and a race detector sees no race).
TEST_F(DohServerProbeTest, AScoreSetOnTheWorkerMeetsTheProberThreadSafely)
{
    server.Route(doh_path, DohRoute::Answer());
    auto scanner = ScannerFor({"dns-query"});
    auto flow = TlsFlow(server.Port());
    Offer(*scanner, flow);
    scanner->SetDataFeedScore(json::parse(R"({"score": 40})"));

    std::vector<Event> events = IntelEvents();
    ASSERT_EQ(events.size(), 1u);
    const uint32_t score = events.front().Read().entries.at(0)->score;
    EXPECT_TRUE(score == 0 || score == 40) << score;
    EXPECT_EQ(scanner->score.load(), 40u);
}

// A detection whose report meets a failure keeps its verdict, and the
// intel too where only the report's log line failed: here the host's
// configuration is gone by the time the server answers.
TEST(DohProbeReport, AFailureAfterTheVerdictKeepsTheServerListedAndItsIntel)
{
    LogCapture log;
    TempDir dir;
    auto config = std::make_unique<vdGlobalConfig>();
    config->variables["path_state_persistent"] = dir.Path();
    config->verbosity = 3;
    for (const char *name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    DohTestServer server;
    server.Route("/slow", DohRoute::Stall());
    server.Route(doh_path, DohRoute::Answer());
    server.Start();
    auto queue = vppEventQueue::Queue::Create("event_queue");
    auto scanner =
        vpiDOHScanner::Create(queue, "t", 0, json{{"routes", {"slow", "dns-query"}}, {"timeout", 1}}, json::object());

    auto flow = FlowBuilder().Lower("127.0.0.1", 50000).Upper("127.0.0.1", server.Port()).Build();
    flow->origin = 1;
    flow->master_protocol = vdProto::TLS;
    auto ev = std::make_shared<vppEventQueue::Event>();
    ev->flow = flow;
    scanner->ProcessFlow(ev);
    // The probe waits out the stalled route while the configuration goes.
    ASSERT_TRUE(server.WaitForRequests(1, 10s));
    config.reset();

    std::vector<vppEventQueue::Event> events;
    queue->Pop(events, 10);
    ASSERT_EQ(events.size(), 1u) << testing::PrintToString(log.Lines());
    EXPECT_EQ(events.front().flow, flow);
    ASSERT_TRUE(WaitUntil([&] { return scanner->PendingServers() == 0; }));
    vpiDOHScannerFlowCacheEntry listed;
    EXPECT_TRUE(scanner->Positive()->CacheLookup(vpiDOHScannerFlowCacheEntry(flow).digest, listed));
    const std::string server_text = "t: 127.0.0.1:" + std::to_string(server.Port()) + ": ";
    EXPECT_TRUE(log.Contains(server_text + "detected flow not printed: ")) << testing::PrintToString(log.Lines());
    EXPECT_FALSE(log.Contains("left unjudged"));
    ExpectStopsWithin([&] { scanner.reset(); });
}

}  // namespace
