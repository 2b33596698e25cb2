// The prober against a real DoH server from Debian (dnsdist on loopback,
// answering every query itself): detected on its DoH route after a 404 on
// another.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "indicators/drivers/doh/doh_fixture.h"
#include "support/dnsdist_runner.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;

class DohDnsdistTest : public DohProberTest
{
};

TEST_F(DohDnsdistTest, ARealDoHServerIsDetectedOnItsRoute)
{
    const std::string missing = DnsdistRunner::Missing();
    if (!missing.empty())
        GTEST_SKIP() << missing;
    DnsdistRunner dnsdist;
    dnsdist.Start();

    auto scanner = MakeScanner(R"({"routes": ["elsewhere", "dns-query"], "timeout": 10})");
    auto flow = TlsFlow(dnsdist.DohPort());
    Offer(*scanner, flow);

    std::vector<Event> events;
    queue->Pop(events, 20);
    ASSERT_EQ(events.size(), 1u) << testing::PrintToString(log.Lines()) << dnsdist.Output();
    EXPECT_EQ(std::get<std::string>(events.front().Read().entries.at(0)->attrs.at("url")), dnsdist.Url("/dns-query"));
    EXPECT_TRUE(log.Contains(dnsdist.Url("/elsewhere") + ": HTTP: 404"));
    ASSERT_TRUE(Idle(*scanner));
    EXPECT_TRUE(InPositive(*scanner, flow));
    ExpectStopsWithin([&] { scanner.reset(); });
    ExpectStopsWithin([&] { dnsdist.Stop(); }, 15s, "DnsdistRunner::Stop");
}

}  // namespace
