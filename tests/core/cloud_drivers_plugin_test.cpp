// The category and reputation drivers inside the loaded plug-in: a flow is
// looked up at the loopback cloud service, the answer comes back to every
// indicator, a category indicator reports the flow from it, and the
// reputation indicator's per-feed counts reach the status document.
#include "core/plugin_fixture.h"
#include "support/cloud_service.h"
#include "vd_api.h"

namespace {

constexpr const char *cloud_config = R"({
  "data_feeds": {
    "cloud_intel": {"type": "cloud_intel"},
    "velbor_api": {"data_path": "${path_state_persistent}/legacy.json"}
  },
  "indicators": {
    "gambling": {"indicator_driver": "category", "data_feeds": ["cloud_intel"],
                 "criteria": {"categories": [7]}, "proc_targets": ["audit"]},
    "news": {"indicator_driver": "category", "data_feeds": ["cloud_intel"],
             "criteria": {"categories": [12]}, "proc_targets": ["audit"]},
    "rep": {"indicator_driver": "reputation_ip", "data_feeds": ["velbor_api"], "proc_targets": ["audit"]}
  }
})";

class CloudDriversPluginTest : public LoadedPluginTest
{
protected:
    CloudDriversPluginTest()
    {
        config.variables["path_state_persistent"] = dir.Path("persistent");
        instance.api_manager = std::make_shared<vdVelborApiManager>();
        auto data = std::make_shared<vdVelborApiData>();
        data->urls["flow"] = service.Url();
        instance.api_manager->SetBootstrapData(vdVelborApiData::intel, data);
    }

    // The host offers an address reputation list holding the flows' upper
    // address.
    void OfferScanners()
    {
        vdVelborApiData::Signature signature;
        signature.tag = "ip_reputation_scanner";
        signature.format = "velbor-dat";
        signature.version = 1;
        signature.encryption = "none";
        signature.path =
            dir.WriteFile("scanner.dat", R"({"data_type": "ip_list", "score": 60, "data": ["198.51.100.0/24"]})");
        signature.stamp = 1;
        instance.api_manager->SetIntelSignatures({{signature.tag, signature}});
    }

    static const json *Find(const std::vector<ProcessorRecord> &records, const std::string &indicator,
                            const std::string &source)
    {
        for (const ProcessorRecord &record : records) {
            if (record.record["indicator"] == indicator && record.record["data_source"] == source)
                return &record.record;
        }
        return nullptr;
    }

    // Stopped before the host parts it calls.
    ~CloudDriversPluginTest() override { plugin.reset(); }

    CloudService service;
};

TEST_F(CloudDriversPluginTest, ACategoryIndicatorReportsAFlowFromItsCloudAnswer)
{
    OfferScanners();
    const std::string digest = vd_xxh64_to_string(0x7a7a);
    const json answer = {{digest,
                          {{"category", {{"domain", 7}, {"score", 75}}},
                           {"ip_reputation", {{"types", {{"scanner", true}, {"botnet", false}}}}}}}};
    service.Script({CloudAnswer{.body = answer.dump()}});
    Start(cloud_config);

    Hand(Flow(0x7a7a, 443));
    // rep from the signature feed and from the answer; gambling from the answer.
    auto records = out.WaitForRecords(3);
    ASSERT_EQ(records.size(), 3u) << testing::PrintToString(log.Lines());
    EXPECT_EQ(service.Requests().size(), 1u);

    const json *category = Find(records, "gambling", "cloud_intel");
    ASSERT_NE(category, nullptr);
    EXPECT_EQ((*category)["data_feed"], "cloud_intel0");
    EXPECT_EQ((*category)["attrs"]["domain_category"], 7);
    EXPECT_EQ((*category)["indicator_driver"], "category");
    EXPECT_EQ((*category)["score"], 75);
    EXPECT_EQ(records[0].digest, digest);

    const json *cloud_reputation = Find(records, "rep", "cloud_intel");
    ASSERT_NE(cloud_reputation, nullptr);
    EXPECT_EQ((*cloud_reputation)["attrs"], json({{"scanner", true}}));
    const json *signed_reputation = Find(records, "rep", "velbor_api");
    ASSERT_NE(signed_reputation, nullptr);
    EXPECT_EQ((*signed_reputation)["attrs"], json({{"scanner", true}}));

    const json status = Status()["indicators"];
    const json &feeds = status["rep"]["data_feeds"];
    EXPECT_EQ(feeds["velbor_api"]["lookups"], 1);
    EXPECT_EQ(feeds["velbor_api"]["matches"], 1);
    EXPECT_EQ(feeds["cloud_intel0"]["lookups"], 1);
    EXPECT_EQ(feeds["cloud_intel0"]["matches"], 1);
    EXPECT_EQ(feeds["cloud_intel0"]["matches_interval"], 1);
    EXPECT_EQ(feeds.size(), 2u);
    EXPECT_FALSE(status["gambling"].contains("data_feeds"));
    EXPECT_EQ(status["news"]["hits"], 0);
    EXPECT_EQ(Status()["indicators"]["rep"]["data_feeds"]["cloud_intel0"]["lookups_interval"], 0);
}

}  // namespace
