// The cost of turning a match into output: encoding one flow at each
// metadata level, one sink channel's dispatch (encode, envelope, host
// hand-off), an intel entry's completion and JSON form for an indicator with
// many attributes, and a match through the plug-in to sinks of 0, 1 and 3
// channels. Only public interfaces are used, so that the same file measures
// an earlier build for comparison.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "flow/flow_encoder.h"
#include "core/plugin.h"
#include "core/sink.h"
#include "indicators/driver_registry.h"
#include "indicators/indicator.h"
#include "support/plugin_host.h"
#include "velbord.h"

namespace {

// A TLS flow with the members a typical intel payload carries.
vdFlow::Ptr MakeFlow()
{
    auto flow = std::make_shared<vdFlow>();
    flow->digest = 0x1122334455667788;
    flow->digest_prev = {0x1122334455667788};
    flow->first_seen_at = 1700000000000;
    flow->last_seen_at = 1700000100000;
    vdAddr::Create(flow->lower_mac, "00:1a:2b:3c:4d:5e");
    vdAddr::Create(flow->upper_mac, "00:aa:bb:cc:dd:ee");
    vdAddr::Create(flow->lower_addr, "192.168.1.10", 51000);
    vdAddr::Create(flow->upper_addr, "203.0.113.5", 443);
    flow->lower_map = 1;
    flow->origin = 1;
    flow->other_type = vdFlow::other_remote;
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    flow->detected_protocol = vdProto::TLS;
    flow->detected_protocol_name = "TLS";
    flow->detected_application = 126;
    flow->detected_application_name = "Google";
    flow->dns_host_name = flow->host_server_name = "www.example.com";
    flow->ssl_version = 0x0304;
    flow->ssl_cipher_suite = 0x1301;
    flow->ssl_server_cn = "*.example.com";
    flow->ssl_client_ja4 = "t13d1516h2_8daaf6152771_e5627efa2ab1";
    flow->ssl_cert_fingerprint.assign(20, 0xab);
    flow->ssl_alpn = {"h2", "http/1.1"};
    flow->risks = {3, 17};
    flow->dpi_risk_score = 10;
    flow->tags = {"a", "b"};
    flow->stats = {1000, 5000, 6000, 1100, 5100, 10, 12, 22, 11, 13, 4, 0.1f, 2.5f, 1, 0, 2};
    flow->iface = std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan});
    return flow;
}

void BM_Encode(benchmark::State &state)
{
    vdGlobalConfig config;
    const auto flags = vdFlags<vdFlow::EncodeFlags>(static_cast<uint8_t>(state.range(0)));
    auto flow = MakeFlow();
    for (auto _ : state) {
        json out;
        flow->Encode(out, flow->stats, flags);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Encode)->Arg(0)->Arg(4)->Arg(7)->Unit(benchmark::kMicrosecond);

// One channel's dispatch of one flow's intel; the argument is the channel's
// flow metadata ("none", "stats", "full" as 0, 2, 255).
void BM_SinkDispatch(benchmark::State &state)
{
    vdGlobalConfig config;
    vdInstance instance;
    instance.plugin_manager = std::make_shared<vdPluginManager>();
    instance.plugin_manager->SetSinkHandler(
        [](const std::string &, const std::set<std::string> &, const json &payload, vdFlags<vdPlugin::DispatchFlags>) {
            benchmark::DoNotOptimize(payload);
        });

    vppSink::Channel channel;
    channel.name = "intel";
    channel.flow_metadata = static_cast<vppSink::FlowMetadataType>(state.range(0));
    auto flow = MakeFlow();
    const json intel = json::parse(R"([{"id":1,"score":80,"category":"malware","data_source":"cloud",
        "indicator":"reputation","indicator_driver":"reputation","attrs":{"domain":"www.example.com"}}])");
    for (auto _ : state)
        channel.Dispatch("sink-log", intel, flow);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SinkDispatch)->Arg(0)->Arg(2)->Arg(255)->Unit(benchmark::kMicrosecond);

// A custom indicator matching every flow, with the given number of
// configured attributes.
std::shared_ptr<vppIndicator::Base> MakeIndicator(const vppEventQueue::Queue::Ptr &queue, int attrs)
{
    json conf = {{"criteria", {{"min_bytes", 100}, {"flow_expr", "detected_protocol == 91"}}}, {"score", 50}};
    conf["attrs"] = json::object();
    for (int i = 0; i < attrs; i++)
        conf["attrs"]["attr" + std::to_string(i)] = "value " + std::to_string(i);
    return vppIndicator::FindCreateFunction(vppIndicator::Driver::custom)(queue, vppIndicator::Driver::custom, "bench",
                                                                          0, conf, json::object());
}

vppEventQueue::Event MakeFlowEvent()
{
    vppEventQueue::Event event;
    event.event = vdPluginProcessor::dpi_complete;
    event.flow = MakeFlow();
    return event;
}

// The driver's entry, its completion (criteria and attributes) and the INTEL
// push; the argument is the number of configured attributes. The queue is
// drained every 64 events, which is counted in the time.
void BM_CompleteEntry(benchmark::State &state)
{
    auto queue = vppEventQueue::Queue::Create("event_queue");
    auto indicator = MakeIndicator(queue, static_cast<int>(state.range(0)));
    const vppEventQueue::Event event = MakeFlowEvent();
    std::vector<vppEventQueue::Event> batch;
    size_t processed = 0;
    for (auto _ : state) {
        auto copy = std::make_shared<vppEventQueue::Event>(event);
        indicator->ProcessFlow(copy);
        if (++processed % 64 == 0) {
            batch.clear();
            queue->Pop(batch, 0);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompleteEntry)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The bare JSON form of an entry the indicator above completed.
void BM_EntryToJson(benchmark::State &state)
{
    auto queue = vppEventQueue::Queue::Create("event_queue");
    auto indicator = MakeIndicator(queue, static_cast<int>(state.range(0)));
    auto event = std::make_shared<vppEventQueue::Event>(MakeFlowEvent());
    indicator->ProcessFlow(event);
    std::vector<vppEventQueue::Event> batch;
    queue->Pop(batch, 0);
    if (batch.empty() || batch.front().Read().entries.empty()) {
        state.SkipWithError("the indicator completed no entry");
        return;
    }
    const vppIntel::Entry entry = *batch.front().Read().entries.front();
    for (auto _ : state) {
        json record;
        vppIntel::Entry::to_json(record, entry, false);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EntryToJson)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

constexpr size_t flows_per_round = 2000;

// A plug-in with one custom indicator matching every flow, reporting to the
// processor capture and to a sink of the given number of "full" channels.
std::string MatchConfig(int channels)
{
    json conf = {{"indicator_defaults", {{"criteria", {{"min_bytes", 0}}}}}};
    json sink_channels = json::object();
    for (int i = 0; i < channels; i++)
        sink_channels["c" + std::to_string(i)] = {{"flow_metadata", "full"}};
    json indicator = {{"indicator_driver", "custom"},
                      {"score", 50},
                      {"criteria", {{"flow_expr", "other_port == 443"}}},
                      {"attrs", {{"owner", "bench"}, {"site", "lab"}}},
                      {"proc_targets", {"capture"}}};
    if (channels > 0) {
        conf["sink_targets"]["siem"] = {{"sink", "sink-log"}, {"channels", sink_channels}};
        indicator["sink_targets"] = {"siem"};
    }
    conf["indicators"]["match"] = indicator;
    return conf.dump();
}

// Every flow matches; the time per flow is what a match costs through the
// worker, and the difference between channel counts what channels add. The
// argument is the number of "full" channels.
void BM_MatchToSinks(benchmark::State &state)
{
    BenchPluginHost host(MatchConfig(static_cast<int>(state.range(0))));
    std::vector<vdFlow::Ptr> flows;
    for (size_t i = 0; i < flows_per_round; i++) {
        auto flow = MakeFlow();
        flow->digest = i + 1;
        flow->digest_prev.clear();
        flows.push_back(flow);
    }

    // The first round loads the configuration; it is not measured.
    uint64_t expected = 0;
    auto round = [&] {
        for (auto &flow : flows)
            host.Hand(flow);
        expected += flows.size();
        host.WaitForRecords(expected);
    };
    round();

    for (auto _ : state)
        round();

    const double matches = static_cast<double>(state.iterations() * flows.size());
    state.counters["time/match"] = benchmark::Counter(
        matches, benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_MatchToSinks)
    ->ArgName("full_channels")
    ->Arg(0)
    ->Arg(1)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
