// Creating the plug-in through its exported entry, and the host callbacks
// that only count, queue or raise a flag.
#include <cerrno>
#include <cstring>

#include "core/plugin_fixture.h"
#include "support/error_text.h"

namespace {

class PluginEntryTest : public LoadedPluginTest
{
protected:
    ~PluginEntryTest() override { vdPlugin::SetCreateType(vdPlugin::type_processor); }
};

TEST_F(PluginEntryTest, AcceptsProcessorAndSinkTypesOnly)
{
    WriteConf("{}");
    for (uint8_t type : {1, 2}) {
        vdPlugin::SetCreateType(type);
        EXPECT_TRUE(Load()) << unsigned(type);
    }
    for (uint8_t type : {0, 3}) {
        vdPlugin::SetCreateType(type);
        EXPECT_FALSE(Load("odd")) << unsigned(type);
        EXPECT_TRUE(log.Contains("Invalid plugin type: odd [" + std::to_string(type) + "]")) << unsigned(type);
    }
    // The rejected object was destroyed, not leaked.
    EXPECT_EQ(log.Count("odd: destroyed"), 2u);
}

TEST_F(PluginEntryTest, CreationFailuresReachTheHost)
{
    vdPluginInitFunction init = PluginInit();
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(ErrorText([&] { init("proc-intel", {}); }),
              std::string("proc-intel: conf_filename: ") + strerror(EINVAL));
}

TEST_F(PluginEntryTest, NamesOverwriteTheOutput)
{
    WriteConf("{}");
    plugin = Load();
    ASSERT_TRUE(plugin);
    std::string text = "left over";
    plugin->GetLibrary(text);
    EXPECT_EQ(text, "velbor-proc-intel");
    plugin->GetName(text);
    EXPECT_EQ(text, "Velbor Processor Plugin Intel");
    plugin->GetVersion(text);
    EXPECT_EQ(text, "1.2.36");
}

TEST_F(PluginEntryTest, StatusBeforeTheFirstLoad)
{
    WriteConf("{}");
    plugin = Load();
    ASSERT_TRUE(plugin);
    json status;
    plugin->GetStatus(status);
    EXPECT_EQ(status, json::parse(R"({"total_flows_processed": 0, "total_flows_processed_interval": 0,
        "total_intelligence_hits": 0, "total_intelligence_hits_interval": 0, "indicators": null})"));
}

TEST_F(PluginEntryTest, FlowsAreCountedAndQueuedWhateverTheirCode)
{
    WriteConf("{}");
    plugin = Load();
    ASSERT_TRUE(plugin);

    vdFlow::Ptr flow = Flow(1, 80);
    plugin->DispatchProcessorEvent(vdPluginProcessor::flow_expired, flow);
    plugin->DispatchProcessorEvent(vdPluginProcessor::none, flow);
    // Handed-in null pointers are ignored.
    vdFlow::Ptr none;
    plugin->DispatchProcessorEvent(vdPluginProcessor::dpi_complete, none);
    plugin->DispatchProcessorEvent(vdPluginProcessor::dpi_complete, static_cast<vdFlowMap *>(nullptr));

    json status;
    plugin->GetStatus(status);
    EXPECT_EQ(status["total_flows_processed"], 2);
}

TEST_F(PluginEntryTest, AFlowMapWalkQueuesEligibleFlowsOnly)
{
    WriteConf("{}");
    plugin = Load();
    ASSERT_TRUE(plugin);

    vdFlowMap map(4);
    auto eligible = Flow(1, 80);
    auto excluded = Flow(2, 80);
    excluded->flowmap_excluded = true;
    auto not_eligible = Flow(3, 80);
    not_eligible->flowmap_eligible = false;
    for (const auto &flow : {eligible, excluded, not_eligible, Flow(4, 80), Flow(5, 80)})
        map.Insert(flow);
    map.Acquire(2)[99] = nullptr;  // a hole in a bucket
    map.Release(2);
    plugin->DispatchProcessorEvent(vdPluginProcessor::dpi_update, &map);

    vdFlowMap empty(0);
    plugin->DispatchProcessorEvent(vdPluginProcessor::dpi_update, &empty);

    json status;
    plugin->GetStatus(status);
    EXPECT_EQ(status["total_flows_processed"], 3);
    // Every bucket was given back.
    for (size_t index = 0; index < map.buckets; index++) {
        map.Acquire(index);
        map.Release(index);
    }
}

}  // namespace
