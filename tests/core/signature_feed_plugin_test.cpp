// The signature feed inside the loaded plug-in: a configured feed answers a
// feed-lookup indicator from an offered signature, and a poll the host
// requests picks up a signature offered later.
#include "core/plugin_fixture.h"
#include "feeds/signatures/velbor_api.h"

namespace {

constexpr const char *tor_config = R"({
  "data_feeds": {"velbor_api": {"data_path": "${path_state_persistent}/legacy.json"}},
  "indicators": {
    "exit": {"indicator_driver": "tor_exit", "data_feeds": ["velbor_api"], "proc_targets": ["audit"]},
    "relay": {"indicator_driver": "tor_relay", "data_feeds": ["velbor_api"], "proc_targets": ["audit"]}
  }
})";

class SignatureFeedPluginTest : public LoadedPluginTest
{
protected:
    SignatureFeedPluginTest()
    {
        config.variables["path_state_persistent"] = dir.Path("persistent");
        instance.api_manager = std::make_shared<vdVelborApiManager>();
    }

    // An ip_list signature of tag holding the flows' upper address.
    vdVelborApiData::Signature IpSignature(const std::string &tag, unsigned score)
    {
        vdVelborApiData::Signature signature;
        signature.tag = tag;
        signature.format = "velbor-dat";
        signature.version = 1;
        signature.encryption = "none";
        signature.path = dir.WriteFile(tag + ".dat", R"({"data_type": "ip_list", "score": )" + std::to_string(score) +
                                                         R"(, "data": ["198.51.100.0/24"]})");
        signature.stamp = 1;
        return signature;
    }

    void Offer(const std::vector<vdVelborApiData::Signature> &signatures)
    {
        vdVelborApiManager::Signatures offered;
        for (const auto &signature : signatures)
            offered[signature.tag] = signature;
        instance.api_manager->SetIntelSignatures(offered);
    }

    static std::vector<std::string> Indicators(const std::vector<ProcessorRecord> &records)
    {
        std::vector<std::string> tags;
        for (const auto &record : records)
            tags.push_back(record.record.at("indicator").get<std::string>());
        std::sort(tags.begin(), tags.end());
        return tags;
    }
};

TEST_F(SignatureFeedPluginTest, OfferedSignaturesBecomeIntelAndAPollAddsNewOnes)
{
    Offer({IpSignature("tor_exit", 70)});
    Start(tor_config);

    Hand(Flow(0x1, 443));
    auto records = out.WaitForRecords(1);
    ASSERT_EQ(records.size(), 1u) << testing::PrintToString(log.Lines());
    const json &record = records[0].record;
    EXPECT_EQ(record["indicator"], "exit");
    EXPECT_EQ(record["data_source"], "velbor_api");
    EXPECT_EQ(record["data_feed"], "velbor_api");
    EXPECT_EQ(record["score"], 70);

    // The host offers the relay list and asks for a poll.
    Offer({IpSignature("tor_exit", 70), IpSignature("tor_relay", 60)});
    plugin->DispatchProcessorEvent(vdPluginProcessor::periodic_update);
    ASSERT_TRUE(log.WaitFor("velbor_api: tor_relay: intelligence signature offered."));

    Hand(Flow(0x2, 443));
    records = out.WaitForRecords(3);
    ASSERT_EQ(records.size(), 3u);
    auto second = out.RecordsFor(vd_xxh64_to_string(0x2));
    EXPECT_EQ(Indicators(second), (std::vector<std::string>{"exit", "relay"}));
    // The configured data path, expanded.
    EXPECT_TRUE(log.Contains("legacy intelligence not loaded: " + dir.Path("persistent") + "/legacy.json"));
}

// The worker's poll step with the plug-in's feeds open to the test.
class PollProbe : public PluginProbe
{
public:
    using PluginProbe::PluginProbe;
    using vppPlugin::PollSignatureFeeds;
};

// A feed of the signature source that is some other class.
class ForeignFeed : public vppDataFeed::Base
{
public:
    ForeignFeed() : Base("foreign", "", vppDataFeed::DataSource::velbor_api, vppDataFeed::DataType::invalid) {}
};

TEST_F(SignatureFeedPluginTest, ThePollAsksEverySignatureFeedAndPassesOverOthers)
{
    PollProbe probe("proc-intel", Params());
    auto signatures = std::make_shared<vdfVelborAPI>("sig", json::object(), dir.Path("legacy.json"));
    signatures->Reload();
    probe.data_feeds["sig"] = signatures;
    probe.data_feeds["foreign"] = std::make_shared<ForeignFeed>();

    Offer({IpSignature("tor_exit", 70)});
    probe.PollSignatureFeeds();
    EXPECT_EQ(signatures->tags.count("tor_exit"), 1u);
    EXPECT_EQ(signatures->tags_version, 3u);
}

}  // namespace
