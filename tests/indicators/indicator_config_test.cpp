#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "indicator_fixture.h"
#include "indicators/cache/intel_cache.h"
#include "indicators/indicator.h"
#include "support/error_text.h"

namespace {

using Code = vdPluginProcessor::Event;
using Codes = vppIndicator::EventSet;

struct EventFilterCase {
    const char *own;       // the indicator's "event_filter", or nullptr
    const char *defaults;  // the defaults' "event_filter", or nullptr
    Codes expected;
    std::string error;
};

void PrintTo(const EventFilterCase &c, std::ostream *out)
{
    *out << "own " << (c.own ? c.own : "none") << ", defaults " << (c.defaults ? c.defaults : "none");
}

std::string WithKey(const char *key, const char *value)
{
    return value == nullptr ? "{}" : std::string("{\"") + key + "\": " + value + "}";
}

const std::vector<EventFilterCase> event_filter_cases = {
    {nullptr, nullptr, {vdPluginProcessor::dpi_complete}, ""},
    {R"(["flow_new"])", R"(["dpi_new"])", {vdPluginProcessor::flow_new}, ""},
    {"[]", R"(["dpi_new"])", {vdPluginProcessor::dpi_new}, ""},
    {"null", R"("dpi_update")", {vdPluginProcessor::dpi_update}, ""},
    {R"(["DPI_Complete", "flow"])", nullptr, {vdPluginProcessor::dpi_complete, vdPluginProcessor::flow_new}, ""},
    {R"("flow_stats")", nullptr, {vdPluginProcessor::flow_stats}, ""},
    {R"([""])", nullptr, {vdPluginProcessor::flow_new}, ""},
    {R"(["flow_s"])", nullptr, {vdPluginProcessor::flow_stats}, ""},
    {R"(["flow_exp"])", nullptr, {vdPluginProcessor::flow_expiring}, ""},
    {R"(["FLOW_EXPIRED"])", nullptr, {vdPluginProcessor::flow_expired}, ""},
    {R"(["DPI"])", nullptr, {vdPluginProcessor::dpi_new}, ""},
    {R"(["dpi_u", "dpi_c"])", nullptr, {vdPluginProcessor::dpi_update, vdPluginProcessor::dpi_complete}, ""},
    {R"({"a": "flow_new", "b": "dpi_new"})", nullptr, {vdPluginProcessor::flow_new, vdPluginProcessor::dpi_new}, ""},
    // The defaults are not read when the indicator has a filter of its own.
    {R"(["flow_new"])", "[8]", {vdPluginProcessor::flow_new}, ""},
    {R"(["flow_expired_now"])", nullptr, {}, "t: invalid event_filter entry: flow_expired_now"},
    {R"(["dpi_completely"])", nullptr, {}, "t: invalid event_filter entry: dpi_completely"},
    {"[8]", nullptr, {}, "t: event_filter entries must be strings."},
    {"8", nullptr, {}, "t: event_filter entries must be strings."},
    {nullptr, R"(["flow_new", true])", {}, "t: default event_filter entries must be strings."},
    {nullptr, R"(["nope"])", {}, "t: invalid default event_filter entry: nope"},
};

class EventFilterTest : public IndicatorTest, public ::testing::WithParamInterface<EventFilterCase>
{
};

TEST_P(EventFilterTest, PrefixAndPrecedence)
{
    const EventFilterCase &c = GetParam();
    std::string conf = WithKey("event_filter", c.own);
    std::string defaults = WithKey("event_filter", c.defaults);
    if (!c.error.empty()) {
        EXPECT_EQ(MakeError(Driver::tor_exit, conf, defaults), c.error);
        return;
    }
    auto indicator = Make(Driver::tor_exit, conf, defaults);
    EXPECT_EQ(indicator->event_filter, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventFilterTest, ::testing::ValuesIn(event_filter_cases));

TEST_F(IndicatorTest, EventFilterLogsEachMatchAndTheTotal)
{
    Make(Driver::tor_exit, R"({"event_filter": ["dpi_c", "flow"]})");
    EXPECT_TRUE(log.Contains("t: adding event_filter: dpi_c (08)\n"));
    EXPECT_TRUE(log.Contains("t: adding event_filter: flow (02)\n"));
    EXPECT_TRUE(log.Contains("t: event_filter total entries: 2\n"));
}

struct PriorityCase {
    const char *conf;
    unsigned ordinal;
    unsigned expected;
    std::string error;
};

void PrintTo(const PriorityCase &c, std::ostream *out)
{
    *out << c.conf << ", ordinal " << c.ordinal;
}

const std::vector<PriorityCase> priority_cases = {
    {"{}", 65540, 65540, ""},
    {R"({"priority": 0})", 65540, 0, ""},
    {R"({"priority": 65535})", 65540, 65535, ""},
    {R"({"priority": 65536})", 65537, 0, "t: priority invalid; > 65535"},
    {R"({"priority": 65536})", 65536, 65536, ""},
    // Compared in full: the low 32 bits of this number are the ordinal.
    {R"({"priority": 4294967301})", 5, 0, "t: priority invalid; > 65535"},
    {R"({"priority": "1"})", 0, 0, "t: priority must be an unsigned integer."},
    {R"({"priority": -1})", 0, 0, "t: priority must be an unsigned integer."},
    {R"({"priority": 1.0})", 0, 0, "t: priority must be an unsigned integer."},
    {R"({"priority": null})", 0, 0, "t: priority must be an unsigned integer."},
};

class PriorityTest : public ::testing::TestWithParam<PriorityCase>
{
};

TEST_P(PriorityTest, Rules)
{
    const PriorityCase &c = GetParam();
    std::optional<unsigned> priority;
    EXPECT_EQ(ErrorText([&] { priority = vppIndicator::Base::LoadPriority("t", json::parse(c.conf), c.ordinal); }),
              c.error);
    if (priority) {
        EXPECT_EQ(*priority, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PriorityTest, ::testing::ValuesIn(priority_cases));

TEST_F(IndicatorTest, CreatePassesThePriority)
{
    auto create = vppIndicator::FindCreateFunction(Driver::tor_exit);
    EXPECT_EQ(create(queue, Driver::tor_exit, "a", 65538, json::object(), json::object())->priority, 65538u);
    EXPECT_EQ(create(queue, Driver::tor_exit, "b", 65538, json::parse(R"({"priority": 7})"), json::object())->priority,
              7u);
}

struct ScoreCase {
    const char *conf;
    uint32_t expected;
    std::string error;
};

void PrintTo(const ScoreCase &c, std::ostream *out)
{
    *out << c.conf;
}

const std::vector<ScoreCase> score_cases = {
    {"{}", 0, ""},
    {R"({"score": 0})", 0, ""},
    {R"({"score": 4294967295})", 4294967295u, ""},
    {R"({"score": 4294967301})", 0, "t: score entry out of range; > 4294967295"},
    {R"({"score": -1})", 0, "t: score entry must be an unsigned integer."},
    {R"({"score": 2.5})", 0, "t: score entry must be an unsigned integer."},
    {R"({"score": "5"})", 0, "t: score entry must be an unsigned integer."},
    {R"({"score": null})", 0, "t: score entry must be an unsigned integer."},
};

class ScoreTest : public IndicatorTest, public ::testing::WithParamInterface<ScoreCase>
{
};

TEST_P(ScoreTest, Rules)
{
    const ScoreCase &c = GetParam();
    if (!c.error.empty()) {
        EXPECT_EQ(MakeError(Driver::tor_exit, c.conf), c.error);
        return;
    }
    EXPECT_EQ(Make(Driver::tor_exit, c.conf)->score, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScoreTest, ::testing::ValuesIn(score_cases));

TEST_F(IndicatorTest, AttributesAreTypedByTheirJsonValue)
{
    auto indicator = Make(Driver::tor_exit, R"({"attrs": {
        "site": null, "f": 1.5, "i": 7, "neg": -5, "b": true, "arr": [1, 2], "obj": {"k": 1},
        "s": "text", "wide": 4294967296, "huge": 1e300, "Site": "x", "": 1}})",
                          R"({"attrs": {"site": "a", "i": 1, "kept": false}})");
    const vppIntel::AttrMap &attrs = indicator->attrs;

    EXPECT_EQ(std::get<std::string>(attrs.at("site")), "a");
    EXPECT_EQ(std::get<float>(attrs.at("f")), 1.5f);
    EXPECT_EQ(std::get<int32_t>(attrs.at("i")), 7);
    EXPECT_EQ(std::get<int32_t>(attrs.at("neg")), -5);
    EXPECT_EQ(std::get<bool>(attrs.at("b")), true);
    EXPECT_EQ(std::get<bool>(attrs.at("kept")), false);
    EXPECT_EQ(std::get<json>(attrs.at("arr")), json::parse("[1, 2]"));
    EXPECT_EQ(std::get<json>(attrs.at("obj")), json::parse(R"({"k": 1})"));
    EXPECT_EQ(std::get<std::string>(attrs.at("s")), "text");
    // Numbers the attribute's int or float cannot hold stay as they were.
    EXPECT_EQ(std::get<json>(attrs.at("wide")), json(4294967296u));
    EXPECT_EQ(std::get<json>(attrs.at("huge")), json(1e300));
    EXPECT_EQ(std::get<std::string>(attrs.at("Site")), "x");
    EXPECT_EQ(std::get<int32_t>(attrs.at("")), 1);

    EXPECT_TRUE(log.Contains("t: attrs: null value ignored: site\n"));
    EXPECT_TRUE(log.Contains("t: attrs: key can't be used in a flow expression (want [a-z0-9_]): Site\n"));
    EXPECT_EQ(log.Count("key can't be used in a flow expression"), 1u);
}

// Spelled as the cache reports it.
constexpr const char *cache_capacity_error = "maxiumum LRU cache size cannot be zero";

TEST_F(IndicatorTest, ConfigurationErrors)
{
    struct Case {
        Driver driver;
        const char *conf;
        const char *defaults;
        std::string error;
    };
    const std::vector<Case> cases = {
        {Driver::tor_exit, R"({"attrs": [1]})", "{}", "t: attrs entry must be an object."},
        {Driver::tor_exit, "{}", R"({"attrs": "x"})", "t: default attrs entry must be an object."},
        {Driver::custom, "{}", "{}", "t: criteria must include a flow expression (flow_expr)"},
        {Driver::custom, "{}", R"({"criteria": {"flow_expr": "ip_version == 4"}})",
         "t: criteria must include a flow expression (flow_expr)"},
        {Driver::tor_exit, R"({"proc_targets": "p"})", "{}", "t: processors entry must be an array."},
        {Driver::tor_exit, R"({"sink_targets": {"a": "s"}})", "{}", "t: sinks entry must be an array."},
        {Driver::tor_exit, R"({"cache": null})", "{}", "t: cache entry must be an object."},
        {Driver::tor_exit, R"({"cache": ["other_ip"]})", "{}", "t: cache entry must be an object."},
        {Driver::tor_exit, R"({"cache": "other_ip"})", "{}", "t: cache entry must be an object."},
        // The store names the bad key in a debug line; every such error
        // fails the indicator through the cache's capacity.
        {Driver::tor_exit, R"({"cache": {"max_size": 10}})", "{}", cache_capacity_error},
        {Driver::tor_exit, R"({"cache": {"flow_keys": ["bogus"], "max_size": 10}})", "{}", cache_capacity_error},
        {Driver::tor_exit, R"({"cache": {"flow_keys": [], "max_size": 10}})", "{}", cache_capacity_error},
        {Driver::tor_exit, R"({"cache": {"flow_keys": ["other_ip"]}})", "{}", cache_capacity_error},
        {Driver::tor_exit, R"({"cache": {"flow_keys": ["other_ip"], "max_size": 0}})", "{}", cache_capacity_error},
        {Driver::tor_exit, R"({"cache": {"flow_keys": ["other_ip"], "max_size": -1}})", "{}", cache_capacity_error},
        {Driver::tor_exit, R"({"cache": {"flow_keys": ["other_ip"], "max_size": 10.5}})", "{}", cache_capacity_error},
    };
    for (const Case &c : cases)
        EXPECT_EQ(MakeError(c.driver, c.conf, c.defaults), c.error) << c.conf << " " << c.defaults;
}

TEST_F(IndicatorTest, Targets)
{
    auto indicator = Make(Driver::tor_exit, R"({"proc_targets": ["p1", "p2", "p1"], "sink_targets": ["s", "s"]})");
    EXPECT_EQ(indicator->proc_targets, (vppIndicator::Base::Targets{"p1", "p2"}));
    EXPECT_EQ(indicator->sink_targets, (vppIndicator::Base::Targets{"s"}));
    EXPECT_TRUE(log.Contains("t: sinks loaded: 1\n"));

    log.Clear();
    indicator = Make(Driver::tor_exit, R"({"proc_targets": ["p", 1], "sink_targets": ["s", 1]})");
    EXPECT_TRUE(indicator->proc_targets.empty());
    EXPECT_TRUE(indicator->sink_targets.empty());
    EXPECT_TRUE(log.Contains("t: processors not found or is invalid: "));
    EXPECT_TRUE(log.Contains("t: sinks not found or is invalid: "));
    EXPECT_FALSE(log.Contains("sinks loaded"));
}

TEST_F(IndicatorTest, ACacheObjectGivesTheIndicatorItsCache)
{
    auto indicator = Make(Driver::tor_exit, R"({"cache": {"flow_keys": ["other_ip"], "max_size": 10}})");
    ASSERT_NE(indicator->cache, nullptr);
    EXPECT_TRUE(log.Contains("t: cache enabled.\n"));

    // Keyed by the configured field alone: another client of the same
    // server finds what the first one left; a client of another server not.
    auto flow = [](const std::string &client, const std::string &server) {
        return FlowBuilder().Lower(client, 50000).Upper(server, 443).Set([](vdFlow &f) { f.lower_map = 1; }).Build();
    };
    vppIntel::Entry entry;
    entry.indicator = "t";
    entry.score = 30;
    indicator->cache->Insert(flow("192.0.2.1", "198.51.100.7"), entry);
    vppIntel::Entry found;
    EXPECT_TRUE(indicator->cache->Lookup(flow("192.0.2.99", "198.51.100.7"), found));
    EXPECT_EQ(found, entry);
    EXPECT_FALSE(indicator->cache->Lookup(flow("192.0.2.1", "198.51.100.8"), found));
}

TEST_F(IndicatorTest, MissingOptionalKeysAreDebugLines)
{
    auto indicator = Make(Driver::tor_exit, "{}");
    EXPECT_EQ(indicator->score, 0u);
    EXPECT_EQ(indicator->cache, nullptr);
    EXPECT_FALSE(log.Contains("cache enabled"));
    for (const char *key : {"score", "cache", "event_filter", "default event_filter", "processors", "sinks"})
        EXPECT_TRUE(log.Contains(std::string("t: ") + key + " not found or is invalid: ")) << key;
}

TEST_F(IndicatorTest, DuplicateDataFeedKeepsTheFirst)
{
    auto indicator = Make(Driver::tor_exit, "{}");
    std::shared_ptr<vppDataFeed::Base> first = std::make_shared<TableFeed>("f");
    std::shared_ptr<vppDataFeed::Base> second = std::make_shared<TableFeed>("f");
    indicator->AddDataFeed("f", first);
    indicator->AddDataFeed("f", second);
    EXPECT_EQ(indicator->data_feeds.at("f"), first);
    EXPECT_TRUE(log.Contains("t: added data feed: f\n"));
    EXPECT_TRUE(log.Contains("t: duplicate data feed: f\n"));
}

TEST_F(IndicatorTest, DriverFixesNameAndCategory)
{
    auto indicator = Make(Driver::tls_cert_mismatch, "{}");
    EXPECT_EQ(indicator->GetDriverName(), "tls_cert_mismatch");
    EXPECT_EQ(indicator->GetCategoryName(), "tls_certificate_audit");
    EXPECT_EQ(vppIndicator::Base::GetDriver("tor_exit"), Driver::tor_exit);
    EXPECT_EQ(vppIndicator::Base::GetEventName(vdPluginProcessor::intel_record), "unknown");
}

}  // namespace
