// Cost of encoding one flow at each metadata level, and of one sink channel
// dispatch (encode, envelope, host hand-off) into a sink that does nothing.
#include <benchmark/benchmark.h>

#include "common/flow_encoder.h"
#include "core/sink.h"
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

}  // namespace

BENCHMARK_MAIN();
