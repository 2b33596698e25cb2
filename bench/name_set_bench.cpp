// The signature feed's name set over 1M generated domain names (bench/support/signature_gen.h),
// beside the set as it was before its tag array (bench/support/slot_name_set.h), in one run.
// Goals:
// - A lookup of an absent name costs at most 1.5 random memory accesses, of a present name at
//   most 2.5. The access is one step of a dependent chase over 256 MB in random order, timed
//   just before and after each lookup row (counter per_access: the lookup over that access;
//   chase_ns: the access). Each probe waits for the previous answer, as each step of the chase
//   waits for the previous load, so both measure latency, not overlapped throughput.
// - Memory follows the names held. Build rows run in a fresh process each (this program
//   started again on a file of the names) and count bytes per stored name: held (the set's own
//   count), heap (the allocator's in-use growth), resident growth and its peak while building.
// A loaded machine inflates both the lookups and the chase: judge by the ratios, with
// --benchmark_repetitions and the medians.
#include <benchmark/benchmark.h>
#include <limits.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "feeds/signatures/name_set.h"
#include "support/seeded_random.h"
#include "support/process_memory.h"
#include "support/signature_gen.h"
#include "support/slot_name_set.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *child_flag = "--build-child";
constexpr int build_runs = 3;

double Seconds(Clock::time_point begin, Clock::time_point end)
{
    return std::chrono::duration<double>(end - begin).count();
}

// ---- The random access --------------------------------------------------------------------

// One cycle through 64M four-byte entries (256 MB) in random order: each step a load from a
// random line and, with 4 KiB pages, mostly a TLB miss as well.
const std::vector<uint32_t> &Chain()
{
    static const std::vector<uint32_t> chain = [] {
        constexpr std::size_t entries = std::size_t(256) * 1024 * 1024 / sizeof(uint32_t);
        std::vector<uint32_t> order(entries);
        for (uint32_t i = 0; i < entries; ++i)
            order[i] = i;
        SeededRandom random(7);
        random.Shuffle(order);
        std::vector<uint32_t> next(entries);
        for (std::size_t i = 0; i < entries; ++i)
            next[order[i]] = order[(i + 1) % entries];
        return next;
    }();
    return chain;
}

// Nanoseconds per step over steps dependent loads.
double ChaseNs(std::size_t steps)
{
    const std::vector<uint32_t> &next = Chain();
    static uint32_t at = 0;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < steps; ++i)
        at = next[at];
    benchmark::DoNotOptimize(at);
    return Seconds(start, Clock::now()) * 1e9 / double(steps);
}

void RunChase(benchmark::State &state)
{
    const std::vector<uint32_t> &next = Chain();
    uint32_t at = 0;
    for (auto _ : state) {
        at = next[at];
        benchmark::DoNotOptimize(at);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// ---- The names --------------------------------------------------------------------------

// Names packed in one buffer, read in order while probing: the probes' own text costs no miss.
struct NameList {
    std::string text;
    std::vector<std::string_view> names;

    void Add(const std::string &name)
    {
        text += name;
        lengths.push_back(name.size());
    }
    void Seal()
    {
        std::size_t at = 0;
        for (std::size_t length : lengths) {
            names.emplace_back(text.data() + at, length);
            at += length;
        }
        lengths.clear();
    }

private:
    std::vector<std::size_t> lengths;
};

struct Data {
    std::vector<std::string> file_names;  // in file order, a few repeated
    NameList present;                     // every distinct name, shuffled
    NameList absent;                      // names not in the list, shuffled
    vdfNameSet tagged;
    SlotNameSet slotted;
    std::string names_path;  // one name a line, for the build rows' processes
    std::string problem;

    ~Data()
    {
        if (!names_path.empty())
            std::filesystem::remove(names_path);
    }
};

std::string WriteNamesFile(const std::vector<std::string> &names)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/namesetbench.XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        throw std::runtime_error(path + ": cannot create a file");
    close(fd);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string &name : names)
        out << name << '\n';
    if (!out.flush())
        throw std::runtime_error(path + ": cannot write the names");
    return path;
}

void Generate(Data &data)
{
    signature_gen::Options options;
    options.prefix_count = 100;
    options.port_prefix_count = 100;
    options.probe_count = 400000;
    signature_gen::SignatureSets sets = signature_gen::Generate(options);
    data.file_names = std::move(sets.domains.names);
    std::vector<std::size_t> distinct;
    for (std::size_t i = 0; i < data.file_names.size(); ++i) {
        if (data.tagged.insert(data.file_names[i]))
            distinct.push_back(i);
        data.slotted.insert(data.file_names[i]);
    }
    // Shuffled before packing, so that the probes' text is still read in order.
    SeededRandom(3).Shuffle(distinct);
    for (std::size_t i : distinct)
        data.present.Add(data.file_names[i]);
    for (const signature_gen::DomainProbe &probe : sets.domains.probes) {
        if (!probe.listed)
            data.absent.Add(probe.name);
    }
    data.present.Seal();
    data.absent.Seal();
    if (data.tagged.size() != sets.domains.distinct || data.slotted.size() != sets.domains.distinct)
        throw std::runtime_error("the sets hold " + std::to_string(data.tagged.size()) + " and " +
                                 std::to_string(data.slotted.size()) + " names, expected " +
                                 std::to_string(sets.domains.distinct));
    data.names_path = WriteNamesFile(data.file_names);
}

Data &SharedData()
{
    static const std::unique_ptr<Data> data = [] {
        auto made = std::make_unique<Data>();
        try {
            std::fprintf(stderr, "generating 1M domain names...\n");
            Generate(*made);
        } catch (const std::exception &e) {
            made->problem = e.what();
        }
        return made;
    }();
    return *data;
}

// ---- Lookups --------------------------------------------------------------------------------

constexpr std::size_t chase_steps = 1 << 20;

template <typename Set> void RunLookups(benchmark::State &state, const Set &(*set_of)(const Data &), bool present)
{
    Data &data = SharedData();
    if (!data.problem.empty()) {
        state.SkipWithError(data.problem.c_str());
        return;
    }
    const Set &set = set_of(data);
    const std::vector<std::string_view> &probes = present ? data.present.names : data.absent.names;
    const double chase_before = ChaseNs(chase_steps);
    std::size_t i = 0, wrong = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        const std::size_t miss = set.contains(probes[i]) != present;
        wrong += miss;
        // The next probe depends on this answer (miss is 0 unless the set is wrong).
        i += 1 + miss;
        if (i >= probes.size())
            i = 0;
    }
    const double lookup_ns = Seconds(start, Clock::now()) * 1e9 / double(state.iterations());
    const double chase_ns = (chase_before + ChaseNs(chase_steps)) / 2;
    if (wrong != 0) {
        state.SkipWithError((std::to_string(wrong) + " wrong answers").c_str());
        return;
    }
    state.counters["chase_ns"] = chase_ns;
    state.counters["per_access"] = lookup_ns / chase_ns;
    state.counters["held_B_per_name"] = double(set.held_bytes()) / double(set.size());
    state.SetItemsProcessed(int64_t(state.iterations()));
}

const vdfNameSet &Tagged(const Data &data)
{
    return data.tagged;
}

const SlotNameSet &Slotted(const Data &data)
{
    return data.slotted;
}

// ---- Builds in a fresh process ------------------------------------------------------------

double HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd);
}

// The peak resident size restarts from the current one.
void ResetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct BuildResult {
    double seconds = 0, names = 0, held = 0, heap = 0, rss_growth = 0, peak_growth = 0;
};

template <typename Set> BuildResult Build(const std::string &text)
{
    BuildResult result;
    const double heap_before = HeapInUse();
    ResetPeak();
    const ProcessMemory before = ReadMemory();
    const auto start = Clock::now();
    Set set;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        set.insert(std::string_view(text).substr(at, end - at));
    result.seconds = Seconds(start, Clock::now());
    const ProcessMemory after = ReadMemory();
    result.names = double(set.size());
    result.held = double(set.held_bytes());
    result.heap = HeapInUse() - heap_before;
    result.rss_growth = double(after.rss_kib - before.rss_kib) * 1024;
    result.peak_growth = double(after.hwm_kib - before.rss_kib) * 1024;
    return result;
}

int RunChild(const std::string &kind, const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    if (!file) {
        std::printf("error: cannot read %s\n", path.c_str());
        return 1;
    }
    const std::string names = text.str();
    BuildResult result;
    if (kind == "tagged")
        result = Build<vdfNameSet>(names);
    else if (kind == "slotted")
        result = Build<SlotNameSet>(names);
    else {
        std::printf("error: unknown set %s\n", kind.c_str());
        return 1;
    }
    std::printf("ok %.9f %.0f %.0f %.0f %.0f %.0f\n", result.seconds, result.names, result.held, result.heap,
                result.rss_growth, result.peak_growth);
    return 0;
}

std::string ExecutablePath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length <= 0 ? std::string() : std::string(path, std::size_t(length));
}

bool BuildInChild(const std::string &kind, const std::string &path, BuildResult &result)
{
    const std::string command = "'" + ExecutablePath() + "' " + child_flag + " " + kind + " '" + path + "'";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    char line[256] = "";
    if (!pipe || std::fgets(line, sizeof line, pipe.get()) == nullptr)
        return false;
    return std::sscanf(line, "ok %lf %lf %lf %lf %lf %lf", &result.seconds, &result.names, &result.held, &result.heap,
                       &result.rss_growth, &result.peak_growth) == 6 &&
           result.names > 0;
}

void RunBuild(benchmark::State &state, const std::string &kind)
{
    const Data &data = SharedData();
    if (!data.problem.empty()) {
        state.SkipWithError(data.problem.c_str());
        return;
    }
    BuildResult sum;
    for (auto _ : state) {
        BuildResult result;
        if (!BuildInChild(kind, data.names_path, result)) {
            state.SkipWithError("the building process failed");
            return;
        }
        state.SetIterationTime(result.seconds);
        sum.held += result.held / result.names;
        sum.heap += result.heap / result.names;
        sum.rss_growth += result.rss_growth / result.names;
        sum.peak_growth += result.peak_growth / result.names;
    }
    const double runs = double(state.iterations());
    state.counters["held_B_per_name"] = sum.held / runs;
    state.counters["heap_B_per_name"] = sum.heap / runs;
    state.counters["rss_B_per_name"] = sum.rss_growth / runs;
    state.counters["peak_B_per_name"] = sum.peak_growth / runs;
}

void Register()
{
    benchmark::RegisterBenchmark("Memory/random_access_256MB", RunChase)->UseRealTime();
    struct Row {
        const char *name;
        bool tagged, present;
    };
    static constexpr Row rows[] = {
        {"Lookup/absent/tagged_set", true, false},
        {"Lookup/absent/slot_set_before", false, false},
        {"Lookup/present/tagged_set", true, true},
        {"Lookup/present/slot_set_before", false, true},
    };
    for (const Row &row : rows) {
        benchmark::RegisterBenchmark(row.name, [row](benchmark::State &state) {
            if (row.tagged)
                RunLookups<vdfNameSet>(state, Tagged, row.present);
            else
                RunLookups<SlotNameSet>(state, Slotted, row.present);
        })->UseRealTime();
    }
    for (const char *kind : {"tagged", "slotted"}) {
        const std::string name = kind == std::string("tagged") ? "Build/tagged_set" : "Build/slot_set_before";
        benchmark::RegisterBenchmark(name.c_str(), [kind](benchmark::State &state) { RunBuild(state, kind); })
            ->UseManualTime()
            ->Iterations(build_runs)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], child_flag) == 0)
        return RunChild(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
