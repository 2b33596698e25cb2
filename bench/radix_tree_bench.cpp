// Longest-prefix match in the network-prefix radix tree over a generated list of 500k prefixes
// (60% IPv4, 40% IPv6), against the baseline of one hash map per prefix length probed from the
// longest length down, measured in the same run on the same probes.
// Goals: IPv4 at most 150 ns per lookup and at least 3x faster than the baseline; IPv6 at most
// 300 ns; the tree's memory at most 150 bytes per stored prefix (counter bytes_per_prefix, from
// malloc statistics). The ratios are printed after the table. A loaded machine inflates real
// time: compare the CPU columns then, or run alone.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "feeds/radix/radix_tree.h"
#include "support/prefix_gen.h"

namespace {

using Key4 = vdRadixNetworkEntry<32>;
using Key6 = vdRadixNetworkEntry<128>;
using Baseline4 = prefix_gen::PerLengthPrefixMap<uint32_t, 32, bool>;
using Baseline6 = prefix_gen::PerLengthPrefixMap<prefix_gen::Bits128, 128, bool, prefix_gen::Hash128>;

std::size_t AllocatedBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Bytes allocated while `build` runs.
template <typename Build> std::size_t MeasureAllocation(Build &&build)
{
    const std::size_t before = AllocatedBytes();
    build();
    return AllocatedBytes() - before;
}

std::string TextOf(const Key4 &key)
{
    return prefix_gen::IPv4Text(key.bits(), unsigned(key.length()));
}
std::string TextOf(const Key6 &key)
{
    return prefix_gen::IPv6Text(key.bits(), unsigned(key.length()));
}

template <typename Tree, typename Baseline, typename Key> struct FamilyData {
    std::vector<Key> keys;     // the valid lines, parsed
    std::vector<Key> queries;  // the probes of this family
    std::vector<std::string> expected;
    Tree tree;
    Baseline baseline;
    std::size_t tree_bytes = 0;
    std::size_t baseline_bytes = 0;

    void Build()
    {
        tree_bytes = MeasureAllocation([&] {
            for (const Key &key : keys)
                tree.insert({key, true});
        });
        baseline_bytes = MeasureAllocation([&] {
            for (const Key &key : keys)
                baseline.Insert(key.bits(), unsigned(key.length()), true);
        });
    }

    // Both answer every probe as the generator's reference did.
    std::size_t Mismatches() const
    {
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < queries.size(); ++i) {
            const auto hit = tree.longest_match(queries[i]);
            const auto base = baseline.LongestMatch(queries[i].bits());
            const std::string tree_text = hit == tree.end() ? "" : TextOf(hit->first);
            const std::string base_text = base.value == nullptr ? "" : TextOf(Key::FromBits(base.prefix, base.length));
            wrong += tree_text != expected[i] || base_text != expected[i];
        }
        return wrong;
    }
};

struct Data {
    FamilyData<radix_tree<Key4, bool>, Baseline4, Key4> v4;
    FamilyData<radix_tree<Key6, bool>, Baseline6, Key6> v6;
    std::size_t accepted_lines = 0, expected_lines = 0, mismatches = 0;
};

void ParseLine(Data &data, const std::string &line)
{
    vdAddr address;
    if (!vdAddr::Create(address, line))
        return;
    Key4 key4;
    Key6 key6;
    if (address.IsIPv4() && Key4::Create(key4, address)) {
        data.v4.keys.push_back(key4);
        data.accepted_lines++;
    } else if (address.IsIPv6() && Key6::Create(key6, address)) {
        data.v6.keys.push_back(key6);
        data.accepted_lines++;
    }
}

void ParseProbe(Data &data, const prefix_gen::Probe &probe)
{
    vdAddr address;
    if (!vdAddr::Create(address, probe.address))
        return;
    Key6 key6;
    if (address.IsIPv4()) {
        data.v4.queries.push_back(Key4::QueryIPv4(address.GetIPv4()));
        data.v4.expected.push_back(probe.expected);
    } else if (Key6::CreateQuery(key6, address)) {
        data.v6.queries.push_back(key6);
        data.v6.expected.push_back(probe.expected);
    }
}

std::unique_ptr<Data> MakeData()
{
    const prefix_gen::Options options;
    const prefix_gen::PrefixSet set = prefix_gen::Generate(options);
    auto data = std::make_unique<Data>();
    data->expected_lines = options.prefix_count - options.invalid_count;
    for (const std::string &line : set.prefixes)
        ParseLine(*data, line);
    for (const prefix_gen::Probe &probe : set.probes)
        ParseProbe(*data, probe);
    data->v4.Build();
    data->v6.Build();
    data->mismatches = data->v4.Mismatches() + data->v6.Mismatches();
    if (data->v4.tree.size() != set.ipv4_stored || data->v6.tree.size() != set.ipv6_stored)
        data->mismatches++;
    return data;
}

const Data &SharedData()
{
    static const std::unique_ptr<Data> data = MakeData();
    return *data;
}

bool CheckData(benchmark::State &state)
{
    const Data &data = SharedData();
    if (data.mismatches != 0 || data.accepted_lines != data.expected_lines) {
        state.SkipWithError("the generated set was not read or answered as its reference says");
        return false;
    }
    return true;
}

template <typename Family> void RunTree(benchmark::State &state, const Family &family)
{
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(family.tree.longest_match(family.queries[i]));
        if (++i == family.queries.size())
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["prefixes"] = double(family.tree.size());
    state.counters["bytes_per_prefix"] = double(family.tree_bytes) / double(family.tree.size());
    state.counters["nodes_per_prefix"] = double(family.tree.node_count()) / double(family.tree.size());
}

template <typename Family> void RunBaseline(benchmark::State &state, const Family &family)
{
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(family.baseline.LongestMatch(family.queries[i].bits()));
        if (++i == family.queries.size())
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["prefixes"] = double(family.baseline.size());
    state.counters["bytes_per_prefix"] = double(family.baseline_bytes) / double(family.baseline.size());
}

void BM_IPv4Tree(benchmark::State &state)
{
    if (CheckData(state))
        RunTree(state, SharedData().v4);
}
void BM_IPv4Baseline(benchmark::State &state)
{
    if (CheckData(state))
        RunBaseline(state, SharedData().v4);
}
void BM_IPv6Tree(benchmark::State &state)
{
    if (CheckData(state))
        RunTree(state, SharedData().v6);
}
void BM_IPv6Baseline(benchmark::State &state)
{
    if (CheckData(state))
        RunBaseline(state, SharedData().v6);
}

BENCHMARK(BM_IPv4Tree);
BENCHMARK(BM_IPv4Baseline);
BENCHMARK(BM_IPv6Tree);
BENCHMARK(BM_IPv6Baseline);

// The console table, then each family's baseline time over its tree time (real and CPU
// time; with repetitions, of the medians).
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!run.error_occurred && (single || run.aggregate_name == "median"))
                times[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        }
    }

    void PrintRatios() const
    {
        for (const char *family : {"IPv4", "IPv6"}) {
            const auto tree = times.find(std::string("BM_") + family + "Tree");
            const auto base = times.find(std::string("BM_") + family + "Baseline");
            if (tree == times.end() || base == times.end() || tree->second.real <= 0 || tree->second.cpu <= 0)
                continue;
            std::printf("%s ns per lookup: tree %.1f real, %.1f cpu; baseline %.1f real, %.1f cpu; "
                        "baseline / tree: %.2f real, %.2f cpu\n",
                        family, tree->second.real, tree->second.cpu, base->second.real, base->second.cpu,
                        base->second.real / tree->second.real, base->second.cpu / tree->second.cpu);
        }
    }

private:
    struct Time {
        double real, cpu;
    };
    std::map<std::string, Time> times;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
