#include "soak/soak_figures.h"

#include <functional>

namespace {

constexpr uint64_t mib = 1024 * 1024;

unsigned long long ULL(uint64_t value)
{
    return static_cast<unsigned long long>(value);
}

// "name count, name count, ..." over a table of counts.
template <size_t N>
std::string Counts(const std::array<uint64_t, N> &counts, const std::function<const char *(size_t)> &name)
{
    std::string text;
    for (size_t index = 0; index < N; index++)
        text += std::string(index ? ", " : "") + name(index) + " " + std::to_string(counts[index]);
    return text;
}

std::string CloudFaults(const FaultRotation::Figures &network)
{
    // A closed port serves nothing: its periods are counted instead.
    std::array<uint64_t, cloud_modes> counts = network.cloud_served;
    const auto closed = static_cast<size_t>(CloudMode::closed_port);
    counts[closed] = network.cloud_periods[closed];
    return Counts(counts, [](size_t mode) { return CloudModeName(static_cast<CloudMode>(mode)); });
}

size_t Total(const std::map<std::string, size_t> &counts)
{
    size_t total = 0;
    for (const auto &[phrase, count] : counts)
        total += count;
    return total;
}

}  // namespace

std::vector<std::string> FailedChecks(const SoakFigures &figures)
{
    std::vector<std::string> failed;
    auto check = [&](bool good, const std::string &why) {
        if (!good)
            failed.push_back(why);
    };
    const IntelLedger::Figures &intel = figures.intel;
    check(intel.lost == 0, "owed intel lost: " + std::to_string(intel.lost));
    check(intel.duplicates == 0, "duplicate intel: " + std::to_string(intel.duplicates));
    check(intel.unexpected == 0,
          "intel a stable indicator should not have reported: " + std::to_string(intel.unexpected));
    check(intel.ids_out_of_order == 0, "event ids not strictly increasing: " + std::to_string(intel.ids_out_of_order));
    check(figures.storm.timeouts == 0,
          "invalid-configuration windows that timed out: " + std::to_string(figures.storm.timeouts));
    check(figures.status_malformed == 0, "malformed status documents: " + std::to_string(figures.status_malformed));
    check(figures.peak_rss <= figures.max_rss, "peak RSS " + std::to_string(figures.peak_rss / mib) +
                                                   " MiB above the bound of " + std::to_string(figures.max_rss / mib) +
                                                   " MiB");
    for (const auto &[phrase, count] : figures.guarded_failures)
        check(count == 0, "plug-in log: \"" + phrase + "\" " + std::to_string(count) + " time(s)");
    for (size_t run = 0; run < figures.runs.size(); run++)
        for (const auto &problem : figures.runs[run].state.problems)
            failed.push_back("run " + std::to_string(run + 1) + ": " + problem);
    return failed;
}

void PrintFigures(const SoakFigures &figures, std::FILE *out)
{
    const auto &runs = figures.runs;
    const auto &flows = figures.flows;
    const auto &storm = figures.storm;
    const auto &network = figures.network;
    const auto &intel = figures.intel;
    std::fprintf(out, "soak: figures\n");
    std::fprintf(out, "  duration        %.1f s (run 1 %.1f s, run 2 %.1f s)\n", runs[0].seconds + runs[1].seconds,
                 runs[0].seconds, runs[1].seconds);
    std::fprintf(out, "  flows           %llu handed in (%llu in %llu flow maps, %llu after the stop began), %llu rewrites\n",
                 ULL(flows.flows), ULL(flows.in_maps), ULL(flows.maps), ULL(flows.after_stop), ULL(flows.mutations));
    std::fprintf(out, "  reloads         %llu asked, %zu configurations loaded (unparseable %llu, invalid %llu), polls %llu\n",
                 ULL(storm.reloads), figures.configurations_loaded, ULL(storm.unparseable), ULL(storm.invalid),
                 ULL(storm.polls));
    std::fprintf(out, "  status requests %llu\n", ULL(figures.status_requests));
    std::fprintf(out, "  faults: cloud   %s (requests; closed port: periods)\n", CloudFaults(network).c_str());
    std::fprintf(out, "  faults: DoH     %s (requests)\n",
                 Counts(network.doh_requests, [](size_t mode) { return DohModeName(static_cast<DohMode>(mode)); })
                     .c_str());
    std::fprintf(out, "  faults: signatures %s\n",
                 Counts(storm.signatures, [](size_t change) {
                     return SignatureChangeName(static_cast<SignatureChange>(change));
                 }).c_str());
    std::fprintf(out, "  faults: state   %zu state files damaged before the restart\n", figures.damaged_files);
    std::fprintf(out, "  intel emitted   %llu (stable indicators %llu for %llu owed, others %llu), sink payloads %llu\n",
                 ULL(intel.stable + intel.other), ULL(intel.stable), ULL(intel.owed), ULL(intel.other),
                 ULL(figures.sink_payloads));
    std::fprintf(out, "  lost            %llu\n", ULL(intel.lost));
    std::fprintf(out, "  duplicates      %llu\n", ULL(intel.duplicates));
    std::fprintf(out, "  unexpected      %llu\n", ULL(intel.unexpected));
    std::fprintf(out, "  event ids       %llu, out of order %llu; run 1 %llu..%llu (saved %llu), run 2 %llu..%llu (saved %llu)\n",
                 ULL(intel.ids), ULL(intel.ids_out_of_order), ULL(runs[0].first_id), ULL(runs[0].last_id),
                 ULL(runs[0].state.saved_event_id), ULL(runs[1].first_id), ULL(runs[1].last_id),
                 ULL(runs[1].state.saved_event_id));
    std::fprintf(out, "  state files     run 1: %zu cache files (%zu records), %zu DoH lists; run 2: %zu (%zu), %zu; all loaded\n",
                 runs[0].state.cache_files, runs[0].state.cache_records, runs[0].state.doh_lists,
                 runs[1].state.cache_files, runs[1].state.cache_records, runs[1].state.doh_lists);
    std::fprintf(out, "  stops           run 1 %lld ms, run 2 %lld ms\n", static_cast<long long>(runs[0].stop.count()),
                 static_cast<long long>(runs[1].stop.count()));
    std::fprintf(out, "  plug-in log     %zu lines, %zu guarded failures\n", figures.log_lines,
                 Total(figures.guarded_failures));
    for (const auto &[phrase, count] : figures.noted)
        std::fprintf(out, "    %-34s %zu\n", ("\"" + phrase + "\"").c_str(), count);
    std::fprintf(out, "  peak RSS        %llu MiB (bound %llu MiB)\n", ULL(figures.peak_rss / mib),
                 ULL(figures.max_rss / mib));
}
