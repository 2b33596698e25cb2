// 50 feed-backed indicators, as the worker runs them: Tor exit, relay and bridge and VPN server
// indicators on one signature feed, each with an intel cache keyed by the other side's address,
// over generated ip_list sets of 100k IPv4 prefixes (bench/support/prefix_gen.h).
// Goals, with the 50 indicators configured (the signature feed's and the intel cache's own):
// - a signature lookup as a driver asks it (IPv4 longest match through the feed) at most
//   150 ns;
// - an intel cache's key plus lookup well under a microsecond.
// The worker's whole batch step over flows none of them matches is measured beside them
// (flows/s, and per indicator and flow). A loaded machine inflates real time: judge by CPU time.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/plugin.h"
#include "feeds/signatures/velbor_api.h"
#include "indicators/cache/intel_cache.h"
#include "support/prefix_gen.h"
#include "support/signature_gen.h"
#include "support/signature_offer.h"
#include "vd_api.h"
#include "vd_config.h"

namespace {

constexpr int indicator_count = 50;
constexpr size_t prefix_count = 100000;
constexpr size_t probe_count = 4096;
constexpr size_t flows_per_batch = 1024;
constexpr const char *drivers[] = {"tor_exit", "tor_relay", "tor_bridge", "vpn_server_consumer"};

// The plug-in with its worker-side state open, run on this thread without a worker.
class WorkerProbe : public vppPlugin
{
public:
    using vppPlugin::data_feeds;
    using vppPlugin::indicators;
    using vppPlugin::ProcessBatch;
    using vppPlugin::queue;
    using vppPlugin::vppPlugin;
};

std::string Config(const std::string &dir)
{
    json conf = {{"data_feeds", {{"velbor_api", {{"data_path", dir + "/legacy.json"}}}}}};
    for (int i = 0; i < indicator_count; i++) {
        conf["indicators"]["i" + std::to_string(i)] = {
            {"indicator_driver", drivers[i % std::size(drivers)]},
            {"data_feeds", {"velbor_api"}},
            {"proc_targets", {"capture"}},
            {"cache", {{"flow_keys", {"other_ip"}}, {"max_size", 10000}}},
        };
    }
    return conf.dump();
}

vdFlow::Ptr Flow(uint64_t digest, const std::string &other_address, const std::string &local_address = "10.0.0.1")
{
    auto flow = std::make_shared<vdFlow>();
    flow->digest = digest;
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    vdAddr::Create(flow->lower_addr, local_address, 40000);
    vdAddr::Create(flow->upper_addr, other_address, 443);
    flow->lower_map = 1;
    flow->other_type = vdFlow::other_remote;
    flow->stats.total_bytes = 4096;
    return flow;
}

// The host stand-in offering one ip_list file under every driver's tag, the plug-in loaded
// from its configuration, and flows: probes (half inside listed prefixes) and misses.
class Setup
{
public:
    Setup()
    {
        char pattern[] = "/tmp/feed-indicators-bench-XXXXXX";
        dir = mkdtemp(pattern);
        config.path_plugin_state = dir;
        vd_log_set_sink([](vdLogLevel, const std::string &) {});
        Offer();
        std::ofstream(dir + "/intel.json") << Config(dir);
        worker = std::make_unique<WorkerProbe>(
            "bench", std::map<std::string, std::string>{{"conf_filename", dir + "/intel.json"}});
        worker->Reload();
        for (size_t i = 0; i < probes.size(); i++)
            probe_flows.push_back(Flow(i + 1, probes[i]));
        // Addresses no listed prefix holds, on both sides.
        for (size_t i = 0; i < flows_per_batch; i++)
            miss_flows.push_back(Flow(probe_count + i + 1, unlisted[i % unlisted.size()], unlisted[0]));
        // Each set loads on its first lookup: not measured.
        for (const auto &[name, indicator] : worker->indicators)
            Lookup(*indicator, probe_flows[0]);
    }

    ~Setup()
    {
        worker.reset();
        vd_log_set_sink(nullptr);
        std::filesystem::remove_all(dir);
    }

    // The lookup a feed-lookup driver makes: each of its feeds, its driver's data set.
    static bool Lookup(const vppIndicator::Base &indicator, const vdFlow::Ptr &flow)
    {
        bool found = false;
        const std::string driver = indicator.GetDriverName();
        for (const auto &[name, feed] : indicator.data_feeds) {
            vppIntel::Entry entry;
            found |= feed->Lookup(flow, entry, driver);
        }
        return found;
    }

    std::string dir;
    vdGlobalConfig config;
    vdInstance instance;
    std::vector<std::string> probes;
    std::vector<bool> listed;  // per probe
    std::vector<std::string> unlisted;
    std::vector<vdFlow::Ptr> probe_flows;
    std::vector<vdFlow::Ptr> miss_flows;
    std::unique_ptr<WorkerProbe> worker;

private:
    void Offer()
    {
        prefix_gen::Options options;
        options.prefix_count = prefix_count;
        options.ipv4_share = 1.0;
        options.probe_count = probe_count;
        prefix_gen::PrefixSet set = prefix_gen::Generate(options);
        for (const auto &probe : set.probes) {
            probes.push_back(probe.address);
            listed.push_back(!probe.expected.empty());
            if (probe.expected.empty())
                unlisted.push_back(probe.address);
        }
        const std::string path = dir + "/prefixes.dat";
        signature_gen::WriteFile(path, signature_gen::PrefixListText(set, 40, 12));

        std::map<std::string, std::string> paths_by_tag;
        for (const char *tag : drivers)
            paths_by_tag[tag] = path;
        signature_offer::Offer(instance, paths_by_tag);
    }
};

Setup &Shared()
{
    static Setup setup;
    return setup;
}

void PerIndicator(benchmark::State &state, const char *counter)
{
    state.SetItemsProcessed(state.iterations() * indicator_count);
    state.counters[counter] = benchmark::Counter(double(state.iterations() * indicator_count),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every indicator's signature lookup for one flow; flows cycle through the probes.
void BM_SignatureLookupOf50Indicators(benchmark::State &state)
{
    Setup &setup = Shared();
    size_t next = 0;
    for (auto _ : state) {
        const vdFlow::Ptr &flow = setup.probe_flows[next++ % setup.probe_flows.size()];
        for (const auto &[name, indicator] : setup.worker->indicators)
            benchmark::DoNotOptimize(Setup::Lookup(*indicator, flow));
    }
    PerIndicator(state, "s/lookup");
}
BENCHMARK(BM_SignatureLookupOf50Indicators);

// Every indicator's cache key and lookup for one flow; the listed probes (half) are cached, so
// that the worker's flows below stay misses.
void BM_CacheKeyAndLookupOf50Indicators(benchmark::State &state)
{
    Setup &setup = Shared();
    for (const auto &[name, indicator] : setup.worker->indicators) {
        vppIntel::Entry entry;
        entry.indicator = name;
        entry.score = 40;
        for (size_t i = 0; i < setup.probe_flows.size(); i++)
            if (setup.listed[i])
                indicator->cache->Insert(setup.probe_flows[i], entry);
    }
    size_t next = 0;
    vppIntel::Entry out;
    for (auto _ : state) {
        const vdFlow::Ptr &flow = setup.probe_flows[next++ % setup.probe_flows.size()];
        for (const auto &[name, indicator] : setup.worker->indicators)
            benchmark::DoNotOptimize(indicator->cache->Lookup(flow, out));
    }
    PerIndicator(state, "s/key+lookup");
}
BENCHMARK(BM_CacheKeyAndLookupOf50Indicators);

// The worker's batch step: filter, cache, the driver's feed lookup, per indicator and flow;
// no flow matches. Building the batch is not measured.
void BM_WorkerBatchOf50FeedIndicators(benchmark::State &state)
{
    Setup &setup = Shared();
    std::vector<vppEventQueue::Event> batch;
    size_t queued = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // What the batch queued (intel, lookups) is the next batch's work: counted, dropped.
        queued += setup.worker->queue->Pop(batch, 0);
        batch.clear();
        for (const auto &flow : setup.miss_flows) {
            vppEventQueue::Event event;
            event.event = vdPluginProcessor::dpi_complete;
            event.flow = flow;
            batch.push_back(std::move(event));
        }
        state.ResumeTiming();
        setup.worker->ProcessBatch(batch);
    }
    queued += setup.worker->queue->Pop(batch, 0);
    const double flows = double(state.iterations() * flows_per_batch);
    // 0 when no indicator matched, as intended.
    state.counters["queued/flow"] = double(queued) / flows;
    state.counters["flows/s"] = benchmark::Counter(flows, benchmark::Counter::kIsRate);
    state.counters["s/indicator-flow"] =
        benchmark::Counter(flows * indicator_count, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WorkerBatchOf50FeedIndicators)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
