#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "indicator_fixture.h"

namespace {

const char *strict = R"({"criteria": {"min_bytes": 100, "trigger_on_east_west": false, "trigger_on_wan": false}})";
const char *lenient = R"({"criteria": {"min_bytes": 100}})";

std::shared_ptr<vdInterface> Interface(uint8_t role)
{
    auto iface = std::make_shared<vdInterface>();
    iface->ifname = "eth0";
    iface->role = role;
    return iface;
}

struct FilterCase {
    const char *name;
    const char *conf;
    vdPluginProcessor::Event code;
    vppEventQueue::Event::Type type;
    uint64_t bytes;
    uint8_t other_type;
    std::shared_ptr<vdInterface> iface;
    // The one debug line Filtered writes, after "t: 0000000000001234: ".
    std::string line;
};

void PrintTo(const FilterCase &c, std::ostream *out)
{
    *out << c.name;
}

const vppEventQueue::Event::Type FLOW = vppEventQueue::Event::FLOW;
const vppEventQueue::Event::Type LOOKUP = vppEventQueue::Event::LOOKUP;
const uint8_t remote = vdFlow::other_remote;
const uint8_t local = vdFlow::other_local;

std::vector<FilterCase> FilterCases()
{
    auto wan = Interface(vdInterface::wan);
    auto lan = Interface(vdInterface::lan);
    const auto flow_new = vdPluginProcessor::flow_new;
    const auto dpi_complete = vdPluginProcessor::dpi_complete;
    return {
        {"event not in filter", strict, flow_new, FLOW, 0, local, wan,
         "filtered: flow_new: event_filter: flow_new not in filter"},
        {"lookup carries its flow's code", strict, flow_new, LOOKUP, 500, remote, lan,
         "filtered: flow_new (lookup): event_filter: flow_new not in filter"},
        {"one byte short", strict, dpi_complete, FLOW, 99, local, wan, "filtered: dpi_complete: min_bytes: 99 < 100"},
        {"LAN before WAN", strict, dpi_complete, FLOW, 100, local, wan,
         "filtered: dpi_complete: LAN traffic (trigger east/west)"},
        {"WAN", strict, dpi_complete, FLOW, 100, remote, wan, "filtered: dpi_complete: WAN traffic (trigger wan)"},
        {"LAN interface", strict, dpi_complete, FLOW, 100, remote, lan, "evaluating: dpi_complete"},
        {"no interface counts as no role", strict, dpi_complete, FLOW, 100, remote, nullptr,
         "evaluating: dpi_complete"},
        {"triggers on", lenient, dpi_complete, FLOW, 100, local, wan, "evaluating: dpi_complete"},
        {"lookup that passes", lenient, dpi_complete, LOOKUP, 100, local, wan, "evaluating: dpi_complete (lookup)"},
    };
}

class FilterTest : public IndicatorTest, public ::testing::WithParamInterface<FilterCase>
{
};

TEST_P(FilterTest, FirstFailingTestAndItsLine)
{
    const FilterCase &c = GetParam();
    config.verbosity = 2;
    auto indicator = Make(Driver::tor_exit, c.conf);
    auto flow = Flow([&](vdFlow &f) {
        f.stats.total_bytes = c.bytes;
        f.other_type = c.other_type;
        f.iface = c.iface;
    });
    log.Clear();

    bool filtered = indicator->Filtered(*FlowEvent(flow, c.code, c.type), true);

    EXPECT_EQ(filtered, c.line.starts_with("filtered"));
    EXPECT_EQ(log.Lines(vdLogLevel::debug), std::vector<std::string>{"t: 0000000000001234: " + c.line + "\n"});
}

INSTANTIATE_TEST_SUITE_P(Cases, FilterTest, ::testing::ValuesIn(FilterCases()), [](const auto &info) {
    std::string name = info.param.name;
    for (char &ch : name)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name;
});

TEST_F(IndicatorTest, FilterWritesItsLineOnlyWhenAskedAndVerbose)
{
    auto indicator = Make(Driver::tor_exit, "{}");
    auto ev = FlowEvent(Flow(), vdPluginProcessor::flow_new);
    log.Clear();

    config.verbosity = 2;
    EXPECT_TRUE(indicator->Filtered(*ev, false));
    config.verbosity = 1;
    EXPECT_TRUE(indicator->Filtered(*ev, true));
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(IndicatorTest, CodesBeyondTheHostsRangeAreInNoFilter)
{
    config.verbosity = 2;
    auto indicator = Make(Driver::tor_exit, R"({"event_filter": ["flow_new", "dpi_complete"]})");
    log.Clear();

    for (unsigned code : {16u, 255u, 65535u})
        EXPECT_TRUE(indicator->Filtered(*FlowEvent(Flow(), static_cast<vdPluginProcessor::Event>(code)), true)) << code;
    EXPECT_EQ(log.Count("t: 0000000000001234: filtered: unknown: event_filter: unknown not in filter\n"), 3u);
    EXPECT_THROW(indicator->event_filter.Insert(static_cast<vdPluginProcessor::Event>(16)), std::out_of_range);
}

TEST_F(IndicatorTest, FlowExpressionDecidesCustomMatch)
{
    config.verbosity = 2;
    auto indicator = MakeCustom(R"({"criteria": {"flow_expr": "detected_protocol == 91"}, "score": 30})");
    auto tls = Flow([](vdFlow &f) { f.detected_protocol = vdProto::TLS; });
    auto http = Flow([](vdFlow &f) { f.detected_protocol = vdProto::HTTP; });

    EXPECT_FALSE(indicator->Filtered(*FlowEvent(tls), true));
    EXPECT_TRUE(indicator->Filtered(*FlowEvent(http), true));
    EXPECT_TRUE(log.Contains("t: 0000000000001234: filtered: dpi_complete: criteria flow expr didn't match\n"));
}

TEST_F(IndicatorTest, FlowExpressionThatThrowsIsAMismatchAndAlwaysLogged)
{
    auto indicator = MakeCustom(R"({"criteria": {"flow_expr": "no_such_field == 1"}})");
    log.Clear();

    EXPECT_TRUE(indicator->Filtered(*FlowEvent(Flow()), false));
    auto lines = log.Lines(vdLogLevel::debug);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("t: no_such_field == 1: ")) << lines[0];
}

}  // namespace
