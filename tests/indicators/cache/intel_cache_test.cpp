#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/name_tables.h"
#include "indicators/cache/intel_cache.h"
#include "support/error_text.h"
#include "support/flow_builder.h"
#include "support/log_capture.h"
#include "vd_config.h"

using vppCache::FlowKey;
using vppCache::FlowKeys;
using vppCache::Store;

namespace {

constexpr const char *capacity_error = "maxiumum LRU cache size cannot be zero";

// The lower endpoint is the local one and started the flow.
FlowBuilder BaseFlow()
{
    FlowBuilder flow;
    flow.Lower("10.0.0.1", 40000)
        .Upper("192.0.2.1", 443)
        .LowerMAC("02:00:00:00:00:01")
        .UpperMAC("02:00:00:00:00:02")
        .Set([](vdFlow &f) {
            f.lower_map = 1;
            f.origin = 1;
        });
    return flow;
}

// The base flow seen from the other end: endpoints swapped, so the local
// side and the source are now the upper endpoint.
void Swap(FlowBuilder &flow)
{
    flow.Lower("192.0.2.1", 443).Upper("10.0.0.1", 40000).LowerMAC("02:00:00:00:00:02").UpperMAC("02:00:00:00:00:01");
    flow.Set([](vdFlow &f) {
        f.lower_map = 2;
        f.origin = 2;
    });
}

FlowKeys Keys(const std::vector<FlowKey> &keys)
{
    FlowKeys combined;
    for (FlowKey key : keys)
        combined |= key;
    return combined;
}

std::string KeyOf(const Store &store, const vdFlow::Ptr &flow)
{
    std::string key;
    store.MakeKey(flow, key);
    return key;
}

using Change = std::function<void(FlowBuilder &)>;

Change Set(std::function<void(vdFlow &)> setter)
{
    return [setter](FlowBuilder &flow) { flow.Set(setter); };
}

struct KeyCase {
    std::string what;
    std::vector<FlowKey> keys;
    Change a;  // applied to the base flow
    Change b;  // applied to another base flow
    bool same;
};

TEST(IntelCacheKey, SelectedFieldsMakeTheKey)
{
    const Change none = [](FlowBuilder &) {};
    const Change other_server = [](FlowBuilder &f) { f.Upper("198.51.100.7", 443); };
    const Change other_local = [](FlowBuilder &f) { f.Lower("10.0.0.2", 40000); };
    const Change other_server_port = [](FlowBuilder &f) { f.Upper("192.0.2.1", 8443); };
    const Change other_local_port = [](FlowBuilder &f) { f.Lower("10.0.0.1", 40001); };
    const Change swapped = Swap;
    const Change origin_upper = Set([](vdFlow &f) { f.origin = 2; });
    const Change no_lower_mac = Set([](vdFlow &f) { f.lower_mac = vdAddr(); });
    const Change no_upper_mac = Set([](vdFlow &f) { f.upper_mac = vdAddr(); });
    auto names = [](std::string dns, std::string sni) {
        return Set([dns, sni](vdFlow &f) {
            f.dns_host_name = dns;
            f.host_server_name = sni;
        });
    };
    auto v6 = [](std::string lower, std::string upper) {
        return [lower, upper](FlowBuilder &f) { f.Lower(lower, 40000).Upper(upper, 443); };
    };

    const std::vector<KeyCase> cases = {
        {"local_ip: two servers of one local host share", {FlowKey::local_ip}, none, other_server, true},
        {"local_ip: two local hosts differ", {FlowKey::local_ip}, none, other_local, false},
        {"local_ip: the local side follows lower_map", {FlowKey::local_ip}, none, swapped, true},
        {"other_ip: two servers differ", {FlowKey::other_ip}, none, other_server, false},
        {"other_ip: two local hosts of one server share", {FlowKey::other_ip}, none, other_local, true},
        {"other_ip: the other side follows lower_map", {FlowKey::other_ip}, none, swapped, true},
        {"other_port: two server ports differ", {FlowKey::other_port}, none, other_server_port, false},
        {"other_port: two local ports share", {FlowKey::other_port}, none, other_local_port, true},
        {"local_port: two local ports differ", {FlowKey::local_port}, none, other_local_port, false},
        {"src_ip: the source follows origin", {FlowKey::src_ip}, none, origin_upper, false},
        {"src_ip and dst_port: the same flow from the other end", {FlowKey::src_ip, FlowKey::dst_port}, none, swapped,
         true},
        {"dst_port: the destination follows origin", {FlowKey::dst_port}, none, origin_upper, false},
        {"local_ip over IPv6: two local hosts differ", {FlowKey::local_ip}, v6("2001:db8::1", "2001:db8::99"),
         v6("2001:db8::2", "2001:db8::99"), false},
        {"local_ip over IPv6: only the last byte differs", {FlowKey::local_ip}, v6("2001:db8::1", "2001:db8::99"),
         v6("2001:db8::1", "2001:db8::98"), true},
        {"local_ip: an IPv4 address and its IPv6 mapping differ", {FlowKey::local_ip}, none,
         v6("::ffff:10.0.0.1", "::ffff:192.0.2.1"), false},
        {"local_mac: two other MACs share", {FlowKey::local_mac}, none,
         [](FlowBuilder &f) { f.UpperMAC("02:00:00:00:00:03"); }, true},
        {"local_mac: two local MACs differ", {FlowKey::local_mac}, none,
         [](FlowBuilder &f) { f.LowerMAC("02:00:00:00:00:03"); }, false},
        {"other_mac without a lower MAC still reads the upper one", {FlowKey::other_mac}, no_lower_mac,
         [](FlowBuilder &f) {
             f.Set([](vdFlow &flow) { flow.lower_mac = vdAddr(); });
             f.UpperMAC("02:00:00:00:00:03");
         },
         false},
        {"local_mac and other_mac: one MAC on either side differ", {FlowKey::local_mac, FlowKey::other_mac},
         [](FlowBuilder &f) { f.Set([](vdFlow &flow) { flow.upper_mac = vdAddr(); }); },
         [](FlowBuilder &f) {
             f.Set([](vdFlow &flow) { flow.lower_mac = vdAddr(); });
             f.UpperMAC("02:00:00:00:00:01");
         },
         false},
        {"other_mac: a missing MAC differs from a present one", {FlowKey::other_mac}, none, no_upper_mac, false},
        {"src_mac: the source follows origin", {FlowKey::src_mac}, none, origin_upper, false},
        {"dst_mac: the same flow from the other end", {FlowKey::dst_mac}, none, swapped, true},
        {"names: the boundary between the names counts", {FlowKey::dns_host_name, FlowKey::host_server_name},
         names("ab", "c"), names("a", "bc"), false},
        {"names: a name moved to the other field differs", {FlowKey::dns_host_name, FlowKey::host_server_name},
         names("example.org", ""), names("", "example.org"), false},
        {"dns_host_name: flows without one share", {FlowKey::dns_host_name}, none, other_local, true},
        {"dns_host_name: none and one differ", {FlowKey::dns_host_name}, none, names("example.org", ""), false},
        {"host_server_name: one name over other addresses shares", {FlowKey::host_server_name},
         names("", "example.org"),
         [names](FlowBuilder &f) {
             names("", "example.org")(f);
             f.Lower("10.9.9.9", 1).Upper("203.0.113.5", 2);
         },
         true},
        {"unselected names do not count", {FlowKey::local_ip}, names("a", "b"), names("c", "d"), true},
    };
    for (const auto &c : cases) {
        Store store("t", Keys(c.keys), 0, 10);
        FlowBuilder a = BaseFlow();
        FlowBuilder b = BaseFlow();
        c.a(a);
        c.b(b);
        const std::string key_a = KeyOf(store, a.Build());
        const std::string key_b = KeyOf(store, b.Build());
        EXPECT_EQ(key_a.size(), 16u) << c.what;
        EXPECT_EQ(key_a == key_b, c.same) << c.what << ": " << key_a << " " << key_b;
    }
}

// For every part of the key, selected alone: a flow that differs from
// another only in the field the part reads, at the end the part reads, gets
// another key; one that differs only in that field at the other end gets
// the same key. Each of the four ways the local side and the source can
// lie is tried, so that a part reading the wrong end shows in one of them.
TEST(IntelCacheKey, EachPartReadsItsOwnEndAlone)
{
    enum class Field { mac, ip, port };
    enum class End { local, other, src, dst };
    struct PartCase {
        const char *name;
        Field field;
        End end;
    };
    const PartCase parts[] = {
        {"local_mac", Field::mac, End::local},   {"other_mac", Field::mac, End::other},
        {"src_mac", Field::mac, End::src},       {"dst_mac", Field::mac, End::dst},
        {"local_ip", Field::ip, End::local},     {"other_ip", Field::ip, End::other},
        {"src_ip", Field::ip, End::src},         {"dst_ip", Field::ip, End::dst},
        {"local_port", Field::port, End::local}, {"other_port", Field::port, End::other},
        {"src_port", Field::port, End::src},     {"dst_port", Field::port, End::dst},
    };
    // The field changed at the lower or the upper endpoint of the base flow.
    auto changed = [](Field field, bool lower) {
        return [field, lower](FlowBuilder &f) {
            switch (field) {
            case Field::mac:
                lower ? f.LowerMAC("02:00:00:00:00:09") : f.UpperMAC("02:00:00:00:00:0a");
                break;
            case Field::ip:
                lower ? f.Lower("10.0.0.9", 40000) : f.Upper("192.0.2.9", 443);
                break;
            case Field::port:
                lower ? f.Lower("10.0.0.1", 40009) : f.Upper("192.0.2.1", 449);
                break;
            }
        };
    };
    for (uint8_t lower_map : {1, 2}) {
        for (uint8_t origin : {1, 2}) {
            const auto oriented = [&](const Change &change) {
                FlowBuilder flow = BaseFlow();
                flow.Set([&](vdFlow &f) {
                    f.lower_map = lower_map;
                    f.origin = origin;
                });
                change(flow);
                return flow.Build();
            };
            for (const PartCase &part : parts) {
                const bool end_is_lower = part.end == End::local   ? lower_map == 1
                                          : part.end == End::other ? lower_map != 1
                                          : part.end == End::src   ? origin == 1
                                                                   : origin != 1;
                SCOPED_TRACE(testing::Message()
                             << part.name << ", lower_map " << int(lower_map) << ", origin " << int(origin));
                std::optional<FlowKey> key = vppNames::FindFlowKey(part.name);
                ASSERT_TRUE(key.has_value());
                Store store("t", *key, 0, 10);
                const std::string base = KeyOf(store, oriented([](FlowBuilder &) {}));
                EXPECT_NE(KeyOf(store, oriented(changed(part.field, end_is_lower))), base) << "its own end";
                EXPECT_EQ(KeyOf(store, oriented(changed(part.field, !end_is_lower))), base) << "the other end";
            }
        }
    }

    // The names have no ends: each part reads its own name alone.
    const auto named = [](const std::string &dns, const std::string &server) {
        return BaseFlow()
            .Set([&](vdFlow &f) {
                f.dns_host_name = dns;
                f.host_server_name = server;
            })
            .Build();
    };
    Store by_dns("t", FlowKey::dns_host_name, 0, 10);
    EXPECT_NE(KeyOf(by_dns, named("a.example", "s.example")), KeyOf(by_dns, named("b.example", "s.example")));
    EXPECT_EQ(KeyOf(by_dns, named("a.example", "s.example")), KeyOf(by_dns, named("a.example", "t.example")));
    Store by_server("t", FlowKey::host_server_name, 0, 10);
    EXPECT_NE(KeyOf(by_server, named("a.example", "s.example")), KeyOf(by_server, named("a.example", "t.example")));
    EXPECT_EQ(KeyOf(by_server, named("a.example", "s.example")), KeyOf(by_server, named("b.example", "s.example")));
}

// Keys are kept in cache files: a change of their making empties every
// cache at the next start, so it must be deliberate. This key is XXH64 of
// the local MAC (length 6 and its bytes), the local IPv4 address, the other
// port (native order) and the server name (8-byte length and its bytes).
TEST(IntelCacheKey, KeysAreStableAcrossVersions)
{
    Store store("t", Keys({FlowKey::local_mac, FlowKey::local_ip, FlowKey::other_port, FlowKey::host_server_name}), 0,
                10);
    FlowBuilder flow = BaseFlow();
    flow.Set([](vdFlow &f) { f.host_server_name = "example.org"; });
    EXPECT_EQ(KeyOf(store, flow.Build()), "3b2cadd274972cfc");
}

TEST(IntelCacheKey, FlowWithoutAKeyIsAMissAndIsNotCached)
{
    LogCapture log;
    Store store("tag1", FlowKey::local_ip, 0, 10);
    for (uint8_t version : {0, 5}) {
        FlowBuilder flow = BaseFlow();
        flow.Set([version](vdFlow &f) { f.ip_version = version; });
        const std::string text = "tag1: invalid IP version: " + std::to_string(version);
        EXPECT_EQ(ErrorText([&] { KeyOf(store, flow.Build()); }), text);

        vppIntel::Entry out;
        out.score = 77;
        EXPECT_FALSE(store.Lookup(flow.Build(), out));
        EXPECT_EQ(out.score, 77u);
        EXPECT_NO_THROW(store.Insert(flow.Build(), vppIntel::Entry()));
        EXPECT_EQ(store.CacheSize(), 0u);
        EXPECT_TRUE(log.Contains(text)) << version;
    }
    EXPECT_FALSE(store.Lookup(nullptr, *std::make_unique<vppIntel::Entry>()));
    // Reported once at the operational level, then only in debug lines.
    EXPECT_EQ(log.Lines(vdLogLevel::operational).size(), 1u);
}

TEST(IntelCache, CachesTheFirstEntryOfAKeyWithinTheCapacity)
{
    Store store("t", FlowKey::other_ip, 0, 1);
    vppIntel::Entry first;
    first.score = 10;
    vppIntel::Entry second;
    second.score = 20;

    FlowBuilder a = BaseFlow();
    store.Insert(a.Build(), first);
    store.Insert(a.Build(), second);
    vppIntel::Entry out;
    ASSERT_TRUE(store.Lookup(a.Build(), out));
    EXPECT_EQ(out, first);

    // Another server is another key and takes the only place.
    FlowBuilder b = BaseFlow();
    b.Upper("198.51.100.7", 443);
    store.Insert(b.Build(), second);
    EXPECT_FALSE(store.Lookup(a.Build(), out));
    ASSERT_TRUE(store.Lookup(b.Build(), out));
    EXPECT_EQ(out, second);
}

// The worker looks up and inserts while a host thread renames the flow under
// the flow's lock and a prober thread inserts: run under TSan, a key read
// without the flow's lock is a reported race.
TEST(IntelCache, KeysAreReadUnderTheFlowsLock)
{
    Store store("t", Keys({FlowKey::other_ip, FlowKey::host_server_name}), 0, 8);
    FlowBuilder builder = BaseFlow();
    const vdFlow::Ptr flow = builder.Build();
    std::atomic<bool> done{false};
    std::thread host([&] {
        for (int n = 0; !done.load(); n++) {
            std::lock_guard<std::recursive_mutex> guard(flow->lock);
            flow->host_server_name = "host" + std::to_string(n % 16) + ".example.org";
        }
    });
    std::thread prober([&] {
        for (int n = 0; n < 2000; n++)
            store.Insert(flow, vppIntel::Entry());
    });
    vppIntel::Entry out;
    for (int n = 0; n < 2000; n++) {
        if (!store.Lookup(flow, out))
            store.Insert(flow, vppIntel::Entry());
    }
    prober.join();
    done = true;
    host.join();
    EXPECT_LE(store.CacheSize(), 8u);
    EXPECT_GT(store.CacheSize(), 0u);
}

struct ConfigCase {
    std::string what;
    std::string conf;
    std::string line;  // the debug line expected; "" for none
    bool made;         // whether a store comes out
    uint32_t flow_keys = 0;
    size_t max_size = 0;
    int64_t max_age = 0;
};

class IntelCacheConfigTest : public ::testing::Test
{
protected:
    LogCapture log;
};

TEST_F(IntelCacheConfigTest, Create)
{
    const std::string not_found = " not found or is invalid: ";
    const std::vector<ConfigCase> cases = {
        {"one flow key", R"({"flow_keys": ["local_ip"], "max_size": 10})", "", true, 0x4, 10},
        {"flow keys combine", R"({"flow_keys": ["local_ip", "other_port", "none"], "max_size": 3})", "", true, 0x24,
         3},
        {"none alone", R"({"flow_keys": ["none"], "max_size": 10})", "t: none at least one flow key must be set\n",
         false},
        {"empty array", R"({"flow_keys": [], "max_size": 10})", "t: flow_keys at least one flow key must be set\n",
         false},
        {"a string instead of an array", R"({"flow_keys": "local_ip", "max_size": 10})",
         "t: flow_keys must be an array\n", false},
        {"names are case-sensitive", R"({"flow_keys": ["Local_IP"], "max_size": 10})",
         "t: Local_IP invalid flow_key\n", false},
        {"an unknown name after a good one", R"({"flow_keys": ["local_ip", "foo"], "max_size": 10})",
         "t: foo invalid flow_key\n", false},
        {"a number among the names", R"({"flow_keys": ["local_ip", 5], "max_size": 10})",
         "t: local_ip" + not_found + "[json.exception.type_error.302]", false},
        {"a number as the first name", R"({"flow_keys": [5], "max_size": 10})",
         "t: flow_keys" + not_found + "[json.exception.type_error.302]", false},
        {"flow_keys missing", R"({"max_size": 10})",
         "t: flow_keys" + not_found + "[json.exception.out_of_range.403] key 'flow_keys' not found", false},
        {"not an object", R"(5)", "t: flow_keys" + not_found + "[json.exception.type_error.304]", false},
        {"max_size missing", R"({"flow_keys": ["local_ip"]})",
         "t: max_size" + not_found + "[json.exception.out_of_range.403] key 'max_size' not found", false},
        {"max_size 0", R"({"flow_keys": ["local_ip"], "max_size": 0})", "t: max_size must be greater than zero\n",
         false},
        {"max_size -1", R"({"flow_keys": ["local_ip"], "max_size": -1})", "t: max_size must be an unsigned integer\n",
         false},
        {"max_size 10.5", R"({"flow_keys": ["local_ip"], "max_size": 10.5})",
         "t: max_size must be an unsigned integer\n", false},
        {"max_size as text", R"({"flow_keys": ["local_ip"], "max_size": "10"})",
         "t: max_size must be an unsigned integer\n", false},
        {"max_age kept", R"({"flow_keys": ["local_ip"], "max_size": 2, "max_age": 3600})", "", true, 0x4, 2, 3600},
        {"max_age as text is ignored", R"({"flow_keys": ["local_ip"], "max_size": 2, "max_age": "1h"})", "", true,
         0x4, 2, 0},
        {"max_age -1 is ignored", R"({"flow_keys": ["local_ip"], "max_size": 2, "max_age": -1})", "", true, 0x4, 2,
         0},
        {"filename 5: no file", R"({"flow_keys": ["local_ip"], "max_size": 2, "filename": 5})", "", true, 0x4, 2},
        {"empty filename: no file", R"({"flow_keys": ["local_ip"], "max_size": 2, "filename": ""})", "", true, 0x4, 2},
    };
    for (const auto &c : cases) {
        log.Clear();
        std::shared_ptr<Store> store;
        const std::string error = ErrorText([&] { store = Store::Create("t", json::parse(c.conf)); });
        const auto lines = log.Lines(vdLogLevel::debug);
        if (c.line.empty()) {
            EXPECT_TRUE(lines.empty()) << c.what << ": " << (lines.empty() ? "" : lines[0]);
        } else {
            ASSERT_EQ(lines.size(), 1u) << c.what;
            EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << c.what << ": " << lines[0];
        }
        EXPECT_TRUE(log.Lines(vdLogLevel::operational).empty()) << c.what;
        if (!c.made) {
            EXPECT_EQ(error, capacity_error) << c.what;
            continue;
        }
        ASSERT_EQ(error, "") << c.what;
        EXPECT_EQ(store->GetName(), "t") << c.what;
        EXPECT_EQ(store->GetFlowKeys().value(), c.flow_keys) << c.what;
        EXPECT_EQ(store->GetMaxEntries(), c.max_size) << c.what;
        EXPECT_EQ(store->GetMaxAge(), c.max_age) << c.what;
        EXPECT_EQ(store->GetFilename(), "") << c.what;
        EXPECT_EQ(store->Load(), 0u) << c.what;
        EXPECT_EQ(store->Save(), 0u) << c.what;
    }
}

TEST_F(IntelCacheConfigTest, FilenameIsExpandedWithTheHostVariables)
{
    const json conf = json::parse(R"({"flow_keys": ["local_ip"], "max_size": 2, "filename": "${state}/c.dat"})");
    {
        vdGlobalConfig config;
        config.variables = {{"state", "/nonexistent-state"}};
        EXPECT_EQ(Store::Create("t", conf)->GetFilename(), "/nonexistent-state/c.dat");
        EXPECT_TRUE(log.Contains("t: No flow intel cache to load: /nonexistent-state/c.dat"));
    }
    // Without the host's configuration the store keeps its capacity and has
    // no file.
    log.Clear();
    auto store = Store::Create("t", conf);
    EXPECT_EQ(store->GetFilename(), "");
    EXPECT_EQ(store->GetMaxEntries(), 2u);
    EXPECT_TRUE(log.Contains("t: filename static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not found"));
}

}  // namespace
