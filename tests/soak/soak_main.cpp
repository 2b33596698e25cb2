// The soak: the plug-in loaded with dlopen runs twice on the same state
// (a start, an orderly stop, a restart) while host threads hand flows in
// and rewrite them, a storm reloads its configuration and changes the
// signature offer, the cloud service and a DoH server fail in turn, and
// status is asked for throughout. At the end it prints its figures and
// exits non-zero when a check failed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "soak/config_storm.h"
#include "soak/fault_services.h"
#include "soak/flow_traffic.h"
#include "soak/intel_ledger.h"
#include "soak/rss_sampler.h"
#include "soak/soak_host.h"
#include "soak/soak_log.h"
#include "soak/soak_options.h"
#include "soak/state_files.h"
#include "soak/status_poller.h"
#include "soak/watchdog.h"
#include "support/doh_server.h"
#include "support/http_server.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t mib = 1024 * 1024;

unsigned long long ULL(uint64_t value)
{
    return static_cast<unsigned long long>(value);
}
// Peak resident memory allowed by default: generous, as sanitizers keep
// shadow memory and freed blocks in quarantine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t default_max_rss_mib = 4096;
#else
constexpr uint64_t default_max_rss_mib = 1024;
#endif
// Beyond this a phase counts as hung.
constexpr auto first_load_deadline = 60s;
constexpr auto stop_deadline = 60s;
constexpr auto phase_slack = 120s;

// Log lines that say an exception reached a guard inside the plug-in.
const std::vector<std::string> guard_phrases = {"worker turn failed", "worker start failed", "worker stop failed",
                                                "reload failed",      "poll failed",         "event failed",
                                                "evaluation failed",  "intel output failed"};
const std::vector<std::string> noted_phrases = {"Error loading flow intel cache", "Error loading DoH server cache",
                                                "Error loading last event ID",    "unknown indicator in event",
                                                "error loading configuration",   "invalid configuration",
                                                "error loading intelligence",    "Error saving"};

std::vector<std::string> LogPhrases()
{
    std::vector<std::string> phrases = guard_phrases;
    phrases.insert(phrases.end(), noted_phrases.begin(), noted_phrases.end());
    phrases.push_back(ready_phrase);
    phrases.push_back(disabled_phrase);
    return phrases;
}

void UnsetProxies()
{
    // libcurl would send the plug-in's loopback requests to a proxy.
    for (const char *name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
}

// The DoH server, answering from construction on.
struct RunningDoh {
    RunningDoh()
    {
        server.Start();
        server.Route(doh_path, DohRoute::Answer());
    }
    DohTestServer server;
};

struct RunFigures {
    double seconds = 0;
    uint64_t first_id = 0;
    uint64_t last_id = 0;
    std::chrono::milliseconds stop{0};
    StateCheck state;
};

class Soak
{
public:
    explicit Soak(const SoakOptions &options)
        : options(options),
          log(LogPhrases(), options.verbosity > 0),
          watchdog(log),
          host(dir.Path(), ledger, options.verbosity),
          faults(cloud, doh.server, host.Api(), options.seed),
          traffic(ledger, TrafficSettings(options, doh.server)),
          storm({host.ConfPath(), host.PersistentPath(), dir.Path("sets")}, *host.Api(), log, ledger,
                traffic.Gate(), options.seed)
    {
        log.SetEcho(options.echo_log);
        FaultRotation::PointCloudAt(*host.Api(), cloud.Url());
    }

    // Both runs, the state checks after each and the damage between them.
    void Run()
    {
        storm.WriteGood();
        runs.push_back(RunOnce(1, options.seconds / 2));
        watchdog.Phase("damaging the state files", phase_slack);
        damaged = DamageStateFiles(host.PersistentPath());
        runs.push_back(RunOnce(2, options.seconds / 2));
        watchdog.Done();
    }

    // Prints the figures; true when every check passed.
    bool Report();

private:
    static FlowTraffic::Settings TrafficSettings(const SoakOptions &options, const DohTestServer &doh)
    {
        FlowTraffic::Settings settings;
        settings.flows_per_second = options.flows_per_second;
        settings.backlog_cap = options.backlog;
        settings.probes = {doh.Port(), UnusedLoopbackPort()};
        return settings;
    }

    RunFigures RunOnce(int run, double seconds);
    void Stop(int run, RunFigures &figures);
    void Fail(const std::string &why) { failures.push_back(why); }
    size_t GuardedFailures() const
    {
        size_t count = 0;
        for (const auto &phrase : guard_phrases)
            count += log.Count(phrase);
        return count;
    }

    const SoakOptions options;
    TempDir dir;
    SoakLog log;
    Watchdog watchdog;
    RssSampler rss;
    IntelLedger ledger;
    SoakHost host;
    FaultyCloud cloud;
    RunningDoh doh;
    FaultRotation faults;
    FlowTraffic traffic;
    ConfigStorm storm;
    StatusPoller status;
    std::vector<RunFigures> runs;
    size_t damaged = 0;
    std::vector<std::string> failures;
};

RunFigures Soak::RunOnce(int run, double seconds)
{
    const std::string name = "run " + std::to_string(run);
    const auto began = std::chrono::steady_clock::now();
    ledger.StartRun();
    watchdog.Phase(name + ": start and first load", first_load_deadline);
    const size_t loads = log.Count(ready_phrase);
    vdPluginProcessor &plugin = host.Start();
    // Flows arrive before the first configuration load, too.
    traffic.Start(plugin);
    if (!log.WaitBeyond(ready_phrase, loads, first_load_deadline))
        Fail(name + ": the first configuration did not load");
    storm.Start(plugin);
    faults.Start();
    status.Start(plugin);

    watchdog.Phase(name + ": load", std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::duration<double>(seconds)) + phase_slack);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));

    RunFigures figures;
    Stop(run, figures);
    const IntelLedger::Figures tally = ledger.Tally();
    figures.first_id = tally.run_first_id;
    figures.last_id = tally.last_id;
    if (!runs.empty() && figures.first_id != 0 && figures.first_id <= runs.back().last_id)
        Fail("run " + std::to_string(run) + " began at event id " + std::to_string(figures.first_id) +
             ", not above the last id before the restart");
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    watchdog.Phase(name + ": state files", phase_slack);
    figures.state = CheckStateFiles(host.EventIdPath(), storm.LastGood(), tally.last_id, log);
    for (const auto &problem : figures.state.problems)
        Fail(name + ": " + problem);
    return figures;
}

void Soak::Stop(int run, RunFigures &figures)
{
    const std::string name = "run " + std::to_string(run);
    watchdog.Phase(name + ": storm and faults stop", phase_slack);
    storm.Stop();
    faults.Stop();
    // The configuration in force at the stop is a known one, so that the
    // files it names can be checked afterwards, and the restart loads it.
    const size_t loads = log.Count(ready_phrase);
    storm.WriteGood();
    host.Plugin().DispatchEvent(vdPlugin::reload, nullptr);
    if (!log.WaitBeyond(ready_phrase, loads, first_load_deadline))
        Fail(name + ": the last configuration did not load");

    // Flows handed in from here on are not owed; the host threads go on
    // handing in while the plug-in is told to stop, and end before it is
    // deleted.
    watchdog.Phase(name + ": orderly stop", stop_deadline);
    traffic.BeginStop();
    const auto began = std::chrono::steady_clock::now();
    host.Plugin().Terminate();
    traffic.Stop();
    status.Stop();
    host.Delete();
    figures.stop = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
}

bool Soak::Report()
{
    const FlowTraffic::Figures flows = traffic.Counts();
    const ConfigStorm::Figures reloads = storm.Counts();
    const FaultRotation::Figures net = faults.Counts();
    const IntelLedger::Figures intel = ledger.Tally();
    const uint64_t max_rss = (options.max_rss_mib != 0 ? options.max_rss_mib : default_max_rss_mib) * mib;
    const uint64_t peak = rss.Peak();

    if (intel.lost != 0)
        Fail("owed intel lost: " + std::to_string(intel.lost));
    if (intel.duplicates != 0)
        Fail("duplicate intel: " + std::to_string(intel.duplicates));
    if (intel.unexpected != 0)
        Fail("intel a stable indicator should not have reported: " + std::to_string(intel.unexpected));
    if (intel.ids_out_of_order != 0)
        Fail("event ids not strictly increasing: " + std::to_string(intel.ids_out_of_order));
    if (reloads.timeouts != 0)
        Fail("invalid-configuration windows that timed out: " + std::to_string(reloads.timeouts));
    if (status.Malformed() != 0)
        Fail("malformed status documents: " + std::to_string(status.Malformed()));
    if (peak > max_rss)
        Fail("peak RSS " + std::to_string(peak / mib) + " MiB above " + std::to_string(max_rss / mib) + " MiB");
    for (const auto &phrase : guard_phrases)
        if (log.Count(phrase) != 0)
            Fail("plug-in log: \"" + phrase + "\" x" + std::to_string(log.Count(phrase)));

    std::string cloud_faults;
    for (size_t mode = 0; mode < cloud_modes; mode++)
        cloud_faults += std::string(mode ? ", " : "") + CloudModeName(static_cast<CloudMode>(mode)) + " " +
                        std::to_string(mode == static_cast<size_t>(CloudMode::closed_port) ? net.cloud_periods[mode]
                                                                                            : net.cloud_served[mode]);
    std::string doh_faults;
    for (size_t mode = 0; mode < doh_modes; mode++)
        doh_faults += std::string(mode ? ", " : "") + DohModeName(static_cast<DohMode>(mode)) + " " +
                      std::to_string(net.doh_requests[mode]);
    std::string signature_faults;
    for (size_t change = 0; change < signature_changes; change++)
        signature_faults += std::string(change ? ", " : "") + SignatureChangeName(static_cast<SignatureChange>(change)) +
                            " " + std::to_string(reloads.signatures[change]);

    std::printf("soak: figures\n");
    std::printf("  duration        %.1f s (run 1 %.1f s, run 2 %.1f s)\n", runs[0].seconds + runs[1].seconds,
                runs[0].seconds, runs[1].seconds);
    std::printf("  flows           %llu handed in (%llu in %llu flow maps, %llu after the stop began), %llu rewrites\n",
                ULL(flows.flows), ULL(flows.in_maps), ULL(flows.maps), ULL(flows.after_stop), ULL(flows.mutations));
    std::printf("  reloads         %llu (unparseable %llu, invalid %llu), polls %llu, status requests %llu\n",
                ULL(reloads.reloads), ULL(reloads.unparseable), ULL(reloads.invalid), ULL(reloads.polls),
                ULL(status.Requests()));
    std::printf("  faults cloud    %s (closed port in periods; others in requests served)\n", cloud_faults.c_str());
    std::printf("  faults DoH      %s (requests)\n", doh_faults.c_str());
    std::printf("  faults signature %s\n", signature_faults.c_str());
    std::printf("  faults state    %zu cache files damaged before the restart\n", damaged);
    std::printf("  intel emitted   %llu (stable %llu of %llu owed, other %llu), sink payloads %llu\n",
                ULL(intel.stable + intel.other), ULL(intel.stable), ULL(intel.owed), ULL(intel.other),
                ULL(host.SinkPayloads()));
    std::printf("  lost            %llu\n", ULL(intel.lost));
    std::printf("  duplicates      %llu\n", ULL(intel.duplicates));
    std::printf("  unexpected      %llu\n", ULL(intel.unexpected));
    std::printf("  event ids       %llu, out of order %llu; run 1 %llu..%llu (saved %llu), run 2 %llu..%llu (saved %llu)\n",
                ULL(intel.ids), ULL(intel.ids_out_of_order), ULL(runs[0].first_id), ULL(runs[0].last_id),
                ULL(runs[0].state.saved_event_id), ULL(runs[1].first_id), ULL(runs[1].last_id),
                ULL(runs[1].state.saved_event_id));
    std::printf("  state files     run 1: %zu cache files (%zu records), %zu DoH lists; run 2: %zu (%zu), %zu\n",
                runs[0].state.cache_files, runs[0].state.cache_records, runs[0].state.doh_lists,
                runs[1].state.cache_files, runs[1].state.cache_records, runs[1].state.doh_lists);
    std::printf("  stops           run 1 %lld ms, run 2 %lld ms\n", static_cast<long long>(runs[0].stop.count()),
                static_cast<long long>(runs[1].stop.count()));
    std::printf("  plug-in log     %zu lines; guarded failures %zu\n", log.Lines(), GuardedFailures());
    std::printf("  peak RSS        %llu MiB (bound %llu MiB)\n", ULL(peak / mib), ULL(max_rss / mib));
    for (const auto &failure : failures)
        std::printf("soak: FAILED: %s\n", failure.c_str());
    if (!failures.empty()) {
        std::printf("soak: latest log lines:\n");
        for (const auto &line : log.Latest())
            std::printf("  %s", line.c_str());
    }
    std::printf("soak: %s\n", failures.empty() ? "passed" : "FAILED");
    return failures.empty();
}

}  // namespace

int main(int argc, char **argv)
{
    int status = 0;
    std::optional<SoakOptions> options = SoakOptions::Parse(argc, argv, status);
    if (!options)
        return status;
    UnsetProxies();
    try {
        Soak soak(*options);
        soak.Run();
        return soak.Report() ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "soak: FAILED: %s\n", e.what());
        return 1;
    }
}
