// Flows the host keeps changing while the worker filters them: the host's
// packet threads update a flow under its lock, so every read of the worker
// must hold that lock too (the sanitizer build reports any that does not).
#include <atomic>
#include <thread>

#include "core/plugin_fixture.h"

namespace {

constexpr size_t flow_count = 8;
constexpr size_t rounds = 25;

// Both indicators match whatever the host writes, so the number of records
// is known; their filters and expressions read every field the host changes.
constexpr const char *two_indicators = R"({"indicators": {
  "by_host": {"indicator_driver": "custom", "score": 50, "proc_targets": ["audit"],
              "criteria": {"min_bytes": 100, "trigger_on_wan": false,
                           "flow_expr": "host_server_name > 'a' && total_bytes >= 1000 && iface_role == 1"}},
  "by_dns": {"indicator_driver": "custom", "score": 50, "proc_targets": ["audit"],
             "criteria": {"min_bytes": 100, "trigger_on_wan": false,
                          "flow_expr": "dns_host_name && ifname == 'eth0'"}}
}})";

// A host packet thread: rewrites the flows' counters, interface and names
// under each flow's lock until told to stop. The names are longer than any
// in-place string buffer, so each write frees the text a racing read holds.
class HostFlowWriter
{
public:
    // The flows carry names before the first hand-in, so every one matches.
    explicit HostFlowWriter(std::vector<vdFlow::Ptr> flows) : flows(std::move(flows))
    {
        for (const auto &flow : this->flows)
            Rewrite(*flow, 0);
        thread = std::thread([this] { Run(); });
    }
    ~HostFlowWriter()
    {
        stop = true;
        thread.join();
    }

    uint64_t Writes() const { return writes.load(); }

private:
    void Run()
    {
        for (uint64_t turn = 1; !stop; turn++) {
            for (const auto &flow : flows)
                Rewrite(*flow, turn);
            writes++;
        }
    }

    static void Rewrite(vdFlow &flow, uint64_t turn)
    {
        const std::string suffix = std::to_string(turn) + ".updates.example.com";
        std::lock_guard<std::recursive_mutex> guard(flow.lock);
        flow.stats.total_bytes = 1000 + turn;
        flow.iface = std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan});
        flow.host_server_name = "host-" + suffix;
        flow.dns_host_name = "dns-" + suffix;
    }

    const std::vector<vdFlow::Ptr> flows;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> writes{0};
    std::thread thread;
};

class FlowLockTest : public LoadedPluginTest
{
};

TEST_F(FlowLockTest, FlowsChangedByTheHostAreFilteredAndEvaluatedUnderTheirLock)
{
    Start(two_indicators);
    ASSERT_TRUE(log.WaitFor("intel ready to process: 2 indicator(s)"));

    std::vector<vdFlow::Ptr> flows;
    for (uint64_t digest = 1; digest <= flow_count; digest++)
        flows.push_back(Flow(digest, 443));
    HostFlowWriter writer(flows);

    for (size_t round = 0; round < rounds; round++)
        for (const auto &flow : flows)
            Hand(flow);

    // Every hand-in matches both indicators, whatever the host wrote last.
    const size_t expected = 2 * flow_count * rounds;
    EXPECT_EQ(out.WaitForRecords(expected, std::chrono::seconds(60)).size(), expected);
    EXPECT_GT(writer.Writes(), 0u);
}

}  // namespace
