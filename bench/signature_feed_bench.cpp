// The signature feed over generated data sets (bench/support/signature_gen.h), driven through
// its real API: the host stand-in's instance and API manager offer the data files, the feed
// loads a set on its first Lookup (on the worker, which stalls meanwhile) and answers flows.
// Goals, each beside a baseline measured in the same run:
// - Loading 1M domains takes at most 1.5 s and leaves at most 120 MB resident; loading 500k
//   prefixes takes at most 2 s. Baseline: nlohmann::json::parse of the same file's text alone.
//   Each load runs in a fresh process (this program started again), so that its resident size
//   and peak (VmRSS, VmHWM) are its own; the load's time is the first lookup's, the worker's
//   stall (counter next_lookup_ns: the lookup after it).
// - A domain lookup in the 1M set takes at most 100 ns. Baseline: std::unordered_set of
//   std::string, find of the same names. Probes over the whole set pay the machine's memory
//   latency (measured alone as Memory/dependent_load_64MB); the _hot rows cycle through 2048
//   probes, which stay in cache, to show the code's own cost.
// - An ip_port_list lookup over the 200k set, against one hash map per prefix length.
// The ratios and the goals' verdicts are printed after the table. A loaded machine inflates
// real time, and on a shared virtual machine CPU time too: judge by the ratios then (and the
// memory latency row), or run alone.
#include <benchmark/benchmark.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "feeds/signatures/velbor_api.h"
#include "support/process_memory.h"
#include "support/signature_gen.h"
#include "support/signature_offer.h"
#include "vd_api.h"
#include "vd_config.h"
#include "vd_flow.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *child_flag = "--load-child";
constexpr double kib_per_mb = 1024.0;

// ---- Timing ----------------------------------------------------------------------------------

double Seconds(Clock::time_point begin, Clock::time_point end)
{
    return std::chrono::duration<double>(end - begin).count();
}

// ---- The host stand-in ---------------------------------------------------------------------

// An instance whose API manager offers each file as a signature of its tag; agent bootstrap
// data keeps the legacy intelligence file out of use.
class Host
{
public:
    explicit Host(const std::map<std::string, std::string> &paths_by_tag)
    {
        signature_offer::Offer(instance, paths_by_tag);
    }

private:
    vdInstance instance;
};

std::unique_ptr<vdfVelborAPI> MakeFeed(const std::string &directory)
{
    auto feed = std::make_unique<vdfVelborAPI>("bench", json::object(), directory + "/no-legacy.json");
    feed->Reload();
    return feed;
}

// Entries of every type a loaded set fills.
std::size_t StoredCount(const vdfVelborAPI::TagData &data)
{
    return data.domains.size() + data.ip4.size() + data.ip6.size() + data.ip4_ports.size() + data.ip6_ports.size();
}

// ---- One load in a fresh process -------------------------------------------------------------

// What a child reports on its one line.
struct LoadResult {
    bool ok = false;
    double seconds = 0;          // the load (feed: the first lookup) or the parse
    double second_lookup_ns = 0;  // feed only: a lookup once loaded
    long rss_before_kib = 0, rss_after_kib = 0, hwm_kib = 0;
    std::size_t stored = 0;
    std::string error;
};

void PrintResult(const LoadResult &result)
{
    std::printf("ok seconds=%.6f second_lookup_ns=%.1f rss_before=%ld rss_after=%ld hwm=%ld stored=%zu\n",
                result.seconds, result.second_lookup_ns, result.rss_before_kib, result.rss_after_kib, result.hwm_kib,
                result.stored);
}

// The feed offered the file under one tag; its first lookup loads it.
int ChildFeedLoad(const std::string &path)
{
    Host host({{"set", path}});
    auto feed = MakeFeed(std::filesystem::path(path).parent_path());
    auto flow = std::make_shared<vdFlow>();
    flow->host_server_name = "probe.example";
    vdAddr::Create(flow->lower_addr, "192.0.2.1", 80);
    vdAddr::Create(flow->upper_addr, "198.51.100.1", 443);
    flow->ip_version = 4;
    vppIntel::Entry entry;

    LoadResult result;
    const ProcessMemory before = ReadMemory();
    const auto start = Clock::now();
    feed->Lookup(flow, entry, "set");
    const auto loaded = Clock::now();
    feed->Lookup(flow, entry, "set");
    const auto looked_up = Clock::now();
    const ProcessMemory after = ReadMemory();

    const vdfVelborAPI::TagData &data = *feed->tags.at("set");
    if (data.state != vdfVelborAPI::LOADED) {
        std::printf("error: the set was not loaded (state %u)\n", unsigned(data.state));
        return 1;
    }
    result.seconds = Seconds(start, loaded);
    result.second_lookup_ns = Seconds(loaded, looked_up) * 1e9;
    result.rss_before_kib = before.rss_kib;
    result.rss_after_kib = after.rss_kib;
    result.hwm_kib = after.hwm_kib;
    result.stored = StoredCount(data);
    PrintResult(result);
    return 0;
}

// The file's text read first; the parse alone is timed, the document kept for the sizes.
int ChildParse(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text_stream;
    text_stream << file.rdbuf();
    const std::string text = text_stream.str();

    LoadResult result;
    const ProcessMemory before = ReadMemory();
    const auto start = Clock::now();
    const json document = json::parse(text);
    const auto parsed = Clock::now();
    const ProcessMemory after = ReadMemory();
    result.seconds = Seconds(start, parsed);
    result.rss_before_kib = before.rss_kib;
    result.rss_after_kib = after.rss_kib;
    result.hwm_kib = after.hwm_kib;
    result.stored = document.at("data").size();
    PrintResult(result);
    return 0;
}

int RunChild(const std::string &mode, const std::string &path)
{
    try {
        if (mode == "feed")
            return ChildFeedLoad(path);
        if (mode == "parse")
            return ChildParse(path);
        std::printf("error: unknown mode %s\n", mode.c_str());
    } catch (const std::exception &e) {
        std::printf("error: %s\n", e.what());
    }
    return 1;
}

std::string ExecutablePath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length <= 0 ? std::string() : std::string(path, std::size_t(length));
}

LoadResult ParseResult(const std::string &line)
{
    LoadResult result;
    if (std::sscanf(line.c_str(), "ok seconds=%lf second_lookup_ns=%lf rss_before=%ld rss_after=%ld hwm=%ld stored=%zu",
                    &result.seconds, &result.second_lookup_ns, &result.rss_before_kib, &result.rss_after_kib,
                    &result.hwm_kib, &result.stored) == 6)
        result.ok = true;
    else
        result.error = line.empty() ? std::string("the child printed nothing") : line;
    return result;
}

// Text as one shell word.
std::string Quoted(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Starts this program again to load or parse path.
LoadResult RunLoadInChild(const std::string &mode, const std::string &path)
{
    const std::string command =
        Quoted(ExecutablePath()) + " " + child_flag + " " + mode + " " + Quoted(path);
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe)
        return ParseResult("error: popen failed");
    char line[512] = "";
    if (std::fgets(line, sizeof line, pipe.get()) == nullptr)
        line[0] = '\0';
    line[std::strcspn(line, "\n")] = '\0';
    return ParseResult(line);
}

// ---- The shared data sets ---------------------------------------------------------------

struct PortFlow {
    vdAddr lower, upper;
    uint8_t ip_version = 0;
};

using Baseline4 = prefix_gen::PerLengthPrefixMap<uint32_t, 32, std::vector<uint16_t>>;
using Baseline6 = prefix_gen::PerLengthPrefixMap<prefix_gen::Bits128, 128, std::vector<uint16_t>, prefix_gen::Hash128>;

// A temporary directory with the three data files, removed at exit.
class DataDirectory
{
public:
    DataDirectory()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/sigbench.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error(pattern + ": cannot create a directory");
        path = pattern;
    }
    ~DataDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string File(const std::string &name) const { return path + "/" + name; }

    std::string path;
};

struct Data {
    signature_gen::Options options;
    DataDirectory directory;
    std::string domain_path, prefix_path, port_path;
    std::size_t domain_distinct = 0, prefix_stored = 0, port_stored = 0;
    std::map<std::string, double> file_mb;

    std::unique_ptr<Host> host;
    std::unique_ptr<vdfVelborAPI> feed;

    std::vector<std::string> domain_probes;  // swapped into the flow in turn
    std::vector<bool> domain_listed;
    std::unordered_set<std::string> domain_baseline;

    std::vector<PortFlow> port_flows;
    std::vector<uint16_t> port_of_probe;  // host order
    std::vector<bool> port_hit;
    Baseline4 port_baseline4;
    Baseline6 port_baseline6;

    std::size_t mismatches = 0;
    std::string problem;  // why the sets cannot be measured
};

void WriteFiles(Data &data, const signature_gen::SignatureSets &sets)
{
    const auto write = [&](std::string &path, const char *name, const std::string &text) {
        path = data.directory.File(name);
        signature_gen::WriteFile(path, text);
        data.file_mb[name] = double(text.size()) / (1024.0 * 1024.0);
    };
    write(data.domain_path, "domains.dat", signature_gen::DomainListText(sets.domains, data.options.score, 11));
    write(data.prefix_path, "prefixes.dat", signature_gen::PrefixListText(sets.prefixes, data.options.score, 12));
    write(data.port_path, "ports.dat", signature_gen::PortListText(sets.ports, data.options.score));
}

void PrepareDomains(Data &data, const signature_gen::DomainSet &set)
{
    data.domain_distinct = set.distinct;
    data.domain_baseline.reserve(set.distinct);
    for (const std::string &name : set.names)
        data.domain_baseline.insert(name);
    for (const signature_gen::DomainProbe &probe : set.probes) {
        data.domain_probes.push_back(probe.name);
        data.domain_listed.push_back(probe.listed);
    }
}

PortFlow MakePortFlow(const std::string &address, uint16_t port)
{
    PortFlow flow;
    vdAddr::Create(flow.lower, address, port);
    const bool v6 = flow.lower.IsIPv6();
    // Outside every generated prefix: class E space, unique local IPv6.
    vdAddr::Create(flow.upper, v6 ? "fc00::1" : "240.0.0.1", 443);
    flow.ip_version = v6 ? 6 : 4;
    return flow;
}

void PreparePorts(Data &data, const signature_gen::PortSet &set)
{
    data.port_stored = set.ipv4_stored + set.ipv6_stored;
    for (std::size_t i = 0; i < set.keys.size(); ++i) {
        const signature_gen::ParsedPrefix &prefix = set.parsed[i];
        if (prefix.length == 0)
            continue;
        if (prefix.ipv6)
            data.port_baseline6.Insert(prefix.bits, prefix.length, set.ports[i]);
        else
            data.port_baseline4.Insert(uint32_t(prefix.bits), prefix.length, set.ports[i]);
    }
    for (const signature_gen::PortProbe &probe : set.probes) {
        data.port_flows.push_back(MakePortFlow(probe.address, probe.port));
        data.port_of_probe.push_back(probe.port);
        data.port_hit.push_back(probe.hit);
    }
}

prefix_gen::Bits128 BitsOf(const vdAddr &address)
{
    prefix_gen::Bits128 bits = 0;
    for (uint8_t byte : address.addr.bytes)
        bits = bits << 8 | byte;
    return bits;
}

bool BaselineEndpointHit(const Data &data, const vdAddr &address)
{
    const std::vector<uint16_t> *ports =
        address.IsIPv4() ? data.port_baseline4.LongestMatch(address.GetIPv4()).value
                         : data.port_baseline6.LongestMatch(BitsOf(address)).value;
    if (ports == nullptr)
        return false;
    const uint16_t port = address.GetPort();
    for (uint16_t listed : *ports) {
        if (listed == port)
            return true;
    }
    return false;
}

// The feed's rule: either endpoint in a listed prefix whose ports hold the endpoint's port.
bool BaselinePortHit(const Data &data, const PortFlow &flow)
{
    return BaselineEndpointHit(data, flow.lower) || BaselineEndpointHit(data, flow.upper);
}

bool FeedLookup(vdfVelborAPI &feed, const vdFlow::Ptr &flow, const char *tag)
{
    vppIntel::Entry entry;
    return feed.Lookup(flow, entry, tag);
}

// Every probe answered as the generator says, by the feed and by the baselines; the first
// lookups load the two sets.
void Check(Data &data)
{
    auto flow = std::make_shared<vdFlow>();
    for (std::size_t i = 0; i < data.domain_probes.size(); ++i) {
        flow->host_server_name = data.domain_probes[i];
        data.mismatches += FeedLookup(*data.feed, flow, "domains") != data.domain_listed[i];
        data.mismatches += (data.domain_baseline.count(data.domain_probes[i]) != 0) != data.domain_listed[i];
    }
    flow->host_server_name.clear();
    for (std::size_t i = 0; i < data.port_flows.size(); ++i) {
        flow->lower_addr = data.port_flows[i].lower;
        flow->upper_addr = data.port_flows[i].upper;
        flow->ip_version = data.port_flows[i].ip_version;
        data.mismatches += FeedLookup(*data.feed, flow, "ports") != data.port_hit[i];
        data.mismatches += BaselinePortHit(data, data.port_flows[i]) != data.port_hit[i];
    }
    if (data.feed->tags.at("domains")->domains.size() != data.domain_distinct)
        data.mismatches++;
    if (data.mismatches != 0)
        data.problem = std::to_string(data.mismatches) + " answers differ from the generated sets'";
}

std::unique_ptr<Data> MakeData()
{
    auto data = std::make_unique<Data>();
    try {
        std::fprintf(stderr, "generating the data sets in %s...\n", data->directory.path.c_str());
        {
            const signature_gen::SignatureSets sets = signature_gen::Generate(data->options);
            WriteFiles(*data, sets);
            PrepareDomains(*data, sets.domains);
            PreparePorts(*data, sets.ports);
            data->prefix_stored = sets.prefixes.ipv4_stored + sets.prefixes.ipv6_stored;
        }
        for (const auto &[name, mb] : data->file_mb)
            std::fprintf(stderr, "  %s: %.1f MB\n", name.c_str(), mb);
        data->host = std::make_unique<Host>(std::map<std::string, std::string>{
            {"domains", data->domain_path}, {"prefixes", data->prefix_path}, {"ports", data->port_path}});
        data->feed = MakeFeed(data->directory.path);
        Check(*data);
    } catch (const std::exception &e) {
        data->problem = e.what();
    }
    return data;
}

Data &SharedData()
{
    static const std::unique_ptr<Data> data = MakeData();
    return *data;
}

bool CheckData(benchmark::State &state)
{
    const Data &data = SharedData();
    if (!data.problem.empty()) {
        state.SkipWithError(data.problem.c_str());
        return false;
    }
    return true;
}

// ---- Loads ---------------------------------------------------------------------------------

enum class SetKind { domains, prefixes, ports };

const std::string &PathOf(const Data &data, SetKind kind)
{
    return kind == SetKind::domains ? data.domain_path : kind == SetKind::prefixes ? data.prefix_path : data.port_path;
}

std::size_t ExpectedStored(const Data &data, SetKind kind, const std::string &mode)
{
    if (mode == "parse")
        return 0;  // elements, nested arrays and non-strings included: not compared
    return kind == SetKind::domains ? data.domain_distinct
           : kind == SetKind::prefixes ? data.prefix_stored
                                       : data.port_stored;
}

// Manual time: the load (feed) or the parse (baseline) in each child. Counters: resident size
// after (MB, the whole process), its growth over the load, the peak's growth, entries stored.
void RunLoad(benchmark::State &state, SetKind kind, const std::string &mode)
{
    if (!CheckData(state))
        return;
    const Data &data = SharedData();
    double rss_after = 0, growth = 0, peak_growth = 0, second_lookup = 0;
    std::size_t stored = 0;
    for (auto _ : state) {
        const LoadResult result = RunLoadInChild(mode, PathOf(data, kind));
        const std::size_t expected = ExpectedStored(data, kind, mode);
        if (!result.ok || (expected != 0 && result.stored != expected)) {
            const std::string why = result.ok ? "stored " + std::to_string(result.stored) + " entries, expected " +
                                                    std::to_string(expected)
                                              : result.error;
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(result.seconds);
        rss_after += double(result.rss_after_kib) / kib_per_mb;
        growth += double(result.rss_after_kib - result.rss_before_kib) / kib_per_mb;
        peak_growth += double(result.hwm_kib - result.rss_before_kib) / kib_per_mb;
        second_lookup += result.second_lookup_ns;
        stored = result.stored;
    }
    const double runs = double(state.iterations());
    state.counters["rss_after_MB"] = rss_after / runs;
    state.counters["rss_growth_MB"] = growth / runs;
    state.counters["peak_growth_MB"] = peak_growth / runs;
    state.counters["stored"] = double(stored);
    if (mode == "feed")
        state.counters["next_lookup_ns"] = second_lookup / runs;
}

// ---- Lookups -------------------------------------------------------------------------------

// The probes a lookup cycles through: all of them (the set's memory comes from RAM, as with
// real traffic over a large list), or the first few thousand (cache-resident: the code's own
// cost, without the machine's memory latency).
std::size_t ProbeCycle(const benchmark::State &state, std::size_t all)
{
    return state.range(0) == 0 ? all : std::min(all, std::size_t(state.range(0)));
}

// The flow stays the same object, as a worker's flow is while its tags are looked up; each
// probe's name is swapped in and out (no allocation), the baselines swapping theirs alike.
void RunDomainFeed(benchmark::State &state)
{
    Data &data = SharedData();
    const std::size_t cycle = ProbeCycle(state, data.domain_probes.size());
    auto flow = std::make_shared<vdFlow>();
    vppIntel::Entry entry;
    std::size_t i = 0;
    for (auto _ : state) {
        flow->host_server_name.swap(data.domain_probes[i]);
        benchmark::DoNotOptimize(data.feed->Lookup(flow, entry, "domains"));
        flow->host_server_name.swap(data.domain_probes[i]);
        if (++i == cycle)
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// The feed's name set alone, without the flow, its lock and the tag's lookup.
void RunDomainNameSet(benchmark::State &state)
{
    Data &data = SharedData();
    const vdfNameSet &names = data.feed->tags.at("domains")->domains;
    const std::size_t cycle = ProbeCycle(state, data.domain_probes.size());
    std::string slot;
    std::size_t i = 0;
    for (auto _ : state) {
        slot.swap(data.domain_probes[i]);
        benchmark::DoNotOptimize(names.contains(slot));
        slot.swap(data.domain_probes[i]);
        if (++i == cycle)
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void RunDomainBaseline(benchmark::State &state)
{
    Data &data = SharedData();
    const std::size_t cycle = ProbeCycle(state, data.domain_probes.size());
    std::string slot;
    std::size_t i = 0;
    for (auto _ : state) {
        slot.swap(data.domain_probes[i]);
        benchmark::DoNotOptimize(data.domain_baseline.find(slot) != data.domain_baseline.end());
        slot.swap(data.domain_probes[i]);
        if (++i == cycle)
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void RunPortFeed(benchmark::State &state)
{
    Data &data = SharedData();
    auto flow = std::make_shared<vdFlow>();
    vppIntel::Entry entry;
    std::size_t i = 0;
    for (auto _ : state) {
        const PortFlow &probe = data.port_flows[i];
        flow->lower_addr = probe.lower;
        flow->upper_addr = probe.upper;
        flow->ip_version = probe.ip_version;
        benchmark::DoNotOptimize(data.feed->Lookup(flow, entry, "ports"));
        if (++i == data.port_flows.size())
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void RunPortBaseline(benchmark::State &state)
{
    Data &data = SharedData();
    vdAddr lower, upper;
    std::size_t i = 0;
    for (auto _ : state) {
        const PortFlow &probe = data.port_flows[i];
        lower = probe.lower;
        upper = probe.upper;
        benchmark::DoNotOptimize(BaselineEndpointHit(data, lower) || BaselineEndpointHit(data, upper));
        if (++i == data.port_flows.size())
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

template <void (*run)(benchmark::State &)> void Checked(benchmark::State &state)
{
    if (CheckData(state))
        run(state);
}

// ---- Registration and the report -------------------------------------------------------------

constexpr int load_runs = 3;
constexpr int hot_probes = 2048;

// A chain of dependent loads over 64 MB in random order: the machine's memory latency, which
// bounds any lookup in a set this large. A busy machine raises it several times over.
void RunMemoryLatency(benchmark::State &state)
{
    constexpr std::size_t slots = std::size_t(64) * 1024 * 1024 / sizeof(uint32_t);
    static const std::vector<uint32_t> next = [] {
        std::vector<uint32_t> order(slots), chain(slots);
        for (uint32_t i = 0; i < slots; ++i)
            order[i] = i;
        uint64_t lcg = 1;
        for (std::size_t i = slots - 1; i > 0; --i) {
            lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
            std::swap(order[i], order[(lcg >> 33) % (i + 1)]);
        }
        for (std::size_t i = 0; i < slots; ++i)
            chain[order[i]] = order[(i + 1) % slots];
        return chain;
    }();
    uint32_t at = 0;
    for (auto _ : state) {
        at = next[at];
        benchmark::DoNotOptimize(at);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void RegisterLoads()
{
    struct Row {
        const char *name;
        SetKind kind;
        const char *mode;
    };
    static constexpr Row rows[] = {
        {"Load/domains_1M/feed", SetKind::domains, "feed"},
        {"Load/domains_1M/json_parse", SetKind::domains, "parse"},
        {"Load/prefixes_500k/feed", SetKind::prefixes, "feed"},
        {"Load/prefixes_500k/json_parse", SetKind::prefixes, "parse"},
        {"Load/ip_ports_200k/feed", SetKind::ports, "feed"},
        {"Load/ip_ports_200k/json_parse", SetKind::ports, "parse"},
    };
    for (const Row &row : rows) {
        benchmark::RegisterBenchmark(row.name, [row](benchmark::State &state) { RunLoad(state, row.kind, row.mode); })
            ->UseManualTime()
            ->Iterations(load_runs)
            ->Unit(benchmark::kMillisecond);
    }
}

void RegisterLookups()
{
    benchmark::RegisterBenchmark("Memory/dependent_load_64MB", RunMemoryLatency);
    benchmark::RegisterBenchmark("Lookup/domain_1M/feed", Checked<RunDomainFeed>)->Arg(0);
    benchmark::RegisterBenchmark("Lookup/domain_1M/name_set_alone", Checked<RunDomainNameSet>)->Arg(0);
    benchmark::RegisterBenchmark("Lookup/domain_1M/unordered_set_string", Checked<RunDomainBaseline>)->Arg(0);
    benchmark::RegisterBenchmark("Lookup/domain_1M_hot/feed", Checked<RunDomainFeed>)->Arg(hot_probes);
    benchmark::RegisterBenchmark("Lookup/domain_1M_hot/unordered_set_string", Checked<RunDomainBaseline>)
        ->Arg(hot_probes);
    benchmark::RegisterBenchmark("Lookup/ip_port_200k/feed", Checked<RunPortFeed>);
    benchmark::RegisterBenchmark("Lookup/ip_port_200k/per_length_hash_maps", Checked<RunPortBaseline>);
}

// The console table, then each measurement over its baseline and the goals' verdicts.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (run.error_occurred || !(single || run.aggregate_name == "median"))
                continue;
            const double to_seconds = 1.0 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            Result &result = results[run.run_name.function_name];
            result.real_s = run.GetAdjustedRealTime() * to_seconds;
            result.cpu_s = run.GetAdjustedCPUTime() * to_seconds;
            for (const auto &[name, counter] : run.counters)
                result.counters[name] = counter.value;
        }
    }

    void PrintSummary() const
    {
        std::printf("\n");
        PrintLoad("domains_1M");
        PrintLoad("prefixes_500k");
        PrintLoad("ip_ports_200k");
        PrintLookup("domain_1M", "unordered_set_string");
        PrintLookup("domain_1M", "name_set_alone");
        PrintLookup("domain_1M_hot", "unordered_set_string");
        if (const Result *memory = Find("Memory/dependent_load_64MB"))
            std::printf("memory latency (dependent load over 64 MB): %.1f ns\n", memory->real_s * 1e9);
        PrintLookup("ip_port_200k", "per_length_hash_maps");
        std::printf("\n");
        Goal("load of 1M domains <= 1.5 s", Value("Load/domains_1M/feed", "", 1), 1.5, "s");
        Goal("resident after the 1M-domain load <= 120 MB", Value("Load/domains_1M/feed", "rss_after_MB", 1), 120,
             "MB");
        Goal("load of 500k prefixes <= 2 s", Value("Load/prefixes_500k/feed", "", 1), 2.0, "s");
        Goal("domain lookup in the 1M set <= 100 ns (real)", Value("Lookup/domain_1M/feed", "", 1e9), 100, "ns");
        Goal("domain lookup in the 1M set <= 100 ns (cpu)", Value("Lookup/domain_1M/feed", "cpu", 1e9), 100, "ns");
        Goal("domain lookup, cache-resident probes <= 100 ns (cpu)", Value("Lookup/domain_1M_hot/feed", "cpu", 1e9), 100,
             "ns");
    }

private:
    struct Result {
        double real_s = 0, cpu_s = 0;
        std::map<std::string, double> counters;
    };

    const Result *Find(const std::string &name) const
    {
        auto found = results.find(name);
        return found == results.end() ? nullptr : &found->second;
    }

    // Real time (""), CPU time ("cpu") or a counter, times scale; negative when not measured.
    double Value(const std::string &name, const std::string &what, double scale) const
    {
        const Result *result = Find(name);
        if (result == nullptr)
            return -1;
        if (what.empty())
            return result->real_s * scale;
        if (what == "cpu")
            return result->cpu_s * scale;
        auto counter = result->counters.find(what);
        return counter == result->counters.end() ? -1 : counter->second * scale;
    }

    void PrintLoad(const std::string &set) const
    {
        const Result *feed = Find("Load/" + set + "/feed");
        const Result *parse = Find("Load/" + set + "/json_parse");
        if (feed == nullptr || parse == nullptr || parse->real_s <= 0)
            return;
        std::printf("%s: feed load (first-lookup stall) %.0f ms, json::parse alone %.0f ms, feed / parse %.2f; "
                    "resident after %.1f MB (growth %.1f MB, peak growth %.1f MB); parse alone: growth %.1f MB, "
                    "peak growth %.1f MB\n",
                    set.c_str(), feed->real_s * 1e3, parse->real_s * 1e3, feed->real_s / parse->real_s,
                    feed->counters.at("rss_after_MB"), feed->counters.at("rss_growth_MB"),
                    feed->counters.at("peak_growth_MB"), parse->counters.at("rss_growth_MB"),
                    parse->counters.at("peak_growth_MB"));
    }

    void PrintLookup(const std::string &set, const std::string &baseline_name) const
    {
        const Result *feed = Find("Lookup/" + set + "/feed");
        const Result *baseline = Find("Lookup/" + set + "/" + baseline_name);
        if (feed == nullptr || baseline == nullptr || baseline->real_s <= 0 || baseline->cpu_s <= 0)
            return;
        std::printf("%s lookup: feed %.1f ns real, %.1f ns cpu; %s %.1f ns real, %.1f ns cpu; feed / %s: %.2f real, "
                    "%.2f cpu\n",
                    set.c_str(), feed->real_s * 1e9, feed->cpu_s * 1e9, baseline_name.c_str(), baseline->real_s * 1e9,
                    baseline->cpu_s * 1e9, baseline_name.c_str(), feed->real_s / baseline->real_s,
                    feed->cpu_s / baseline->cpu_s);
    }

    static void Goal(const char *goal, double value, double limit, const char *unit)
    {
        if (value < 0)
            std::printf("goal %s: not measured\n", goal);
        else
            std::printf("goal %s: %.2f %s, %s\n", goal, value, unit, value <= limit ? "met" : "MISSED");
    }

    std::map<std::string, Result> results;
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], child_flag) == 0)
        return RunChild(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RegisterLoads();
    RegisterLookups();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
