// The encrypted-DNS prober's costs, each beside a baseline in the same run.
// Goals: the worker's ProcessFlow stays under a microsecond per flow with
// 1k positive and 10k negative servers listed while the prober thread is
// stalled on a slow server (baseline: the two list lookups alone); probes
// against the loopback DoH server reuse one TLS connection per server (two
// routes: one handshake; baseline: a fresh handle per probe); the lists'
// files of 10k rows load and save in a few milliseconds (baseline: the
// text alone, without the file).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "indicators/drivers/doh/prober.h"
#include "support/doh_server.h"
#include "support/stalled_server.h"
#include "vd_config.h"

namespace {

constexpr int positive_servers = 1000;
constexpr int negative_servers = 10000;
constexpr int list_rows = 10000;

// A host whose state directory is a fresh temporary one.
struct Host {
    Host()
    {
        char pattern[] = "/tmp/doh-bench-XXXXXX";
        directory = mkdtemp(pattern);
        config.variables["path_state_persistent"] = directory;
        vd_log_set_sink([](vdLogLevel, const std::string &) {});
        for (const char *name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            unsetenv(name);
    }
    ~Host()
    {
        vd_log_set_sink(nullptr);
        std::filesystem::remove_all(directory);
    }
    vdGlobalConfig config;
    std::string directory;
};

vdFlow::Ptr TlsFlow(const std::string &server, uint16_t port)
{
    auto flow = std::make_shared<vdFlow>();
    vdAddr::Create(flow->lower_addr, "127.0.0.1", 50000);
    vdAddr::Create(flow->upper_addr, server, port);
    flow->ip_version = 4;
    flow->origin = 1;
    flow->master_protocol = vdProto::TLS;
    return flow;
}

std::string ServerAddress(int n)
{
    return "10." + std::to_string(n >> 16 & 0xff) + "." + std::to_string(n >> 8 & 0xff) + "." +
           std::to_string(n & 0xff);
}

vpiDOHScannerFlowCacheEntry ServerEntry(int n)
{
    vpiDOHScannerFlowCacheEntry entry(TlsFlow(ServerAddress(n), 443));
    entry.url = "https://" + ServerAddress(n) + "/dns-query";
    return entry;
}

// The scanner with its lists filled, its thread stalled on one server, and
// events for flows to listed servers (every tenth a positive one).
struct ListedScanner {
    ListedScanner()
    {
        auto queue = vppEventQueue::Queue::Create("bench");
        scanner = vpiDOHScanner::Create(queue, "doh", 0, json::parse(R"({"timeout": 600, "max_queue": 1})"),
                                        json::object());
        for (int n = 0; n < positive_servers + negative_servers; n++) {
            vpiDOHScannerFlowCacheEntry entry = ServerEntry(n);
            if (n < positive_servers)
                scanner->Positive()->CacheInsert(entry.digest, entry, false);
            else
                scanner->Negative()->CacheInsert(entry.digest, true, false);
        }
        auto stall = std::make_shared<vppEventQueue::Event>();
        stall->flow = TlsFlow("127.0.0.1", stalled.port);
        scanner->ProcessFlow(stall);
        for (int n = 0; n < 1024; n++) {
            auto event = std::make_shared<vppEventQueue::Event>();
            const int server = n % 10 == 0 ? n % positive_servers : positive_servers + n * 7 % negative_servers;
            event->flow = TlsFlow(ServerAddress(server), 443);
            events.push_back(event);
        }
    }

    Host host;
    StalledServer stalled;
    std::shared_ptr<vpiDOHScanner> scanner;
    std::vector<std::shared_ptr<vppEventQueue::Event>> events;
};

void BM_WorkerProcessFlowListedServers(benchmark::State &state)
{
    ListedScanner listed;
    size_t i = 0;
    for (auto _ : state) {
        listed.scanner->ProcessFlow(listed.events[i++ & 1023]);
    }
    state.counters["cache_hit"] = static_cast<double>(listed.scanner->stats.cache_hit.Get());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WorkerProcessFlowListedServers);

// New servers while the queue is full (max_queue 1, held by the stall).
void BM_WorkerProcessFlowNewServersQueueFull(benchmark::State &state)
{
    ListedScanner listed;
    std::vector<std::shared_ptr<vppEventQueue::Event>> fresh;
    for (int n = 0; n < 1024; n++) {
        auto event = std::make_shared<vppEventQueue::Event>();
        event->flow = TlsFlow(ServerAddress(200000 + n), 443);
        fresh.push_back(event);
    }
    size_t i = 0;
    for (auto _ : state)
        listed.scanner->ProcessFlow(fresh[i++ & 1023]);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WorkerProcessFlowNewServersQueueFull);

// Baseline: the server's digest and the two list lookups alone.
void BM_BaselineListLookups(benchmark::State &state)
{
    ListedScanner listed;
    size_t i = 0;
    for (auto _ : state) {
        vpiDOHScannerFlowCacheEntry entry(listed.events[i++ & 1023]->flow);
        vpiDOHScannerFlowCacheEntry found;
        bool value = false;
        benchmark::DoNotOptimize(listed.scanner->Positive()->CacheLookup(entry.digest, found) ||
                                 listed.scanner->Negative()->CacheLookup(entry.digest, value));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineListLookups);

// Probes of the loopback DoH server: routes {"missing", "dns-query"}, the
// first answered 404. With one handle the connection is reused.
void Probe(benchmark::State &state, bool fresh_handle)
{
    Host host;
    DohTestServer server;
    server.Route(doh_path, DohRoute::Answer());
    server.Start();
    std::atomic<bool> stop{false};
    const std::vector<uint8_t> query = vpiDOHProbe::MakeQuery("bench", "example.com");
    auto probe = std::make_unique<vpiDOHProbe>("bench", query, std::vector<std::string>{"missing", "dns-query"}, 10,
                                               stop);
    vpiDOHScannerFlowCacheEntry entry(TlsFlow("127.0.0.1", server.Port()));
    int64_t detected = 0;
    for (auto _ : state) {
        if (fresh_handle)
            probe = std::make_unique<vpiDOHProbe>("bench", query, std::vector<std::string>{"missing", "dns-query"},
                                                  10, stop);
        detected += probe->Scan("", entry) == vpiDOHProbe::Result::detected;
    }
    state.counters["probes/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["handshakes/probe"] =
        static_cast<double>(server.Handshakes()) / static_cast<double>(state.iterations());
    state.counters["detected"] = static_cast<double>(detected) / static_cast<double>(state.iterations());
    probe.reset();
    server.Stop();
}

void BM_ProbeOneHandle(benchmark::State &state)
{
    Probe(state, false);
}
BENCHMARK(BM_ProbeOneHandle)->UseRealTime();

// Baseline: a new handle, so a new TLS handshake, for every probe; still one
// handshake for the two routes of a probe.
void BM_BaselineProbeFreshHandle(benchmark::State &state)
{
    Probe(state, true);
}
BENCHMARK(BM_BaselineProbeFreshHandle)->UseRealTime();

// Lists of 10k rows, saved to and loaded from their files.
std::string PositiveText()
{
    vpiDOHScannerFlowCache list(list_rows, "");
    for (int n = 0; n < list_rows; n++) {
        vpiDOHScannerFlowCacheEntry entry = ServerEntry(n);
        list.CacheInsert(entry.digest, entry, false);
    }
    return list.Render();
}

void BM_PositiveListSave(benchmark::State &state)
{
    Host host;
    vpiDOHScannerFlowCache list(list_rows, host.directory + "/positive.csv");
    list.Parse(PositiveText());
    for (auto _ : state)
        benchmark::DoNotOptimize(list.Save("doh-positive"));
    state.SetItemsProcessed(state.iterations() * list_rows);
}
BENCHMARK(BM_PositiveListSave)->UseRealTime();

void BM_PositiveListLoad(benchmark::State &state)
{
    Host host;
    const std::string path = host.directory + "/positive.csv";
    vpiDOHScannerFlowCache saved(list_rows, path);
    saved.Parse(PositiveText());
    saved.Save("doh-positive");
    for (auto _ : state) {
        vpiDOHScannerFlowCache list(list_rows, path);
        benchmark::DoNotOptimize(list.Load("doh-positive"));
    }
    state.SetItemsProcessed(state.iterations() * list_rows);
}
BENCHMARK(BM_PositiveListLoad)->UseRealTime();

// Baselines: the same lists rendered and parsed without files.
void BM_BaselinePositiveRender(benchmark::State &state)
{
    vpiDOHScannerFlowCache list(list_rows, "");
    list.Parse(PositiveText());
    for (auto _ : state)
        benchmark::DoNotOptimize(list.Render());
    state.SetItemsProcessed(state.iterations() * list_rows);
}
BENCHMARK(BM_BaselinePositiveRender);

void BM_BaselinePositiveParse(benchmark::State &state)
{
    const std::string text = PositiveText();
    for (auto _ : state) {
        vpiDOHScannerFlowCache list(list_rows, "");
        benchmark::DoNotOptimize(list.Parse(text).rows);
    }
    state.SetItemsProcessed(state.iterations() * list_rows);
}
BENCHMARK(BM_BaselinePositiveParse);

void BM_NegativeListSaveAndLoad(benchmark::State &state)
{
    Host host;
    const std::string path = host.directory + "/negative.csv";
    vpiDOHScannerDigestCache saved(list_rows, path);
    for (int n = 0; n < list_rows; n++)
        saved.CacheInsert(ServerEntry(n).digest, true, false);
    for (auto _ : state) {
        saved.Save("doh-negative");
        vpiDOHScannerDigestCache list(list_rows, path);
        benchmark::DoNotOptimize(list.Load("doh-negative"));
    }
    state.SetItemsProcessed(state.iterations() * list_rows);
}
BENCHMARK(BM_NegativeListSaveAndLoad)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
