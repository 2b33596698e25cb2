#include "soak/flow_traffic.h"

#include <chrono>
#include <random>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// A producer that falls this far behind its pace starts afresh rather than
// bursting to catch up.
constexpr auto max_lag = std::chrono::milliseconds(200);
// One hand-in in this many is a flow map, of up to this many flows.
constexpr uint64_t map_interval = 8;
constexpr size_t max_map_flows = 24;
// The rewriter's pace: a short rest after this many rewrites.
constexpr uint64_t rewrites_per_rest = 64;
constexpr auto rewrite_rest = std::chrono::microseconds(200);

}  // namespace

void HandInGate::Enter()
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return !paused; });
    active++;
}

void HandInGate::Leave()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        active--;
    }
    changed.notify_all();
}

void HandInGate::Pause()
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return !paused; });
    paused = true;
    changed.wait(guard, [&] { return active == 0; });
}

void HandInGate::Resume()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        paused = false;
    }
    changed.notify_all();
}

FlowTraffic::FlowTraffic(IntelLedger &ledger, Settings settings) : ledger(ledger), settings(settings)
{
    recent.resize(recent_flows);
}

FlowTraffic::~FlowTraffic()
{
    Stop();
}

void FlowTraffic::Start(vdPluginProcessor &target)
{
    plugin = &target;
    stopping = false;
    stop_begun = false;
    for (size_t producer = 0; producer < settings.producers; producer++)
        threads.emplace_back([this, producer] { Produce(producer); });
    threads.emplace_back([this] { Rewrite(); });
}

void FlowTraffic::BeginStop()
{
    gate.Pause();
    stop_begun = true;
    gate.Resume();
}

void FlowTraffic::Stop()
{
    stopping = true;
    for (auto &thread : threads)
        thread.join();
    threads.clear();
    plugin = nullptr;
    // The flows stay with the host until it lets them go: here, at the end
    // of the run.
    std::lock_guard<std::mutex> guard(recent_lock);
    for (auto &flow : recent)
        flow.reset();
}

FlowTraffic::Figures FlowTraffic::Counts() const
{
    Figures figures;
    figures.flows = flows.load();
    figures.maps = maps.load();
    figures.in_maps = in_maps.load();
    figures.after_stop = after_stop.load();
    figures.mutations = mutations.load();
    return figures;
}

void FlowTraffic::Produce(size_t producer)
{
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(settings.producers) / settings.flows_per_second));
    auto next = Clock::now();
    for (uint64_t turn = producer; !stopping; turn++) {
        // The backlog bound: the queue drains well within a stop.
        if (!ledger.WaitOutstandingAtMost(settings.backlog_cap, std::chrono::milliseconds(100)))
            continue;
        const bool as_map = turn % map_interval == 0;
        const size_t count = as_map ? 1 + turn % max_map_flows : 1;
        const uint64_t first = next_seq.fetch_add(count);
        if (as_map)
            HandInMap(first, count);
        else
            HandInSingle(first);

        next += interval * count;
        const auto now = Clock::now();
        if (now - next > max_lag)
            next = now;
        std::this_thread::sleep_until(next);
    }
}

void FlowTraffic::Record(const FlowPlan &plan, bool in_map)
{
    // Inside the gate: the stop cannot begin between this and the hand-in.
    // After it began the flow is owed nothing, but may still be reported.
    const uint8_t mask = plan.OwedMask(in_map);
    ledger.Owe(plan.seq, stop_begun ? 0 : mask, mask);
}

void FlowTraffic::HandInSingle(uint64_t seq)
{
    const FlowPlan plan = FlowPlan::For(seq, settings.probes);
    vdFlow::Ptr flow = plan.Build();
    gate.Enter();
    Record(plan, false);
    if (stop_begun)
        after_stop++;
    plugin->DispatchProcessorEvent(plan.code, flow);
    gate.Leave();
    flows++;
    Remember(flow);
}

void FlowTraffic::HandInMap(uint64_t first_seq, size_t count)
{
    // Buckets from one to a few, whatever the count.
    vdFlowMap map(1 + first_seq % 5);
    std::vector<FlowPlan> plans;
    std::vector<vdFlow::Ptr> built;
    for (uint64_t seq = first_seq; seq < first_seq + count; seq++) {
        plans.push_back(FlowPlan::For(seq, settings.probes));
        // A map is handed in with one event code for all its flows.
        plans.back().code = vdPluginProcessor::dpi_complete;
        built.push_back(plans.back().Build());
        map.Insert(built.back());
    }
    gate.Enter();
    for (const FlowPlan &plan : plans)
        Record(plan, true);
    if (stop_begun)
        after_stop += count;
    plugin->DispatchProcessorEvent(vdPluginProcessor::dpi_complete, &map);
    gate.Leave();
    flows += count;
    in_maps += count;
    maps++;
    for (auto &flow : built)
        Remember(flow);
}

void FlowTraffic::Remember(const vdFlow::Ptr &flow)
{
    std::lock_guard<std::mutex> guard(recent_lock);
    recent[recent_next] = flow;
    recent_next = (recent_next + 1) % recent.size();
}

void FlowTraffic::Rewrite()
{
    std::minstd_rand random(12345);
    for (uint64_t turn = 1; !stopping; turn++) {
        vdFlow::Ptr flow;
        {
            std::lock_guard<std::mutex> guard(recent_lock);
            flow = recent[random() % recent.size()];
        }
        if (flow) {
            // Fields the indicators read, never the marker (ports, protocol):
            // names longer than any in-place string buffer, so a racing read
            // would touch freed text.
            const std::string suffix = std::to_string(turn) + ".soak-updates.localhost";
            std::lock_guard<std::recursive_mutex> guard(flow->lock);
            flow->stats.total_bytes = 1000 + turn;
            flow->stats.total_packets = 10 + static_cast<uint32_t>(turn % 1000);
            flow->host_server_name = "host-" + suffix;
            flow->dns_host_name = "dns-" + suffix;
            flow->iface = std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan});
            mutations++;
        }
        if (turn % rewrites_per_rest == 0)
            std::this_thread::sleep_for(rewrite_rest);
    }
}
