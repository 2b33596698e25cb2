// The cloud-intel feed against the loopback cloud service answering every
// request after a fixed 20 ms.
//
// Goals:
// - lookups per second grow linearly with the request threads (1, 4, 16;
//   64, the most a feed may have, shows whether the service saturates);
//   1 thread is the baseline ("vs_1_thread", "per_thread" = that ratio over
//   the threads, 1.0 when linear);
// - a lookup costs little beyond the service's delay, both from the feed's
//   queue to its LOOKUP answer and from the flow handed in
//   (DispatchProcessorEvent) to the worker evaluating that answer
//   ("overhead_ms" over the 20 ms; the feed's own round trip is the
//   baseline of the end-to-end time, "vs_feed_round_trip");
// - the worker's own cost per LOOKUP event is small with five indicators
//   reading the feed; one indicator is the baseline ("vs_1_indicator");
// - a feed of 16 threads with no traffic uses next to no CPU; a process
//   without the feed is the baseline.
//
// The indicators are custom ones listing the cloud feed: the drivers that
// read the answers' members are not part of this tree yet, and a custom
// indicator makes no intel of a LOOKUP event, so the end-to-end time ends
// where the worker evaluates the answer for the indicator (its verbosity-2
// line "evaluating: ... (lookup)").
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/plugin.h"
#include "feeds/cloud/cloud_intel.h"
#include "support/cloud_service.h"
#include "support/http_server.h"
#include "vd_api.h"
#include "vd_config.h"

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds service_delay{20};
constexpr double service_delay_ms = 20.0;
// Lookups in flight per measured round of the throughput benchmark: eight
// waves of 16 threads, 128 exchanges in a row for one thread.
constexpr size_t lookups_per_round = 128;
// No answer within this is a failure, not a slow result.
constexpr int answer_deadline_seconds = 30;
constexpr std::chrono::seconds idle_interval{3};

vdFlow::Ptr Flow(uint64_t digest)
{
    auto flow = std::make_shared<vdFlow>();
    flow->digest = digest;
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    vdAddr::Create(flow->lower_addr, "192.0.2.10", 40000);
    vdAddr::Create(flow->upper_addr, "198.51.100.20", 443);
    flow->lower_map = 1;
    flow->other_type = vdFlow::other_remote;
    flow->stats.total_bytes = 4096;
    return flow;
}

vppEventQueue::Event FlowEvent(const vdFlow::Ptr &flow)
{
    vppEventQueue::Event event;
    event.type = vppEventQueue::Event::FLOW;
    event.event = vdPluginProcessor::dpi_complete;
    event.flow = flow;
    return event;
}

// The cloud service: each posted flow answered under its digest text, every
// answer sent 20 ms after its request arrived (connections are served
// concurrently; only the answer's making is serialised).
class DelayedCloudService
{
public:
    DelayedCloudService()
    {
        server.SetHandler([](const HttpRequest &request) {
            HttpResponse response;
            response.headers = {{"Content-Type", "application/json"}};
            response.body = CloudService::AnswerFor(request.body).dump();
            response.delay = service_delay;
            return response;
        });
        server.Start();
    }

    std::string Url() const { return server.Url("/v1/flow"); }

private:
    LoopbackHttpServer server;
};

// The host's singletons, silent, with intel bootstrap data naming url.
class Host
{
public:
    explicit Host(const std::string &url, uint8_t verbosity = 0)
    {
        vd_log_set_sink([](vdLogLevel, const std::string &) {});
        config.verbosity = verbosity;
        instance.api_manager = std::make_shared<vdVelborApiManager>();
        if (!url.empty()) {
            auto data = std::make_shared<vdVelborApiData>();
            data->urls["flow"] = url;
            data->auth.bearer_token = "bench-token";
            instance.api_manager->SetBootstrapData(vdVelborApiData::intel, data);
        }
    }

    ~Host() { vd_log_set_sink(nullptr); }

    vdGlobalConfig config;
    vdInstance instance;
};

std::shared_ptr<vppDataFeed::Base> StartFeed(int instances, const std::shared_ptr<vppEventQueue::Queue> &answers)
{
    return vppDataFeed::Base::Create("cloud_intel", {{"type", "cloud_intel"}, {"instances", instances}}, answers);
}

// Pushes one lookup per flow and waits for every answer; false at the
// deadline.
bool LookupRound(vppDataFeed::Base &feed, vppEventQueue::Queue &answers, const std::vector<vdFlow::Ptr> &flows)
{
    for (const vdFlow::Ptr &flow : flows)
        feed.LookupEventPush(FlowEvent(flow));
    vppEventQueue::Event answer;
    for (size_t i = 0; i < flows.size(); i++) {
        if (!answers.PopSingle(answer, answer_deadline_seconds))
            return false;
    }
    return true;
}

double one_thread_rate = 0;

void BM_LookupsPerSecond(benchmark::State &state)
{
    const int threads = static_cast<int>(state.range(0));
    DelayedCloudService service;
    Host host(service.Url());
    auto answers = vppEventQueue::Queue::Create("answers");
    auto feed = StartFeed(threads, answers);
    std::vector<vdFlow::Ptr> flows;
    for (size_t i = 0; i < lookups_per_round; i++)
        flows.push_back(Flow(i + 1));

    // The first round starts every thread's first exchange; not measured.
    if (!LookupRound(*feed, *answers, flows)) {
        state.SkipWithError("answers missing at the deadline");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!LookupRound(*feed, *answers, flows)) {
            state.SkipWithError("answers missing at the deadline");
            return;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    const double rate = static_cast<double>(state.iterations() * flows.size()) / elapsed.count();
    state.counters["lookups/s"] = rate;
    if (threads == 1)
        one_thread_rate = rate;
    if (one_thread_rate > 0) {
        state.counters["vs_1_thread"] = rate / one_thread_rate;
        state.counters["per_thread"] = rate / one_thread_rate / threads;
    }
}

BENCHMARK(BM_LookupsPerSecond)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double MeanMilliseconds(std::chrono::steady_clock::time_point start, benchmark::IterationCount iterations)
{
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    return iterations > 0 ? elapsed.count() / static_cast<double>(iterations) : 0;
}

double feed_round_trip_ms = 0;

// One lookup at a time, from the feed's queue to its answer on the plug-in's
// queue: the exchange alone, the baseline of the end-to-end time below.
void BM_FeedRoundTrip(benchmark::State &state)
{
    DelayedCloudService service;
    Host host(service.Url());
    auto answers = vppEventQueue::Queue::Create("answers");
    auto feed = StartFeed(1, answers);
    uint64_t digest = 1;
    if (!LookupRound(*feed, *answers, {Flow(digest++)})) {
        state.SkipWithError("answer missing at the deadline");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!LookupRound(*feed, *answers, {Flow(digest++)})) {
            state.SkipWithError("answer missing at the deadline");
            return;
        }
    }
    feed_round_trip_ms = MeanMilliseconds(start, state.iterations());
    state.counters["overhead_ms"] = feed_round_trip_ms - service_delay_ms;
}

// A plug-in on its own worker with a cloud feed of one thread and one custom
// indicator listing it; counts the worker's evaluations of cloud answers.
class PluginHost
{
public:
    explicit PluginHost(const std::string &url) : host(url, 2)
    {
        char pattern[] = "/tmp/cloud-feed-bench-XXXXXX";
        dir = mkdtemp(pattern);
        const json conf = {
            {"data_feeds", {{"cloud_intel", {{"type", "cloud_intel"}, {"instances", 1}}}}},
            {"indicators",
             {{"cloud",
               {{"indicator_driver", "custom"},
                {"criteria", {{"min_bytes", 0}, {"flow_expr", "other_port == 443"}}},
                {"data_feeds", {"cloud_intel"}}}}}},
        };
        std::ofstream(dir + "/intel.json") << conf.dump();
        host.config.path_plugin_state = dir;
        // The evaluation lines are debug lines.
        vd_log_set_debug(true);
        vd_log_set_sink([this](vdLogLevel, const std::string &line) {
            if (line.find("evaluating: dpi_complete (lookup)") == std::string::npos)
                return;
            std::lock_guard<std::mutex> guard(lock);
            evaluated++;
            cond.notify_all();
        });
        plugin = std::make_unique<vppPlugin>(
            "bench", std::map<std::string, std::string>{{"conf_filename", dir + "/intel.json"}});
        plugin->Create();
    }

    ~PluginHost()
    {
        plugin->Terminate();
        plugin.reset();
        vd_log_set_sink(nullptr);
        vd_log_set_debug(false);
        std::filesystem::remove_all(dir);
    }

    void Hand(vdFlow::Ptr flow) { plugin->DispatchProcessorEvent(vdPluginProcessor::dpi_complete, flow); }

    // False when fewer answers were evaluated by the deadline.
    bool WaitForEvaluated(uint64_t count)
    {
        std::unique_lock<std::mutex> guard(lock);
        return cond.wait_for(guard, std::chrono::seconds(answer_deadline_seconds), [&] { return evaluated >= count; });
    }

private:
    Host host;
    std::string dir;
    std::mutex lock;
    std::condition_variable cond;
    uint64_t evaluated = 0;
    std::unique_ptr<vppPlugin> plugin;
};

// One flow at a time, from DispatchProcessorEvent to the worker evaluating
// the cloud's answer for it.
void BM_HandedInToLookupEvaluated(benchmark::State &state)
{
    DelayedCloudService service;
    PluginHost plugin(service.Url());
    uint64_t digest = 1;
    // The first flow waits for the worker's first turn to load the
    // configuration; not measured.
    plugin.Hand(Flow(digest));
    if (!plugin.WaitForEvaluated(digest)) {
        state.SkipWithError("answer not evaluated at the deadline");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        plugin.Hand(Flow(++digest));
        if (!plugin.WaitForEvaluated(digest)) {
            state.SkipWithError("answer not evaluated at the deadline");
            return;
        }
    }
    const double mean_ms = MeanMilliseconds(start, state.iterations());
    state.counters["overhead_ms"] = mean_ms - service_delay_ms;
    if (feed_round_trip_ms > 0)
        state.counters["vs_feed_round_trip"] = mean_ms / feed_round_trip_ms;
}

BENCHMARK(BM_FeedRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HandedInToLookupEvaluated)->Unit(benchmark::kMillisecond)->UseRealTime();

// The plug-in's worker run a turn at a time on the benchmark's thread.
class WorkerProbe : public vppPlugin
{
public:
    using vppPlugin::queue;
    using vppPlugin::RunTurn;
    using vppPlugin::vppPlugin;
};

constexpr size_t lookup_events_per_turn = 1000;

// A batch of cloud answers, one per flow, as the request threads queue them.
void QueueAnswers(vppEventQueue::Queue &queue, const std::vector<vdFlow::Ptr> &flows)
{
    for (const vdFlow::Ptr &flow : flows) {
        const std::string key = vd_xxh64_to_string(flow->digest);
        queue.PushLookup(FlowEvent(flow), vppDataFeed::DataSource::cloud_intel, "cloud_intel0",
                         std::make_shared<const vppEventQueue::AnswerMember>(
                             vppEventQueue::AnswerMember{key, CloudService::Intel(key)}));
    }
}

double one_indicator_cost = 0;

// The worker's turn over queued LOOKUP events with 1 or 5 indicators listing
// the cloud feed, all matching the flow: ns per event.
void BM_WorkerLookupEvent(benchmark::State &state)
{
    const int indicators = static_cast<int>(state.range(0));
    // No bootstrap data: the feed's idle threads make no request.
    Host host("");
    char pattern[] = "/tmp/cloud-feed-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    host.config.path_plugin_state = dir;
    json conf = {{"data_feeds", {{"cloud_intel", {{"type", "cloud_intel"}, {"instances", 1}}}}}};
    for (int i = 0; i < indicators; i++) {
        conf["indicators"]["cloud" + std::to_string(i)] = {
            {"indicator_driver", "custom"},
            {"criteria", {{"min_bytes", 0}, {"flow_expr", "other_port == 443"}}},
            {"data_feeds", {"cloud_intel"}},
        };
    }
    std::ofstream(dir + "/intel.json") << conf.dump();

    std::vector<vdFlow::Ptr> flows;
    for (size_t i = 0; i < lookup_events_per_turn; i++)
        flows.push_back(Flow(i + 1));
    double turn_seconds = 0;
    {
        WorkerProbe worker("bench", {{"conf_filename", dir + "/intel.json"}});
        std::vector<vppEventQueue::Event> batch;
        // The first turn loads the configuration.
        QueueAnswers(*worker.queue, flows);
        worker.RunTurn(batch);
        for (auto _ : state) {
            state.PauseTiming();
            batch.clear();
            QueueAnswers(*worker.queue, flows);
            state.ResumeTiming();
            const auto start = std::chrono::steady_clock::now();
            worker.RunTurn(batch);
            turn_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    std::filesystem::remove_all(dir);

    const double per_event_ns = turn_seconds * 1e9 / static_cast<double>(state.iterations() * flows.size());
    state.counters["ns/event"] = per_event_ns;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * flows.size()));
    if (indicators == 1)
        one_indicator_cost = per_event_ns;
    if (one_indicator_cost > 0)
        state.counters["vs_1_indicator"] = per_event_ns / one_indicator_cost;
}

BENCHMARK(BM_WorkerLookupEvent)->ArgName("indicators")->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long ContextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// The whole process's CPU over a few idle seconds, with a feed of 16
// request threads and no traffic, or with no feed at all (the baseline).
void BM_IdleFeedCpu(benchmark::State &state)
{
    const int threads = static_cast<int>(state.range(0));
    Host host("");
    auto answers = vppEventQueue::Queue::Create("answers");
    std::shared_ptr<vppDataFeed::Base> feed;
    if (threads > 0)
        feed = StartFeed(threads, answers);
    // Let every thread reach its first wait.
    std::this_thread::sleep_for(200ms);

    double cpu = 0;
    double wall = 0;
    long switches = 0;
    for (auto _ : state) {
        const double cpu_start = CpuSeconds();
        const long switches_start = ContextSwitches();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(idle_interval);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += CpuSeconds() - cpu_start;
        switches += ContextSwitches() - switches_start;
    }
    state.counters["cpu_ms/s"] = cpu * 1e3 / wall;
    state.counters["wakeups/s"] = static_cast<double>(switches) / wall;
}

BENCHMARK(BM_IdleFeedCpu)->ArgName("threads")->Arg(0)->Arg(16)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
