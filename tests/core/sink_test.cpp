// Sink targets: configuration loading and the payloads handed to the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/sink.h"
#include "support/error_text.h"
#include "support/log_capture.h"
#include "velbord.h"

namespace {

using vppSink::FlowMetadataType;

// The message of the exception that fn throws, or nullopt when it returns.
template <class Fn> std::optional<std::string> ErrorOf(Fn &&fn)
{
    bool returned = false;
    std::string error = ErrorText([&] {
        fn();
        returned = true;
    });
    if (returned)
        return std::nullopt;
    return error;
}

vppSink::Targets Load(const char *config, const json &defaults = nullptr)
{
    vppSink::Targets targets;
    vppSink::LoadConfig(targets, json::parse(config), defaults);
    return targets;
}

struct Delivery {
    std::string sink;
    std::set<std::string> channels;
    json payload;
    uint8_t flags;
    std::string text;
    const json *address;  // of the payload handed over
};

// A host with a sink handler that records every payload, rendered as a host
// sink would render it.
class SinkHost : public ::testing::Test
{
protected:
    SinkHost()
    {
        instance.plugin_manager = std::make_shared<vdPluginManager>();
        instance.plugin_manager->SetSinkHandler([this](const std::string &sink, const std::set<std::string> &channels,
                                                       const json &payload, vdFlags<vdPlugin::DispatchFlags> flags) {
            Delivery delivery{sink, channels, payload, flags.value(), {}, &payload};
            vd_json_to_string(payload, delivery.text);
            deliveries.push_back(std::move(delivery));
        });
    }

    static std::shared_ptr<vdFlow> Flow(std::shared_ptr<vdInterface> iface)
    {
        auto flow = std::make_shared<vdFlow>();
        flow->digest = 0x42;
        flow->last_seen_at = 7;
        flow->ip_version = 4;
        flow->ip_protocol = IPPROTO_TCP;
        vdAddr::Create(flow->lower_addr, "192.0.2.1", 40000);
        vdAddr::Create(flow->upper_addr, "198.51.100.1", 443);
        flow->stats.lower_bytes = 123;
        flow->iface = std::move(iface);
        return flow;
    }

    LogCapture log;
    vdGlobalConfig config;
    vdInstance instance;
    std::vector<Delivery> deliveries;
};

}  // namespace

TEST(SinkDispatchFlags, NamesMatchAsCaseInsensitivePrefixesInTableOrder)
{
    struct Case {
        const char *channel;
        int flags;  // -1: an error
        const char *error;
    };
    const Case cases[] = {
        {R"({})", 0x01, nullptr},
        {R"("not an object")", 0x01, nullptr},
        {R"({"dispatch_flags":[]})", 0x01, nullptr},
        {R"({"dispatch_flags":["append_linefeed"]})", 0x09, nullptr},
        {R"({"dispatch_flags":["format_msgpack","compressor_gzip"]})", 0x24, nullptr},
        {R"({"dispatch_flags":["FORMAT_JSON_OBJECT"]})", 0x02, nullptr},
        {R"({"dispatch_flags":[""]})", 0x01, nullptr},
        {R"({"dispatch_flags":["format"]})", 0x01, nullptr},
        {R"({"dispatch_flags":["compressor"]})", 0x21, nullptr},
        {R"({"dispatch_flags":["prepend","format_json_o","append","append_linefeed"]})", 0x1a, nullptr},
        {R"({"dispatch_flags":["append_linefeed",5,"format_msgpack"]})", 0x09, nullptr},
        {R"({"dispatch_flags":"format_json"})", -1, "ch: dispatch_flags entries must be an array."},
        {R"({"dispatch_flags":["format_json","format_json"]})", -1,
         "ch: invalid dispatch_flags dispatch_flag; multiple formats specified: format_json"},
        {R"({"dispatch_flags":["format_json","format"]})", -1,
         "ch: invalid dispatch_flags dispatch_flag; multiple formats specified: format"},
        {R"({"dispatch_flags":["json"]})", -1, "ch: invalid dispatch_flags dispatch_flag type: json"},
        {R"({"dispatch_flags":["format_jsonx"]})", -1, "ch: invalid dispatch_flags dispatch_flag type: format_jsonx"},
        {R"({"dispatch_flags":["format_json\u0000"]})", -1,
         "ch: invalid dispatch_flags dispatch_flag type: format_json"},
    };
    for (const auto &c : cases) {
        const json channel = json::parse(c.channel);
        uint8_t flags = 0;
        auto error = ErrorOf([&] { flags = vppSink::Channel::LoadDispatchFlags("ch", channel); });
        if (c.flags < 0) {
            EXPECT_EQ(error.value_or("no error"), c.error) << c.channel;
        } else {
            EXPECT_FALSE(error) << c.channel << ": " << *error;
            EXPECT_EQ(flags, c.flags) << c.channel;
        }
    }
}

TEST(SinkFlowMetadata, NamesMatchAsCaseInsensitivePrefixesInTableOrder)
{
    struct Case {
        const char *conf;
        bool sink_wide;
        FlowMetadataType type;
        const char *error;
    };
    const Case cases[] = {
        {R"({})", false, FlowMetadataType::use_default, nullptr},
        {R"({})", true, FlowMetadataType::none, nullptr},
        {R"([1])", false, FlowMetadataType::use_default, nullptr},
        {R"({"flow_metadata":""})", false, FlowMetadataType::none, nullptr},
        {R"({"flow_metadata":"STATS"})", false, FlowMetadataType::stats, nullptr},
        {R"({"flow_metadata":"s"})", true, FlowMetadataType::stats, nullptr},
        {R"({"flow_metadata":"d"})", false, FlowMetadataType::use_default, nullptr},
        {R"({"flow_metadata":"Full"})", true, FlowMetadataType::full, nullptr},
        {R"({"flow_metadata":"d"})", true, {}, "tag: invalid default flow_metadata metadata type: d"},
        {R"({"flow_metadata":"default"})", true, {}, "tag: invalid default flow_metadata metadata type: default"},
        {R"({"flow_metadata":"fuller"})", false, {}, "tag: invalid flow_metadata metadata type: fuller"},
        {R"({"flow_metadata":7})", false, {}, "tag: flow_metadata entries must be strings."},
        {R"({"flow_metadata":null})", true, {}, "tag: default flow_metadata entries must be strings."},
    };
    for (const auto &c : cases) {
        const json conf = json::parse(c.conf);
        FlowMetadataType type{};
        auto error = ErrorOf([&] { type = vppSink::Channel::LoadFlowMetadata("tag", conf, c.sink_wide); });
        if (c.error) {
            EXPECT_EQ(error.value_or("no error"), c.error) << c.conf << " sink_wide " << c.sink_wide;
        } else {
            EXPECT_FALSE(error) << c.conf << ": " << *error;
            EXPECT_EQ(type, c.type) << c.conf << " sink_wide " << c.sink_wide;
        }
    }
}

TEST(SinkLoader, MalformedTargetsFailTheLoad)
{
    struct Case {
        const char *config;
        const char *error;
    };
    const Case cases[] = {
        {R"({"sink_targets":[]})", "sink_loader: sinks entry must be an object."},
        {R"({"sink_targets":{"t":"log"}})", "sink_loader: sink entries must be objects."},
        {R"({"sink_targets":{"t":{"sink":5,"channels":{}}}})", "sink_loader: sink target must be a string."},
        {R"({"sink_targets":{"t":{"sink":"log","channels":[]}}})", "sink_loader: channels entry must be an object."},
        {R"({"sink_targets":{"t":{"sink":"log","channels":{"c":{"dispatch_flags":["x"]}}}}})",
         "log: invalid dispatch_flags dispatch_flag type: x"},
        {R"({"sink_targets":{"t":{"sink":"log","channels":{"c":{"flow_metadata":"all"}}}}})",
         "log: invalid flow_metadata metadata type: all"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ErrorOf([&] { Load(c.config); }).value_or("no error"), c.error) << c.config;
}

TEST(SinkLoader, TargetMissingSinkOrChannelsIsSkippedAlone)
{
    LogCapture log;
    auto targets = Load(R"({"sink_targets":{
        "a_no_sink":{"channels":{"c":{}}},
        "b":{"sink":"log-b","channels":{"c":{}}},
        "c_no_channels":{"sink":"log-c"},
        "d":{"sink":"log-d","channels":{"c":{}}}}})");
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets.at("b").name, "log-b");
    EXPECT_EQ(targets.at("d").name, "log-d");
    const auto lines = log.Lines(vdLogLevel::operational);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("a_no_sink"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("c_no_channels"), std::string::npos) << lines[1];
}

TEST(SinkLoader, MissingTargetsLoadNothing)
{
    LogCapture log;
    EXPECT_TRUE(Load(R"({"indicators":{}})").empty());
    EXPECT_EQ(log.Count("sink_loader: sinks/channels not found or is invalid: "), 1u);
}

TEST(SinkLoader, ChannelsTakeTheSinkWideDefault)
{
    struct Case {
        const char *defaults;
        FlowMetadataType unnamed, named_default;
    };
    const Case cases[] = {
        {"null", FlowMetadataType::full, FlowMetadataType::full},
        {"{}", FlowMetadataType::full, FlowMetadataType::full},
        {R"({"sink":"stats"})", FlowMetadataType::full, FlowMetadataType::full},
        {R"({"sink":{}})", FlowMetadataType::none, FlowMetadataType::none},
        {R"({"sink":{"flow_metadata":"stats"}})", FlowMetadataType::stats, FlowMetadataType::stats},
    };
    for (const auto &c : cases) {
        auto targets = Load(R"({"sink_targets":{"t":{"sink":"log","channels":{
            "unnamed":{},"named_default":{"flow_metadata":"default"},"own":{"flow_metadata":"none"}}}}})",
                            json::parse(c.defaults));
        const auto &channels = targets.at("t").channels;
        EXPECT_EQ(channels.at("unnamed").flow_metadata, c.unnamed) << c.defaults;
        EXPECT_EQ(channels.at("unnamed").dispatch_flags, 0x01) << c.defaults;
        EXPECT_EQ(channels.at("named_default").flow_metadata, c.named_default) << c.defaults;
        EXPECT_EQ(channels.at("own").flow_metadata, FlowMetadataType::none) << c.defaults;
    }
    EXPECT_EQ(ErrorOf([] { Load(R"({})", json::parse(R"({"sink":{"flow_metadata":"d"}})")); }).value_or(""),
              "sink_defaults: invalid default flow_metadata metadata type: d");
}

TEST(SinkLoader, OnlyABooleanFalseDisablesAChannel)
{
    LogCapture log;
    auto targets = Load(R"({"sink_targets":{
        "t":{"sink":"log","channels":{"off":{"enabled":false},"on":{"enabled":true},"text":{"enabled":"no"}}},
        "empty":{"sink":"log-empty","channels":{"off":{"enabled":false}}}}})");
    const auto &channels = targets.at("t").channels;
    EXPECT_EQ(channels.size(), 2u);
    EXPECT_TRUE(channels.count("on") && channels.count("text"));
    EXPECT_TRUE(targets.at("empty").channels.empty());
    EXPECT_TRUE(log.Contains("log-empty: constructed with 0 channel(s)."));
    EXPECT_FALSE(log.Contains("loaded channel: off"));
}

TEST(SinkLoader, ReloadAddsTargetsAndKeepsLoadedOnes)
{
    LogCapture log;
    vppSink::Targets targets;
    vppSink::LoadConfig(targets, json::parse(R"({"sink_targets":{"t":{"sink":"old","channels":{"x":{}}}}})"), nullptr);
    vppSink::LoadConfig(targets, json::parse(R"({"sink_targets":{"t":{"sink":"new","channels":{"y":{}}},
                                                        "u":{"sink":"other","channels":{"z":{}}}}})"),
                        nullptr);
    vppSink::LoadConfig(targets, json::parse(R"({"sink_targets":{}})"), nullptr);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets.at("t").name, "old");
    EXPECT_TRUE(targets.at("t").channels.count("x"));
    EXPECT_EQ(targets.at("u").name, "other");
    // The replaced definition was still read and checked.
    EXPECT_TRUE(log.Contains("new: loaded channel: y"));
    EXPECT_EQ(log.Count("sink_loader: loaded sink: t"), 2u);
}

TEST_F(SinkHost, EachChannelSendsItsOwnEnvelopeAndFlags)
{
    auto targets = Load(R"({"sink_targets":{"alerts":{"sink":"sink-log","channels":{
        "everything":{"flow_metadata":"full","dispatch_flags":["format_json_object","append_linefeed"]},
        "counters":{"flow_metadata":"stats"},
        "summary":{"flow_metadata":"none","dispatch_flags":["format_msgpack","compressor_gzip"]}}}}})");
    const vppSink::Base &target = targets.at("alerts");
    auto flow = Flow(std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan}));
    const json intel = json::parse(R"([{"id":1,"indicator":"custom","score":80}])");

    for (const auto &[name, channel] : target.channels)
        channel.Dispatch(target.name, intel, flow);

    struct Expected {
        const char *channel;
        uint8_t flags;
        bool has_counters, has_metadata;
    };
    const Expected expected[] = {
        {"counters", 0x01, true, false},
        {"everything", 0x0a, true, true},
        {"summary", 0x24, false, false},
    };
    ASSERT_EQ(deliveries.size(), 3u);
    for (const auto &e : expected) {
        auto it = std::find_if(deliveries.begin(), deliveries.end(),
                               [&](const Delivery &d) { return d.channels.count(e.channel) != 0; });
        ASSERT_NE(it, deliveries.end()) << e.channel;
        EXPECT_EQ(it->sink, "sink-log");
        EXPECT_EQ(it->channels, std::set<std::string>{e.channel});
        EXPECT_EQ(it->flags, e.flags) << e.channel;
        json payload = it->payload;
        EXPECT_EQ(payload["type"], "flow_intel");
        EXPECT_EQ(payload["interface"], "eth0");
        EXPECT_EQ(payload["internal"], true);
        EXPECT_EQ(payload.size(), 4u);
        EXPECT_EQ(payload["flow"]["intel"], intel) << e.channel;
        EXPECT_EQ(payload["flow"]["digest"], "0000000000000042") << e.channel;
        EXPECT_EQ(payload["flow"].contains("local_bytes"), e.has_counters) << e.channel;
        EXPECT_EQ(payload["flow"].contains("local_ip"), e.has_metadata) << e.channel;
    }
    auto summary = std::find_if(deliveries.begin(), deliveries.end(),
                                [](const Delivery &d) { return d.channels.count("summary") != 0; });
    EXPECT_EQ(summary->text, R"({"flow":{"digest":"0000000000000042","digest_prev":["0000000000000042"],)"
                             R"("intel":[{"id":1,"indicator":"custom","score":80}],"last_seen_at":7},)"
                             R"("interface":"eth0","internal":true,"type":"flow_intel"})");
}

TEST_F(SinkHost, InterfaceNameAndRoleReachTheEnvelope)
{
    struct Case {
        std::shared_ptr<vdInterface> iface;
        const char *name;
        bool internal;
    };
    const Case cases[] = {
        {nullptr, "", false},
        {std::make_shared<vdInterface>(vdInterface{"lan0", vdInterface::lan}), "lan0", true},
        {std::make_shared<vdInterface>(vdInterface{"wan0", vdInterface::wan}), "wan0", false},
        {std::make_shared<vdInterface>(vdInterface{"tap0", vdInterface::unknown}), "tap0", false},
    };
    vppSink::Channel channel;
    channel.name = "c";
    channel.flow_metadata = FlowMetadataType::none;
    for (const auto &c : cases) {
        deliveries.clear();
        channel.Dispatch("log", json::array(), Flow(c.iface));
        ASSERT_EQ(deliveries.size(), 1u) << c.name;
        EXPECT_EQ(deliveries[0].payload["interface"], c.name);
        EXPECT_EQ(deliveries[0].payload["internal"], c.internal) << c.name;
    }
    EXPECT_EQ(ErrorOf([&] { channel.Dispatch("log", json::array(), nullptr); }).value_or(""),
              "log: c: no flow to dispatch.");
}

TEST_F(SinkHost, InvalidUtf8InFlowAndIntelStillRenders)
{
    auto flow = Flow(nullptr);
    flow->host_server_name = "caf\xe9.example";
    vppSink::Channel channel;
    channel.name = "c";
    ASSERT_NO_THROW(channel.Dispatch("log", json::parse(R"([{"id":1}])"), flow));
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_NE(deliveries[0].text.find("caf\xef\xbf\xbd.example"), std::string::npos) << deliveries[0].text;
}

TEST_F(SinkHost, ChannelsOfALevelShareOneEnvelopeAndEveryEnvelopeCarriesTheIntel)
{
    auto targets = Load(R"({"sink_targets":{"alerts":{"sink":"sink-log","channels":{
        "full1":{"flow_metadata":"full"},"full2":{"flow_metadata":"full"},
        "counters":{"flow_metadata":"stats"},"summary":{"flow_metadata":"none"}}}}})");
    const vppSink::Base &target = targets.at("alerts");
    auto flow = Flow(std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan}));
    const json intel = json::parse(R"([{"id":1,"indicator":"custom","score":80}])");

    // What each channel sends on its own.
    std::map<std::string, std::string> alone;
    for (const auto &[name, channel] : target.channels) {
        deliveries.clear();
        channel.Dispatch(target.name, intel, flow);
        alone[name] = deliveries.at(0).text;
    }

    struct Case {
        std::vector<std::string> expected;  // levels noted before asking
        std::vector<std::string> asked;
    };
    const Case cases[] = {
        {{"full1", "full2", "counters", "summary"}, {"full1", "full2", "counters", "summary"}},
        {{"full1", "full2", "counters", "summary"}, {"summary", "counters", "full2", "full1"}},
        {{"full1", "full2"}, {"full1", "full2"}},
        // Levels nobody said would be asked for still get the intel.
        {{"full1"}, {"full1", "counters", "summary", "full2"}},
        {{}, {"summary", "full1"}},
    };
    for (const auto &c : cases) {
        deliveries.clear();
        vppSink::FlowEnvelopes envelopes(intel, flow);
        for (const auto &name : c.expected)
            envelopes.Expect(target.channels.at(name).flow_metadata);
        for (const auto &name : c.asked)
            target.channels.at(name).Dispatch(target.name, envelopes);

        ASSERT_EQ(deliveries.size(), c.asked.size());
        std::map<std::string, const json *> sent;
        for (const auto &delivery : deliveries) {
            const std::string &name = *delivery.channels.begin();
            EXPECT_EQ(delivery.text, alone[name]) << name;
            sent[name] = delivery.address;
        }
        if (sent.count("full1") && sent.count("full2")) {
            EXPECT_EQ(sent["full1"], sent["full2"]);
        }
    }
}

TEST(SinkEnvelopes, AFailedEncodingFailsEachChannelOfItsLevelAndKeepsTheIntel)
{
    // Without the host configuration the metadata cannot be encoded.
    ASSERT_FALSE(vdGlobalConfig::HasInstance());
    vdInstance instance;
    instance.plugin_manager = std::make_shared<vdPluginManager>();
    std::vector<json> sent;
    instance.plugin_manager->SetSinkHandler([&](const std::string &, const std::set<std::string> &, const json &payload,
                                                vdFlags<vdPlugin::DispatchFlags>) { sent.push_back(payload); });
    auto flow = std::make_shared<vdFlow>();
    const json intel = json::parse(R"([{"id":7}])");
    vppSink::Channel full, none;
    full.name = "full";
    none.name = "none";
    none.flow_metadata = FlowMetadataType::none;

    vppSink::FlowEnvelopes envelopes(intel, flow);
    envelopes.Expect(none.flow_metadata);
    envelopes.Expect(full.flow_metadata);
    const std::string error = "static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not found";
    EXPECT_EQ(ErrorOf([&] { full.Dispatch("log", envelopes); }).value_or(""), error);
    EXPECT_EQ(ErrorOf([&] { full.Dispatch("log", envelopes); }).value_or(""), error);
    none.Dispatch("log", envelopes);
    EXPECT_EQ(ErrorOf([&] { full.Dispatch("log", envelopes); }).value_or(""), error);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["flow"]["intel"], intel);
    instance.plugin_manager->SetSinkHandler(nullptr);
}

TEST_F(SinkHost, SuccessiveFlowsEachSendTheirOwnValues)
{
    // Flows of two kinds, alternating, each with values of its own: the
    // second flow of a kind is written where the first one's went.
    auto flow_of = [](int n, bool named) {
        auto flow = Flow(std::make_shared<vdInterface>(vdInterface{"eth" + std::to_string(n), vdInterface::lan}));
        flow->digest = 0x100 + n;
        flow->stats.lower_bytes = 1000 + n;
        flow->detected_protocol_name = "proto " + std::to_string(n);
        if (named)
            flow->host_server_name = "host" + std::to_string(n) + ".example";
        return flow;
    };
    std::vector<vdFlow::Ptr> flows;
    for (int n = 0; n < 8; n++)
        flows.push_back(flow_of(n, n % 2 == 0));
    const json intel = json::parse(R"([{"id":1}])");

    // Encoded on a thread of its own, where no earlier document is reused.
    std::vector<std::string> expected;
    std::thread([&] {
        for (const auto &flow : flows) {
            json document;
            flow->Encode(document, flow->stats, vdFlow::EncodeFlags::encode_all);
            document["intel"] = intel;
            const json envelope = {
                {"flow", document}, {"interface", flow->iface->ifname}, {"internal", true}, {"type", "flow_intel"}};
            vd_json_to_string(envelope, expected.emplace_back());
        }
    }).join();

    vppSink::Channel channel;
    channel.name = "c";
    for (int round = 0; round < 2; round++) {
        deliveries.clear();
        for (const auto &flow : flows)
            channel.Dispatch("log", intel, flow);
        ASSERT_EQ(deliveries.size(), flows.size());
        for (size_t at = 0; at < flows.size(); at++)
            EXPECT_EQ(deliveries[at].text, expected[at]) << "round " << round << ", flow " << at;
    }
}
