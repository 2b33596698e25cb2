// Stopping the plug-in while flows keep coming: Terminate wakes the worker,
// the drain of what is queued is bounded, what is left is counted in the log,
// and the findings of evaluated flows and the event id are kept.
#include <algorithm>
#include <atomic>
#include <thread>

#include "core/plugin_fixture.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;

// Indicators that take long to rule a flow out (each a long chain of
// comparisons that never holds), and one that matches port 23.
std::string SlowIndicatorSet()
{
    constexpr int slow_indicators = 40, comparisons = 100;
    std::string chain = "other_port == 1000";
    for (int port = 1001; port < 1000 + comparisons; port++)
        chain += " || other_port == " + std::to_string(port);
    std::string conf = R"({"indicators": {"telnet": {"indicator_driver": "custom", "score": 50,
        "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]})";
    for (int i = 0; i < slow_indicators; i++)
        conf += ", \"slow" + std::to_string(i) + R"(": {"indicator_driver": "custom", "criteria": {"flow_expr": ")" +
                chain + R"("}, "proc_targets": ["audit"]})";
    return conf + "}}";
}

class PluginStopTest : public LoadedPluginTest
{
protected:
    // Hands flows in without end (until stopped), keeping about backlog of
    // them ahead of the worker's evaluation, as the status reports it.
    void StartProducer(uint64_t backlog)
    {
        producer = std::thread([this, backlog] {
            std::vector<vdFlow::Ptr> flows;
            for (uint64_t digest = 1; digest <= 64; digest++)
                flows.push_back(Flow(digest, digest % 2 == 0 ? 23 : 443));
            uint64_t handed = 0;
            while (!stop_producer) {
                if (handed - Evaluated() >= backlog) {
                    std::this_thread::yield();
                    continue;
                }
                for (int i = 0; i < 1000; i++)
                    Hand(flows[handed++ % flows.size()]);
            }
        });
    }

    uint64_t Evaluated()
    {
        const json status = Status();
        return status["indicators"]["telnet"]["flows_evaluated"].get<uint64_t>();
    }

    bool WaitForEvaluated(uint64_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (Evaluated() < count) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    void StopProducer()
    {
        stop_producer = true;
        if (producer.joinable())
            producer.join();
    }

    ~PluginStopTest() override { StopProducer(); }

    std::atomic<bool> stop_producer{false};
    std::thread producer;
};

TEST_F(PluginStopTest, AStopUnderEndlessFlowsEndsCountsWhatIsLeftAndKeepsTheFindings)
{
    Start(SlowIndicatorSet());
    ASSERT_TRUE(log.WaitFor("intel ready to process"));
    StartProducer(200000);
    // Evaluating: findings are on their way when the stop comes.
    ASSERT_TRUE(WaitForEvaluated(1000));

    plugin->Terminate();
    // The producer goes on until the worker has ended; the deadline is far
    // beyond the drain's bound, so that only a drain without end fails.
    ASSERT_TRUE(log.WaitFor("proc-intel: intel offline: shutting down", 30s));
    StopProducer();
    ExpectStopsWithin([&] { plugin.reset(); }, 10s, "deleting the plug-in");

    // "proc-intel: stop: <count> queued flow(s) not evaluated"
    const std::string prefix = "proc-intel: stop: ", suffix = " queued flow(s) not evaluated\n";
    bool logged = false;
    for (const auto &line : log.Lines()) {
        if (line.rfind(prefix, 0) != 0 || line.size() <= prefix.size() + suffix.size() ||
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string count = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
        logged = true;
        EXPECT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << line;
        EXPECT_GT(std::strtoull(count.c_str(), nullptr, 10), 0u) << line;
    }
    EXPECT_TRUE(logged);

    // Every finding was output, and the last id handed out is saved.
    const auto records = out.Records();
    ASSERT_FALSE(records.empty());
    uint64_t last_id = 0;
    for (const auto &record : records)
        last_id = std::max(last_id, record.record["id"].get<uint64_t>());
    EXPECT_EQ(dir.ReadFile("state/proc-intel.event-id"), std::to_string(last_id) + "\n");
    EXPECT_EQ(log.Count("proc-intel: intel offline: shutting down"), 1u);
}

TEST_F(PluginStopTest, FlowsHandedInBeforeAStopAreAllEvaluatedWhenThereIsTime)
{
    Start(SlowIndicatorSet());
    ASSERT_TRUE(log.WaitFor("intel ready to process"));
    for (uint64_t digest = 1; digest <= 600; digest++)
        Hand(Flow(digest, digest % 3 == 0 ? 23 : 443));
    ExpectStopsWithin([&] { plugin.reset(); }, 30s, "stopping the plug-in");
    EXPECT_EQ(out.Records().size(), 200u);
    EXPECT_FALSE(log.Contains("not evaluated"));
}

// The plug-in object run directly, to see its queue's waits.
class WorkerWakeTest : public PluginHostTest
{
protected:
    // Waits, with a deadline, until count consumers are blocked on the queue.
    bool WaitForWaiting(size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (plugin.queue->Waiting() != count) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    PluginProbe plugin{"proc-intel", Params()};
};

TEST_F(WorkerWakeTest, TerminateEndsTheWaitForFlowsAtOnce)
{
    WriteConf(R"({"indicators": {"telnet": {"indicator_driver": "custom",
        "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]}}})");
    plugin.Create();
    ASSERT_TRUE(log.WaitFor("intel ready to process"));
    // A second waiter with a long deadline beside the worker: only the stop
    // can end its wait early, as it ends the worker's.
    size_t taken = 1;
    std::thread waiter([&] {
        std::vector<vppEventQueue::Event> batch;
        taken = plugin.queue->Pop(batch, 60);
    });
    ASSERT_TRUE(WaitForWaiting(2));
    plugin.Terminate();
    ExpectStopsWithin([&] { waiter.join(); }, 30s, "the queue's wait");
    EXPECT_EQ(taken, 0u);
    ExpectStopsWithin([&] { plugin.Join(); }, 30s, "the worker");
    EXPECT_TRUE(log.Contains("proc-intel: intel offline: shutting down"));
    EXPECT_EQ(plugin.queue->Waiting(), 0u);
}

}  // namespace
