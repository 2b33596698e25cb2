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
#include "soak/soak_figures.h"
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
    // Flows and status requests arrive before the first configuration
    // load, too.
    traffic.Start(plugin);
    status.Start(plugin);
    if (!log.WaitBeyond(ready_phrase, loads, first_load_deadline))
        Fail(name + ": the first configuration did not load");
    storm.Start(plugin);
    faults.Start();

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
    storm.WriteGood(true);
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
    SoakFigures figures;
    figures.runs = runs;
    figures.flows = traffic.Counts();
    figures.storm = storm.Counts();
    figures.network = faults.Counts();
    figures.intel = ledger.Tally();
    figures.configurations_loaded = log.Count(ready_phrase);
    figures.damaged_files = damaged;
    figures.status_requests = status.Requests();
    figures.status_malformed = status.Malformed();
    figures.sink_payloads = host.SinkPayloads();
    figures.log_lines = log.Lines();
    for (const auto &phrase : guard_phrases)
        figures.guarded_failures[phrase] = log.Count(phrase);
    for (const auto &phrase : noted_phrases)
        figures.noted[phrase] = log.Count(phrase);
    figures.peak_rss = rss.Peak();
    figures.max_rss = (options.max_rss_mib != 0 ? options.max_rss_mib : default_max_rss_mib) * mib;

    std::vector<std::string> failed = FailedChecks(figures);
    failed.insert(failed.begin(), failures.begin(), failures.end());
    PrintFigures(figures, stdout);
    for (const auto &failure : failed)
        std::printf("soak: FAILED: %s\n", failure.c_str());
    if (!failed.empty()) {
        std::printf("soak: latest log lines:\n");
        for (const auto &line : log.Latest())
            std::printf("  %s", line.c_str());
    }
    std::printf("soak: %s\n", failed.empty() ? "passed" : "FAILED");
    return failed.empty();
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
