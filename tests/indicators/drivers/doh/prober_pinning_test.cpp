// Every connection of a probe goes to the flow's own server, whatever the
// name in its URL resolves to or a redirect names: two loopback servers on
// one port, one per address family, or on two ports, tell which one the
// prober talked to.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "indicators/drivers/doh/doh_fixture.h"
#include "support/doh_server.h"

namespace {

bool IPv6LoopbackAvailable()
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return bound;
}

// What listens on the flow's own address and port besides the DoH server on
// the other family's loopback address.
enum class FlowSide { nothing, not_doh, doh };

// A server on 127.0.0.1:P and one on [::1]:P, either of them optional.
struct ServerPair {
    std::unique_ptr<DohTestServer> ipv4;
    std::unique_ptr<DohTestServer> ipv6;
    uint16_t port = 0;

    DohTestServer *On(const std::string &address) const { return address == "::1" ? ipv6.get() : ipv4.get(); }
};

// Starts the servers wanted on one port; a port the other family's loopback
// address already uses is given up for another.
ServerPair StartPair(bool want_ipv4, bool want_ipv6)
{
    for (int attempt = 0; attempt < 20; attempt++) {
        ServerPair pair;
        auto placeholder = std::make_unique<DohTestServer>();
        placeholder->Start("::1", 0);
        pair.port = placeholder->Port();
        if (want_ipv6)
            pair.ipv6 = std::move(placeholder);
        else
            placeholder.reset();
        if (!want_ipv4)
            return pair;
        pair.ipv4 = std::make_unique<DohTestServer>();
        try {
            pair.ipv4->Start("127.0.0.1", pair.port);
            return pair;
        } catch (const std::runtime_error &) {
            continue;  // taken on 127.0.0.1
        }
    }
    throw std::runtime_error("no port free on both loopback addresses");
}

class DohPinningTest : public DohProberTest
{
protected:
    std::shared_ptr<vpiDOHScanner> ScannerFor(const std::string &route, const std::string &lists)
    {
        json conf = {{"routes", {route}},
                     {"timeout", 10},
                     {"cache_path_positive", dir.Path(lists + "-positive.csv")},
                     {"cache_path_negative", dir.Path(lists + "-negative.csv")}};
        return MakeScanner(conf.dump());
    }
};

TEST_F(DohPinningTest, AProbeTalksToTheFlowsServerWhereverItsNamePoints)
{
    if (!IPv6LoopbackAvailable())
        GTEST_SKIP() << "no IPv6 loopback address";
    struct Case {
        const char *name;
        std::string flow_address;  // the DoH server listens on the other one, unless side is doh
        FlowSide side;
    };
    const Case cases[] = {
        {"IPv4 flow, nothing on its server", "127.0.0.1", FlowSide::nothing},
        {"IPv4 flow, its server no DoH server", "127.0.0.1", FlowSide::not_doh},
        {"IPv4 flow, its server the DoH server", "127.0.0.1", FlowSide::doh},
        {"IPv6 flow, nothing on its server", "::1", FlowSide::nothing},
        {"IPv6 flow, its server no DoH server", "::1", FlowSide::not_doh},
        {"IPv6 flow, its server the DoH server", "::1", FlowSide::doh},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool flow_ipv6 = c.flow_address == "::1";
        const std::string other_address = flow_ipv6 ? "127.0.0.1" : "::1";
        const bool flow_side_listens = c.side != FlowSide::nothing;
        ServerPair servers = StartPair(flow_ipv6 || flow_side_listens, !flow_ipv6 || flow_side_listens);
        DohTestServer *own = flow_side_listens ? servers.On(c.flow_address) : nullptr;
        DohTestServer *other = servers.On(other_address);
        if (own != nullptr)
            own->Route(doh_path, c.side == FlowSide::doh ? DohRoute::Answer() : DohRoute::Status(404));
        // Where "localhost" may lead a probe that follows the name.
        other->Route(doh_path, c.side == FlowSide::doh ? DohRoute::Status(404) : DohRoute::Answer());

        auto scanner = ScannerFor("dns-query", "case" + std::to_string(++index));
        auto flow = TlsFlow(servers.port, "localhost", vdProto::TLS, c.flow_address);
        Offer(*scanner, flow);
        ASSERT_TRUE(Idle(*scanner));

        const bool detected = c.side == FlowSide::doh;
        std::string url;
        EXPECT_EQ(InPositive(*scanner, flow, &url), detected) << testing::PrintToString(log.Lines());
        EXPECT_EQ(InNegative(*scanner, flow), !detected);
        if (detected) {
            EXPECT_EQ(url, "https://localhost:" + std::to_string(servers.port) + "/dns-query");
        }
        EXPECT_EQ(other->Handshakes(), 0u);
        if (own != nullptr) {
            // The name stays in the request.
            ASSERT_EQ(own->Requests().size(), 1u);
            EXPECT_EQ(own->Requests()[0].Header("host"),
                      std::optional<std::string>("localhost:" + std::to_string(servers.port)));
        }
        log.Clear();
    }
}

TEST_F(DohPinningTest, ARedirectToAnotherNameStaysOnTheFlowsServer)
{
    struct Case {
        const char *name;
        bool own_answers;  // the flow's server answers the redirect's target as a DoH server
    };
    const Case cases[] = {
        {"the flow's server is no DoH server, the named one is", false},
        {"the flow's server is the DoH server, the named one is not", true},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DohTestServer own;
        DohTestServer named;
        own.Start();
        named.Start();
        const std::string target = "localhost:" + std::to_string(named.Port());
        own.Route("/start", DohRoute::Redirect("https://" + target + "/final"));
        own.Route("/final", c.own_answers ? DohRoute::Answer() : DohRoute::Status(404));
        named.Route("/final", c.own_answers ? DohRoute::Status(404) : DohRoute::Answer());

        auto scanner = ScannerFor("start", "redirect" + std::to_string(++index));
        auto flow = TlsFlow(own.Port(), "doh.localhost");
        Offer(*scanner, flow);
        ASSERT_TRUE(Idle(*scanner));

        EXPECT_EQ(InPositive(*scanner, flow), c.own_answers) << testing::PrintToString(log.Lines());
        EXPECT_EQ(InNegative(*scanner, flow), !c.own_answers);
        EXPECT_EQ(named.Handshakes(), 0u);
        ASSERT_EQ(own.RequestCount("/final"), 1u);
        EXPECT_EQ(own.Requests().back().Header("host"), std::optional<std::string>(target));
    }
}

}  // namespace
