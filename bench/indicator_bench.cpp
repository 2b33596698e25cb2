// The worker's per-indicator cost of one FLOW event: the filter without and
// with a flow expression, and a custom indicator's ProcessFlow.
#include <benchmark/benchmark.h>

#include <deque>
#include <memory>
#include <string>

#include "indicators/driver_registry.h"
#include "indicators/indicator.h"

namespace {

using vppEventQueue::Event;
using vppIndicator::Driver;

// A TLS flow that passes every filter of the indicators below.
vdFlow::Ptr MakeFlow()
{
    auto flow = std::make_shared<vdFlow>();
    flow->digest = 0x0123456789abcdef;
    flow->detected_protocol = vdProto::TLS;
    flow->host_server_name = "www.example.com";
    flow->other_type = vdFlow::other_remote;
    flow->stats.total_bytes = 4096;
    flow->iface = std::make_shared<vdInterface>();
    flow->iface->role = vdInterface::wan;
    return flow;
}

Event MakeFlowEvent(const vdFlow::Ptr &flow)
{
    Event event;
    event.event = vdPluginProcessor::dpi_complete;
    event.flow = flow;
    return event;
}

std::shared_ptr<vppIndicator::Base> MakeIndicator(const vppEventQueue::Queue::Ptr &queue, Driver driver,
                                                  const std::string &conf)
{
    return vppIndicator::FindCreateFunction(driver)(queue, driver, "bench", 0, json::parse(conf), json::object());
}

const char *criteria_conf = R"({"criteria": {"min_bytes": 100, "trigger_on_east_west": false}})";
const char *expression_conf = R"({"criteria": {"min_bytes": 100,
    "flow_expr": "detected_protocol == 91 && host_server_name == 'www.example.com'"}, "score": 50})";

void BM_FilteredWithoutExpression(benchmark::State &state)
{
    auto queue = vppEventQueue::Queue::Create("event_queue");
    auto indicator = MakeIndicator(queue, Driver::tor_exit, criteria_conf);
    const Event event = MakeFlowEvent(MakeFlow());
    for (auto _ : state)
        benchmark::DoNotOptimize(indicator->Filtered(event, false));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilteredWithoutExpression);

void BM_FilteredWithExpression(benchmark::State &state)
{
    auto queue = vppEventQueue::Queue::Create("event_queue");
    auto indicator = MakeIndicator(queue, Driver::custom, expression_conf);
    const Event event = MakeFlowEvent(MakeFlow());
    for (auto _ : state)
        benchmark::DoNotOptimize(indicator->Filtered(event, false));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilteredWithExpression);

// The worker's own copy of the event, the driver's entry, its completion
// and the INTEL push; the queue is drained every few thousand events, which
// is counted in the time, as the worker's batches are.
void BM_ProcessFlowCustom(benchmark::State &state)
{
    auto queue = vppEventQueue::Queue::Create("event_queue");
    auto indicator = MakeIndicator(queue, Driver::custom, expression_conf);
    const Event event = MakeFlowEvent(MakeFlow());
    std::deque<Event> batch;
    size_t processed = 0;
    for (auto _ : state) {
        auto copy = std::make_shared<Event>(Event::FLOW, event, indicator->tag);
        indicator->ProcessFlow(copy);
        if (++processed % 4096 == 0) {
            batch.clear();
            queue->Pop(batch, 0);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessFlowCustom);

}  // namespace

BENCHMARK_MAIN();
