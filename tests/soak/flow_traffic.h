// The host's packet side for the soak: producer threads handing flows in,
// alone and in flow maps, at a paced rate with a bounded backlog, and a
// thread rewriting recently handed-in flows under their lock, as the host's
// packet threads do.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "soak/flow_plan.h"
#include "soak/intel_ledger.h"
#include "vd_plugin.h"

// Holds hand-ins back while a caller needs the plug-in quiet: Pause waits
// for the hand-ins in progress, Resume lets them go on.
class HandInGate
{
public:
    void Enter();
    void Leave();
    void Pause();
    void Resume();

private:
    std::mutex lock;
    std::condition_variable changed;
    bool paused = false;
    size_t active = 0;
};

class FlowTraffic
{
public:
    struct Settings {
        size_t producers = 4;
        double flows_per_second = 20000;
        // Owed intel entries not yet delivered before producers wait.
        uint64_t backlog_cap = 5000;
        ProbeTargets probes;
    };

    struct Figures {
        uint64_t flows = 0;        // handed in, owed or not
        uint64_t maps = 0;         // flow maps handed in
        uint64_t in_maps = 0;      // flows in them
        uint64_t after_stop = 0;   // handed in after the stop began: not owed
        uint64_t mutations = 0;
    };

    FlowTraffic(IntelLedger &ledger, Settings settings);
    ~FlowTraffic();

    // Starts the producers and the rewriter on plugin.
    void Start(vdPluginProcessor &plugin);
    // From now on nothing handed in is owed; returns once every owed
    // hand-in has returned.
    void BeginStop();
    // Stops and joins the threads; the plug-in is not called afterwards.
    void Stop();

    HandInGate &Gate() { return gate; }
    Figures Counts() const;

private:
    void Produce(size_t producer);
    void HandInSingle(uint64_t seq);
    void HandInMap(uint64_t first_seq, size_t count);
    // Records the flow in the ledger; call inside the gate.
    void Record(const FlowPlan &plan, bool in_map);
    void Remember(const vdFlow::Ptr &flow);
    void Rewrite();

    IntelLedger &ledger;
    const Settings settings;
    vdPluginProcessor *plugin = nullptr;
    HandInGate gate;
    std::atomic<bool> stopping{false};
    std::atomic<bool> stop_begun{false};
    std::atomic<uint64_t> next_seq{1};
    std::atomic<uint64_t> flows{0};
    std::atomic<uint64_t> maps{0};
    std::atomic<uint64_t> in_maps{0};
    std::atomic<uint64_t> after_stop{0};
    std::atomic<uint64_t> mutations{0};
    std::vector<std::thread> threads;

    // Recently handed-in flows, for the rewriter.
    static constexpr size_t recent_flows = 8192;
    std::mutex recent_lock;
    std::vector<vdFlow::Ptr> recent;
    size_t recent_next = 0;
};
