// Lookups of flows in loaded data sets, one table over the data types:
// which flow value each type tests, the TLS gate, the longest-prefix port
// rule, address families, empty names, and the entry a hit fills.
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "signature_fixture.h"

namespace {

struct LookupCase {
    const char *name;
    std::function<void(FlowBuilder &)> flow;
    std::optional<uint32_t> score;  // nothing: a miss
};

struct DataSetCases {
    std::string type;
    std::string data;
    std::vector<LookupCase> cases;
};

FlowBuilder &Names(FlowBuilder &f, const std::string &server, const std::string &dns)
{
    return f.Set([&](vdFlow &flow) {
        flow.host_server_name = server;
        flow.dns_host_name = dns;
    });
}

// A flow with master protocol master, detected protocol detected and the
// given cipher suite and version.
std::function<void(FlowBuilder &)> Tls(vdProto::Id master, vdProto::Id detected, uint16_t cipher, uint16_t version)
{
    return [=](FlowBuilder &f) {
        f.Set([&](vdFlow &flow) {
            flow.master_protocol = master;
            flow.detected_protocol = detected;
            flow.ssl_cipher_suite = cipher;
            flow.ssl_version = version;
        });
    };
}

std::function<void(FlowBuilder &)> Endpoints(const std::string &lower, uint16_t lower_port, const std::string &upper,
                                             uint16_t upper_port)
{
    return [=](FlowBuilder &f) { f.Lower(lower, lower_port).Upper(upper, upper_port); };
}

std::function<void(FlowBuilder &)> Risks(std::set<vdRisk::Id> risks)
{
    return [=](FlowBuilder &f) { f.Set([&](vdFlow &flow) { flow.risks = risks; }); };
}

const std::vector<DataSetCases> data_sets = {
    {"application_list",
     R"([{"id": 5, "tag": "a", "label": "A"}])",
     {
         {"listed application", [](auto &f) { f.Set([](vdFlow &fl) { fl.detected_application = 5; }); }, 40},
         {"other application", [](auto &f) { f.Set([](vdFlow &fl) { fl.detected_application = 6; }); }, {}},
     }},
    {"domain_list",
     R"(["a.example", ""])",
     {
         {"server name", [](auto &f) { Names(f, "a.example", ""); }, 40},
         {"letter case differs", [](auto &f) { Names(f, "A.example", ""); }, {}},
         {"a sub-domain", [](auto &f) { Names(f, "sub.a.example", ""); }, {}},
         {"DNS name after a missed server name", [](auto &f) { Names(f, "sub.a.example", "a.example"); }, 40},
         {"DNS name alone", [](auto &f) { Names(f, "", "a.example"); }, 40},
         {"no names never match the empty name", [](auto &f) { Names(f, "", ""); }, {}},
     }},
    {"ip_list",
     R"(["192.0.2.0/24", "2001:db8::/32"])",
     {
         {"lower endpoint", Endpoints("192.0.2.5", 1, "198.51.100.1", 2), 40},
         {"upper endpoint", Endpoints("198.51.100.1", 1, "192.0.2.5", 2), 40},
         {"both endpoints", Endpoints("192.0.2.5", 1, "192.0.2.6", 2), 40},
         {"neither endpoint", Endpoints("198.51.100.1", 1, "203.0.113.1", 2), {}},
         {"IPv6 endpoint", Endpoints("2001:db8::1", 1, "2001:db9::1", 2), 40},
         {"IPv6 outside", Endpoints("2001:db9::1", 1, "2001:dba::1", 2), {}},
         {"IPv4-mapped IPv6 is not IPv4", Endpoints("::ffff:192.0.2.5", 1, "::1", 2), {}},
     }},
    {"ip_port_list",
     R"({"192.0.2.0/24": [53], "192.0.2.0/25": [80], "2001:db8::/32": [443]})",
     {
         {"the longest prefix lacks the port", Endpoints("10.0.0.1", 40000, "192.0.2.5", 53), {}},
         {"the longest prefix lists the port", Endpoints("10.0.0.1", 40000, "192.0.2.5", 80), 40},
         {"outside the /25", Endpoints("10.0.0.1", 40000, "192.0.2.200", 53), 40},
         {"outside both", Endpoints("10.0.0.1", 53, "192.0.3.1", 53), {}},
         {"lower endpoint's own port", Endpoints("192.0.2.200", 53, "10.0.0.1", 1), 40},
         {"IPv6 with port", Endpoints("2001:db8::1", 443, "2001:db9::1", 1), 40},
         {"IPv6 without", Endpoints("2001:db8::1", 80, "2001:db9::1", 80), {}},
     }},
    {"risk",
     R"({"risk": 0})",
     {
         {"risk 0 present", Risks({0, 7}), 40},
         {"no risks", Risks({}), {}},
         {"other risks", Risks({5}), {}},
     }},
    {"risk",
     R"({"risk": 4294967295})",
     {
         {"beyond the id type never matches", Risks({-1, 0, INT32_MAX}), {}},
     }},
    {"protocol_list",
     R"([{"id": 7, "tag": "http", "label": "HTTP"}])",
     {
         {"listed protocol", [](auto &f) { f.Set([](vdFlow &fl) { fl.detected_protocol = 7; }); }, 40},
         {"master protocol is not tested",
          [](auto &f) {
              f.Set([](vdFlow &fl) {
                  fl.detected_protocol = 8;
                  fl.master_protocol = 7;
              });
          },
          {}},
     }},
    {"tls_cipher_score_list",
     R"([{"value": 4865, "score": 70, "label": "c"}, {"value": 0, "score": 5, "label": "zero"}])",
     {
         {"TLS master", Tls(vdProto::TLS, 1000, 4865, 0), 70},
         {"TLS itself", Tls(0, vdProto::TLS, 4865, 0), 70},
         {"QUIC", Tls(0, vdProto::QUIC, 4865, 0), 70},
         {"DTLS", Tls(0, vdProto::DTLS, 4865, 0), 70},
         {"QUIC as master only", Tls(vdProto::QUIC, 1000, 4865, 0), {}},
         {"other protocol", Tls(0, vdProto::HTTP, 4865, 0), {}},
         {"cipher 0", Tls(vdProto::TLS, 0, 0, 0), {}},
         {"unlisted cipher", Tls(vdProto::TLS, 0, 4866, 0), {}},
     }},
    {"tls_version_score_list",
     R"([{"value": 771, "score": 60, "label": "TLS 1.2"}])",
     {
         {"listed version", Tls(vdProto::TLS, 0, 0, 0x0303), 60},
         {"version 0", Tls(vdProto::TLS, 0, 0, 0), {}},
         {"QUIC", Tls(0, vdProto::QUIC, 0, 0x0303), 60},
         {"other protocol", Tls(0, vdProto::HTTP, 0, 0x0303), {}},
     }},
};

class LookupTest : public SignatureTest
{
};

TEST_F(LookupTest, EachDataTypeTestsItsFlowValue)
{
    for (const DataSetCases &set : data_sets) {
        SCOPED_TRACE(set.type + " " + set.data);
        Offer({WriteSignature("t", R"({"data_type": ")" + set.type + R"(", "score": 40, "data": )" + set.data + "}")});
        auto feed = MakeFeed();
        for (const LookupCase &c : set.cases) {
            SCOPED_TRACE(c.name);
            FlowBuilder builder;
            c.flow(builder);
            auto entry = Lookup(*feed, builder.Build(), "t");
            ASSERT_EQ(entry.has_value(), c.score.has_value()) << testing::PrintToString(log.Lines());
            if (!entry)
                continue;
            EXPECT_EQ(entry->score, *c.score);
            EXPECT_EQ(entry->data_source, "velbor_api");
            EXPECT_EQ(entry->data_feed, "sig");
            EXPECT_EQ(entry->event, "untouched");
        }
    }
}

TEST_F(LookupTest, TagsThatCannotMatchLeaveTheEntryAlone)
{
    auto broken = WriteSignature("broken", "[1]");
    auto unsupported = WriteSignature("unsupported", R"({"data_type": "domain_list", "data": ["a.example"]})");
    unsupported.encryption = "aes";
    Offer({broken, unsupported, Descriptor("missing", "missing.dat")});
    auto feed = MakeFeed();
    auto flow = DomainFlow("a.example");
    for (const char *tag : {"unknown", "broken", "unsupported", "missing"}) {
        SCOPED_TRACE(tag);
        EXPECT_FALSE(Lookup(*feed, flow, tag));
    }
    EXPECT_EQ(feed->State("broken"), vdfVelborAPI::FAILED);
    EXPECT_FALSE(Lookup(*feed, nullptr, "broken"));
}

TEST_F(LookupTest, TheFlowIsReadUnderItsLock)
{
    Offer({WriteSignature("t", R"({"data_type": "domain_list", "data": ["a.example"]})")});
    auto feed = MakeFeed();
    auto flow = DomainFlow("a.example");
    // Loaded first, so that the lookup below only reads the flow.
    EXPECT_TRUE(Lookup(*feed, flow, "t"));

    std::promise<void> locked, release;
    std::thread holder([&] {
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    auto lookup = std::async(std::launch::async, [&] {
        vppIntel::Entry entry;
        return feed->Lookup(flow, entry, "t");
    });
    EXPECT_EQ(lookup.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    EXPECT_TRUE(lookup.get());
    holder.join();

    // A caller that holds the lock already (as the drivers do) is let in.
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    EXPECT_TRUE(Lookup(*feed, flow, "t"));
}

}  // namespace
