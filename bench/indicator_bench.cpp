// The worker's per-indicator cost of one FLOW event: the filter without and
// with a flow expression, and a custom indicator's ProcessFlow. Then the
// filter of 50 custom indicators per flow, nothing matching, three ways in
// the same run: the previous worker's (the baseline: each indicator filtered
// twice, its expression found by its text), the worker's now (filtered once
// under one hold of the flow's lock, compiled expressions), and a
// hand-written C++ predicate doing the same comparisons. Goals: the worker's
// way at least 3x the previous one's flows per second; per indicator and
// flow within 5x of the hand-written predicate.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/filter_verdicts.h"
#include "indicators/driver_registry.h"
#include "indicators/indicator.h"
#include "support/remote_flow.h"

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
    std::vector<Event> batch;
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

// ---- 50 custom indicators, nothing matching --------------------------------

constexpr int fifty = 50;
constexpr uint16_t first_port = 10000;
// The worker's verdicts grow over a batch and go with it.
constexpr size_t flows_per_batch = 1024;

// As plugin_bench's indicators: "other_port == <port>", one port each; the
// flows below go to port 443, so that every filter but the expression passes.
std::string PortConf(int i)
{
    return R"({"criteria": {"min_bytes": 100, "flow_expr": "other_port == )" + std::to_string(first_port + i) + "\"}}";
}

const vdFlowParser::Variables no_variables;

// The previous worker's filter of one indicator: its event filter a hash
// set, the flow's lock taken per call, the compiled expression found by its
// text in the shared parser's cache.
class PreviousFilter
{
public:
    explicit PreviousFilter(const vppIndicator::Base &indicator) : indicator(indicator)
    {
        for (unsigned code = 0; code <= vdPluginProcessor::status_update; code++) {
            auto event = static_cast<vdPluginProcessor::Event>(code);
            if (indicator.event_filter.Contains(event))
                events.insert(event);
        }
    }

    bool Filtered(const Event &ev, bool log) const
    {
        // As before, the host configuration read for the evaluation's pass.
        bool logging = log && vdGlobalConfig::GetInstance().verbosity >= 2;
        benchmark::DoNotOptimize(logging);
        if (events.find(ev.event) == events.end() || !ev.flow)
            return true;
        const vdFlow &flow = *ev.flow;
        const vppCriteria &criteria = indicator.criteria;
        std::lock_guard<std::recursive_mutex> guard(flow.lock);
        if (flow.stats.total_bytes < criteria.min_bytes)
            return true;
        if (flow.other_type == vdFlow::other_local && !criteria.trigger_on_east_west)
            return true;
        if (flow.iface && flow.iface->role == vdInterface::wan && !criteria.trigger_on_wan)
            return true;
        try {
            return !criteria.flow_expr.empty() &&
                   !vppIndicator::Base::FlowExpr->Parse(ev.flow, no_variables, criteria.flow_expr);
        } catch (const std::exception &) {
            return true;
        }
    }

private:
    const vppIndicator::Base &indicator;
    std::unordered_set<vdPluginProcessor::Event> events;
};

// The same comparisons written by hand: code, bytes, triggers and port.
struct HandFilter {
    uint32_t codes;
    uint64_t min_bytes;
    bool east_west;
    bool wan;
    uint16_t other_port;

    bool Passes(vdPluginProcessor::Event code, const vdFlow &flow) const
    {
        const vdAddr &other = flow.lower_map == 2 ? flow.lower_addr : flow.upper_addr;
        return (codes >> code & 1) != 0 && flow.stats.total_bytes >= min_bytes &&
               (east_west || flow.other_type != vdFlow::other_local) &&
               (wan || !flow.iface || flow.iface->role != vdInterface::wan) && other.GetPort() == other_port;
    }
};

struct FiftyIndicators {
    FiftyIndicators()
    {
        for (int i = 0; i < fifty; i++) {
            std::string name = "i" + std::to_string(i);
            auto indicator = vppIndicator::FindCreateFunction(Driver::custom)(queue, Driver::custom, name, 0,
                                                                              json::parse(PortConf(i)), json::object());
            previous.emplace_back(*indicator);
            hand.push_back({1u << vdPluginProcessor::dpi_complete, indicator->criteria.min_bytes,
                            indicator->criteria.trigger_on_east_west, indicator->criteria.trigger_on_wan,
                            static_cast<uint16_t>(first_port + i)});
            indicators.emplace_back(name, std::move(indicator));
        }
        event.flow = BenchRemoteFlow(0x0123456789abcdef, 443);
    }

    vdGlobalConfig config;
    vppEventQueue::Queue::Ptr queue = vppEventQueue::Queue::Create("event_queue");
    vppWorker::FilterVerdicts::Indicators indicators;
    std::vector<PreviousFilter> previous;
    std::vector<HandFilter> hand;
    Event event = MakeFlowEvent(nullptr);
};

void SetPerIndicator(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations() * fifty);
    state.counters["flows/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// The previous worker: the lookups' pass counts and filters each indicator,
// the evaluation's pass filters each again.
void BM_FiftyIndicatorsPrevious(benchmark::State &state)
{
    FiftyIndicators set;
    const Event &event = set.event;
    for (auto _ : state) {
        for (size_t i = 0; i < set.indicators.size(); i++) {
            set.indicators[i].second->stats.flows_evaluated.Add();
            benchmark::DoNotOptimize(set.previous[i].Filtered(event, false));
        }
        for (size_t i = 0; i < set.indicators.size(); i++) {
            if (!event.Read().cached_indicators.empty() &&
                event.Read().cached_indicators.count(set.indicators[i].first) != 0)
                continue;
            benchmark::DoNotOptimize(set.previous[i].Filtered(event, true));
        }
    }
    SetPerIndicator(state);
}
BENCHMARK(BM_FiftyIndicatorsPrevious);

// The worker now: the lookups' pass takes the verdicts and counts, the
// evaluation's pass reads them back.
void BM_FiftyIndicatorsOnce(benchmark::State &state)
{
    FiftyIndicators set;
    const Event &event = set.event;
    auto verdicts = std::make_unique<vppWorker::FilterVerdicts>();
    size_t flows = 0;
    for (auto _ : state) {
        if (++flows % flows_per_batch == 0)
            verdicts = std::make_unique<vppWorker::FilterVerdicts>();
        auto taken = verdicts->Take(event, set.indicators, false);
        for (size_t i = 0; i < set.indicators.size(); i++) {
            set.indicators[i].second->stats.flows_evaluated.Add();
            benchmark::DoNotOptimize(taken.Passed(i));
        }
        auto again = verdicts->Next(event);
        for (size_t i = 0; i < set.indicators.size(); i++) {
            if (!event.Read().cached_indicators.empty() &&
                event.Read().cached_indicators.count(set.indicators[i].first) != 0)
                continue;
            benchmark::DoNotOptimize(again.Passed(i));
        }
    }
    SetPerIndicator(state);
}
BENCHMARK(BM_FiftyIndicatorsOnce);

// The filter alone, for the comparison with the hand-written predicate.
void BM_FiftyFiltersTaken(benchmark::State &state)
{
    FiftyIndicators set;
    auto verdicts = std::make_unique<vppWorker::FilterVerdicts>();
    size_t flows = 0;
    for (auto _ : state) {
        if (++flows % flows_per_batch == 0)
            verdicts = std::make_unique<vppWorker::FilterVerdicts>();
        benchmark::DoNotOptimize(verdicts->Take(set.event, set.indicators, false));
    }
    SetPerIndicator(state);
}
BENCHMARK(BM_FiftyFiltersTaken);

void BM_FiftyFiltersByHand(benchmark::State &state)
{
    FiftyIndicators set;
    const Event &event = set.event;
    std::vector<bool> passed;
    size_t flows = 0;
    for (auto _ : state) {
        if (++flows % flows_per_batch == 0)
            passed = std::vector<bool>();
        std::lock_guard<std::recursive_mutex> guard(event.flow->lock);
        for (const HandFilter &filter : set.hand)
            passed.push_back(filter.Passes(event.event, *event.flow));
    }
    benchmark::DoNotOptimize(passed);
    SetPerIndicator(state);
}
BENCHMARK(BM_FiftyFiltersByHand);

}  // namespace

BENCHMARK_MAIN();
