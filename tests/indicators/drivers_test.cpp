#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/name_tables.h"
#include "indicator_fixture.h"
#include "indicators/drivers/category.h"
#include "indicators/drivers/crypto.h"
#include "indicators/drivers/custom.h"
#include "indicators/drivers/doh/prober.h"
#include "indicators/drivers/dox_server.h"
#include "indicators/drivers/geo.h"
#include "indicators/drivers/insecure_protocol.h"
#include "indicators/drivers/reputation.h"
#include "indicators/drivers/risk.h"
#include "indicators/drivers/tls_score.h"
#include "indicators/drivers/tor_node.h"
#include "indicators/drivers/vpn.h"

namespace {

using vppIndicator::Base;
using vppIndicator::Category;
using vppIndicator::Driver;

template <class T> bool Is(const std::shared_ptr<Base> &indicator)
{
    return std::dynamic_pointer_cast<T>(indicator) != nullptr;
}

struct RegistryRow {
    Driver driver;
    Category category;
    bool (*is_class)(const std::shared_ptr<Base> &);  // nullptr: no class yet
};

const std::vector<RegistryRow> registry = {
    {Driver::invalid, Category::none, nullptr},
    {Driver::category, Category::flow_enrichment, Is<vpiCategory>},
    {Driver::credentials_cleartext, Category::unencrypted_credentials, Is<vpiRisk>},
    {Driver::crypto_application, Category::cryptocurrency_detection, Is<vpiCryptoApplication>},
    {Driver::crypto_protocol, Category::cryptocurrency_detection, Is<vpiCryptoProtocol>},
    {Driver::crypto_server, Category::cryptocurrency_detection, Is<vpiCryptoServer>},
    {Driver::custom, Category::custom, Is<vpiCustom>},
    {Driver::doh_scanner, Category::encrypted_dns_detection, Is<vpiDOHScanner>},
    {Driver::dox_server, Category::encrypted_dns_detection, Is<vpiDOXServer>},
    {Driver::geo, Category::flow_enrichment, Is<vpiGeo>},
    {Driver::protocol_insecure, Category::insecure_protocol, Is<vpiInsecureProtocol>},
    {Driver::reputation_domain, Category::reputation, Is<vpiReputation>},
    {Driver::reputation_ip, Category::reputation, Is<vpiReputation>},
    {Driver::tls_cert_expired, Category::tls_certificate_audit, Is<vpiRisk>},
    {Driver::tls_cert_mismatch, Category::tls_certificate_audit, Is<vpiRisk>},
    {Driver::tls_cert_self_signed, Category::tls_certificate_audit, Is<vpiRisk>},
    {Driver::tls_cert_validity_too_long, Category::tls_certificate_audit, Is<vpiRisk>},
    {Driver::tls_cipher_score, Category::encryption_audit, Is<vpiTLSCipherScore>},
    {Driver::tls_version_score, Category::encryption_audit, Is<vpiTLSVersionScore>},
    {Driver::tor_bridge, Category::tor_detection, Is<vpiTorNode>},
    {Driver::tor_exit, Category::tor_detection, Is<vpiTorNode>},
    {Driver::tor_relay, Category::tor_detection, Is<vpiTorNode>},
    {Driver::vpn_application_business, Category::vpn_detection, Is<vpiVPNApplication>},
    {Driver::vpn_application_consumer, Category::vpn_detection, Is<vpiVPNApplication>},
    {Driver::vpn_protocol, Category::vpn_detection, Is<vpiVPNProtocol>},
    {Driver::vpn_server_consumer, Category::vpn_detection, Is<vpiVPNServer>},
};

TEST_F(IndicatorTest, RegistryBuildsEachDriversClass)
{
    const json conf = json::parse(R"({"criteria": {"flow_expr": "ip_version == 4"}})");
    for (const RegistryRow &row : registry) {
        SCOPED_TRACE(vppNames::GetDriverName(row.driver));
        auto create = vppIndicator::FindCreateFunction(row.driver);
        EXPECT_EQ(vppNames::GetDriverCategory(row.driver), row.category);
        ASSERT_EQ(create != nullptr, row.is_class != nullptr);
        if (create == nullptr)
            continue;
        auto indicator = create(queue, row.driver, "t", 0, conf, json::object());
        EXPECT_TRUE(row.is_class(indicator));
        EXPECT_EQ(indicator->driver, row.driver);
        EXPECT_EQ(indicator->category, row.category);
    }
}

class FeedLookupTest : public IndicatorTest
{
protected:
    std::shared_ptr<TableFeed> AddFeed(Base &indicator, const std::string &name,
                                       std::map<TableFeed::Key, unsigned> table)
    {
        auto feed = std::make_shared<TableFeed>(name, std::move(table));
        std::shared_ptr<vppDataFeed::Base> base = feed;
        indicator.AddDataFeed(name, base);
        return feed;
    }

    std::vector<vppIntel::Entry> Run(Base &indicator, const vdFlow::Ptr &flow, Event::Type type = Event::FLOW)
    {
        auto ev = FlowEvent(flow, vdPluginProcessor::dpi_complete, type);
        indicator.ProcessFlow(ev);
        std::vector<vppIntel::Entry> entries;
        for (const auto &queued : Drain())
            for (const auto &entry : queued.Read().entries)
                entries.push_back(*entry);
        return entries;
    }

    vdFlow::Ptr flow = Flow([](vdFlow &f) { f.host_server_name = "bad.example"; });
};

TEST_F(FeedLookupTest, EachMatchingFeedGivesOneEntry)
{
    auto indicator = Make(Driver::tor_exit, "{}");
    EXPECT_TRUE(Run(*indicator, flow).empty());

    AddFeed(*indicator, "a", {{{"tor_exit", "bad.example"}, 40}});
    AddFeed(*indicator, "b", {{{"tor_exit", "bad.example"}, 0}});
    AddFeed(*indicator, "c", {{{"tor_relay", "bad.example"}, 90}});

    auto entries = Run(*indicator, flow);
    ASSERT_EQ(entries.size(), 2u);
    std::sort(entries.begin(), entries.end(), [](auto &l, auto &r) { return l.data_feed < r.data_feed; });
    EXPECT_EQ(entries[0].data_feed, "a");
    EXPECT_EQ(entries[0].score, 40u);
    EXPECT_EQ(entries[0].data_source, "velbor_api");
    EXPECT_EQ(entries[1].data_feed, "b");
    EXPECT_EQ(entries[0].indicator_driver, "tor_exit");
    EXPECT_EQ(indicator->stats.hits.Get(), 2u);
}

TEST_F(FeedLookupTest, EachDriverLooksUpItsOwnDataSet)
{
    auto indicator = Make(Driver::tls_cert_mismatch, "{}");
    auto feed = AddFeed(*indicator, "a", {{{"tls_cert_expired", "bad.example"}, 40}});

    EXPECT_TRUE(Run(*indicator, flow).empty());
    EXPECT_EQ(feed->asked, std::vector<std::string>{"tls_cert_mismatch"});
}

TEST_F(FeedLookupTest, CloudAnswerDoesNotRepeatTheFindings)
{
    auto indicator = Make(Driver::crypto_server, "{}");
    auto feed = AddFeed(*indicator, "a", {{{"crypto_server", "bad.example"}, 40}});
    auto custom = MakeCustom(R"({"criteria": {"flow_expr": "ip_version == 4"}})");

    EXPECT_TRUE(Run(*indicator, flow, Event::LOOKUP).empty());
    EXPECT_TRUE(feed->asked.empty());
    EXPECT_TRUE(Run(*custom, flow, Event::LOOKUP).empty());
    EXPECT_EQ(indicator->stats.hits.Get() + custom->stats.hits.Get(), 0u);
}

TEST_F(FeedLookupTest, DoxServerLooksUpOnlyTlsAndDoq)
{
    const std::vector<std::pair<vdProto::Id, size_t>> cases = {
        {vdProto::TLS, 1}, {vdProto::DOQ, 1}, {vdProto::QUIC, 0}, {vdProto::DTLS, 0}, {vdProto::HTTP, 0}};
    auto indicator = Make(Driver::dox_server, "{}");
    auto feed = AddFeed(*indicator, "a", {{{"dox_server", "bad.example"}, 40}});
    for (const auto &[protocol, entries] : cases) {
        flow->detected_protocol = protocol;
        feed->asked.clear();
        EXPECT_EQ(Run(*indicator, flow).size(), entries) << protocol;
        EXPECT_EQ(feed->asked.size(), entries) << protocol;
    }
}

// Whether another thread could take the flow's lock while the feed looked
// the flow up: a feed that reads a data set from disk on its first lookup
// must not keep the host's threads waiting on the flow.
class LockProbeFeed : public TableFeed
{
public:
    using TableFeed::TableFeed;

    using TableFeed::Lookup;
    bool Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &entry, const std::string &tag) override
    {
        std::thread host([&] {
            bool taken = flow->lock.try_lock();
            if (taken)
                flow->lock.unlock();
            lock_free.push_back(taken);
        });
        host.join();
        return TableFeed::Lookup(flow, entry, tag);
    }

    std::vector<bool> lock_free;
};

TEST_F(FeedLookupTest, FeedsAreAskedWithoutHoldingTheFlowsLock)
{
    flow->detected_protocol = vdProto::TLS;
    for (Driver driver : {Driver::dox_server, Driver::tor_exit}) {
        SCOPED_TRACE(vppNames::GetDriverName(driver));
        auto indicator = Make(driver, "{}");
        auto feed = std::make_shared<LockProbeFeed>("a");
        feed->table = {{{vppNames::GetDriverName(driver), "bad.example"}, 40}};
        std::shared_ptr<vppDataFeed::Base> base = feed;
        indicator->AddDataFeed("a", base);

        EXPECT_EQ(Run(*indicator, flow).size(), 1u);
        EXPECT_EQ(feed->lock_free, std::vector<bool>{true});
    }
}

TEST_F(FeedLookupTest, CustomEmitsOneCompletedEntryPerEvent)
{
    auto indicator = MakeCustom(R"({"criteria": {"flow_expr": "host_server_name == 'bad.example'"},
        "score": 25, "attrs": {"rule": "r1"}, "proc_targets": ["p"]})");

    ASSERT_FALSE(indicator->Filtered(*FlowEvent(flow), false));
    auto entries = Run(*indicator, flow);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].score, 25u);
    EXPECT_EQ(entries[0].indicator, "t");
    EXPECT_EQ(entries[0].indicator_driver, "custom");
    EXPECT_EQ(entries[0].category, "custom");
    EXPECT_EQ(entries[0].event, "dpi_complete");
    EXPECT_EQ(entries[0].data_feed, "");
    EXPECT_EQ(std::get<std::string>(entries[0].Attrs().at("rule")), "r1");
    EXPECT_EQ(entries[0].Criteria().count("min_bytes"), 1u);

    EXPECT_EQ(Run(*indicator, flow).size(), 1u);
    EXPECT_EQ(indicator->stats.hits.Get(), 2u);
}

}  // namespace
