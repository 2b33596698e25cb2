// End to end through the plug-in: flows handed in with DispatchProcessorEvent
// until the host's processor capture has received their intel, with 1, 10
// and 50 custom indicators, about a tenth of the flows matching one of them,
// and with none matching. Then the worker alone: its batch step over flows
// already taken from the queue, none matching. The file builds against the
// previous commit too, so that both can be run side by side.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/plugin.h"
#include "support/plugin_host.h"
#include "support/remote_flow.h"

namespace {

constexpr size_t flows_per_round = 10000;
constexpr uint16_t first_port = 10000;

std::string Config(int indicators)
{
    json conf = {{"indicator_defaults", {{"criteria", {{"min_bytes", 0}}}}}};
    for (int i = 0; i < indicators; i++) {
        conf["indicators"]["i" + std::to_string(i)] = {
            {"indicator_driver", "custom"},
            {"score", 50},
            {"criteria", {{"flow_expr", "other_port == " + std::to_string(first_port + i)}}},
            {"proc_targets", {"capture"}},
        };
    }
    return conf.dump();
}

// Arguments: indicators, and whether a tenth of the flows match. Without
// matches each round ends with one flow that matches, so that the round's
// end can be seen.
void BM_FlowsToProcessorCapture(benchmark::State &state)
{
    const int indicators = static_cast<int>(state.range(0));
    const bool matching = state.range(1) != 0;
    BenchPluginHost host(Config(indicators));

    std::vector<vdFlow::Ptr> flows;
    uint64_t matches_per_round = 0;
    for (size_t i = 0; i < flows_per_round; i++) {
        bool match = matching && i % 10 == 0;
        uint16_t port = match ? static_cast<uint16_t>(first_port + (i / 10) % indicators) : 443;
        flows.push_back(BenchRemoteFlow(i + 1, port));
        matches_per_round += match;
    }
    if (!matching) {
        flows.push_back(BenchRemoteFlow(flows_per_round + 1, first_port));
        matches_per_round = 1;
    }

    // The first round loads the configuration; it is not measured.
    uint64_t expected = 0;
    auto round = [&] {
        for (auto &flow : flows)
            host.Hand(flow);
        expected += matches_per_round;
        host.WaitForRecords(expected);
    };
    round();

    for (auto _ : state)
        round();

    const double handed = static_cast<double>(state.iterations() * flows.size());
    state.counters["flows/s"] = benchmark::Counter(handed, benchmark::Counter::kIsRate);
    state.counters["pairs/s"] = benchmark::Counter(handed * indicators, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_FlowsToProcessorCapture)
    ->ArgNames({"indicators", "matching"})
    ->ArgsProduct({{1, 10, 50}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The plug-in with its batch step open, run on this thread without a worker.
class WorkerProbe : public vppPlugin
{
public:
    using vppPlugin::ProcessBatch;
    using vppPlugin::vppPlugin;
};

// Argument: indicators. Each iteration is one batch of flows_per_batch FLOW
// events; building the batch is not measured.
void BM_WorkerBatchNothingMatching(benchmark::State &state)
{
    constexpr size_t flows_per_batch = 1024;
    const int indicators = static_cast<int>(state.range(0));
    char pattern[] = "/tmp/plugin-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::ofstream(dir + "/intel.json") << Config(indicators);
    vdGlobalConfig config;
    config.path_plugin_state = dir;
    vdInstance instance;
    vd_log_set_sink([](vdLogLevel, const std::string &) {});
    {
        WorkerProbe worker("bench", std::map<std::string, std::string>{{"conf_filename", dir + "/intel.json"}});
        worker.Reload();

        std::vector<vdFlow::Ptr> flows;
        for (size_t i = 0; i < flows_per_batch; i++)
            flows.push_back(BenchRemoteFlow(i + 1, 443));
        std::vector<vppEventQueue::Event> batch;
        for (auto _ : state) {
            state.PauseTiming();
            for (const auto &flow : flows) {
                vppEventQueue::Event event;
                event.event = vdPluginProcessor::dpi_complete;
                event.flow = flow;
                batch.push_back(std::move(event));
            }
            state.ResumeTiming();
            worker.ProcessBatch(batch);
        }
        const double handled = static_cast<double>(state.iterations() * flows_per_batch);
        state.counters["flows/s"] = benchmark::Counter(handled, benchmark::Counter::kIsRate);
        state.counters["pairs/s"] = benchmark::Counter(handled * indicators, benchmark::Counter::kIsRate);
    }
    vd_log_set_sink(nullptr);
    std::filesystem::remove_all(dir);
}

BENCHMARK(BM_WorkerBatchNothingMatching)->ArgName("indicators")->Arg(1)->Arg(10)->Arg(50)->Arg(200);

}  // namespace

BENCHMARK_MAIN();
