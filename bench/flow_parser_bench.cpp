// Cost of evaluating a cached flow expression of four comparisons.
#include <benchmark/benchmark.h>

#include "velbord.h"

namespace {

const char *const sample_expression =
    "ip_protocol == 6 && local_port == 51000 && other_ip == 203.0.113.0/24 && host_server_name != ''";

vdFlow::Ptr MakeFlow()
{
    auto flow = std::make_shared<vdFlow>();
    vdAddr::Create(flow->lower_addr, "192.168.1.10", 51000);
    vdAddr::Create(flow->upper_addr, "203.0.113.5", 443);
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    flow->host_server_name = "www.example.com";
    return flow;
}

void EvaluateCached(benchmark::State &state, vdFlowParser &parser, const vdFlowParser::Variables &variables)
{
    auto flow = MakeFlow();
    const std::string expression = sample_expression;
    if (!parser.Parse(flow, variables, expression)) {
        state.SkipWithError("the expression does not match the flow");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(parser.Parse(flow, variables, expression));
}

void BM_FlowParserCached(benchmark::State &state)
{
    vdFlowParser parser;
    EvaluateCached(state, parser, {});
}

// Each field name is first looked up among the variables.
void BM_FlowParserCachedWithVariables(benchmark::State &state)
{
    vdFlowParser parser;
    EvaluateCached(state, parser, {{"site", "lab"}, {"uplink", "wan0"}});
}

// One parser shared by the threads, as a plug-in's workers share it.
void BM_FlowParserCachedShared(benchmark::State &state)
{
    static vdFlowParser parser;
    EvaluateCached(state, parser, {});
}

}  // namespace

BENCHMARK(BM_FlowParserCached);
BENCHMARK(BM_FlowParserCachedWithVariables);
BENCHMARK(BM_FlowParserCachedShared)->Threads(1)->Threads(4)->Threads(8);

BENCHMARK_MAIN();
