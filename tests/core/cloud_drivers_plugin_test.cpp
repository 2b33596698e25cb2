// The category and reputation drivers inside the loaded plug-in: a flow is
// looked up at the loopback cloud service, the answer comes back to every
// indicator, a category indicator reports the flow from it, and the
// reputation indicator's per-feed counts reach the status document.
#include <future>

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

constexpr const char *answer_readers_config = R"({
  "data_feeds": {"cloud_intel": {"type": "cloud_intel", "instances": 4}},
  "indicators": {
    "gambling": {"indicator_driver": "category", "data_feeds": ["cloud_intel"],
                 "criteria": {"categories": [7]}, "proc_targets": ["audit"]},
    "news": {"indicator_driver": "category", "data_feeds": ["cloud_intel"],
             "criteria": {"categories": [12]}, "proc_targets": ["audit"]},
    "geo": {"indicator_driver": "geo", "data_feeds": ["cloud_intel"], "proc_targets": ["audit"]},
    "rep": {"indicator_driver": "reputation_ip", "data_feeds": ["cloud_intel"], "proc_targets": ["audit"]}
  }
})";

// Each driver finds in an answer of many members what the flow's own member
// says, never another's; an answer without it gives each driver the line a
// missing member has always given.
TEST_F(CloudDriversPluginTest, EachDriverReadsOnlyTheFlowsOwnMemberOfALargeAnswer)
{
    const std::string found = vd_xxh64_to_string(0x11), missing = vd_xxh64_to_string(0x12);
    json answer = json::object();
    for (int i = 0; i < 3000; i++) {
        answer["m" + std::to_string(i)] = {{"category", {{"domain", 12}}},
                                           {"country", {{"country_code", "US"}}},
                                           {"ip_reputation", {{"types", {{"botnet", true}}}}}};
    }
    answer[found] = {{"category", {{"domain", 7}}},
                     {"country",
                      {{"country_code", "DE"}, {"country_name", "Germany"}, {"continent_code", "EU"},
                       {"continent_name", "Europe"}}},
                     {"ip_reputation", {{"types", {{"scanner", true}}}}}};
    json without = answer;
    without.erase(found);
    service.Script({CloudAnswer{.body = answer.dump()}});
    Start(answer_readers_config);
    Hand(Flow(0x11, 443));
    auto records = out.WaitForRecords(3);
    ASSERT_EQ(records.size(), 3u) << testing::PrintToString(log.Lines());

    struct Row {
        const char *indicator;
        json attrs;
    } rows[] = {
        {"gambling", {{"domain_category", 7}}},
        {"geo",
         {{"country_code", "DE"}, {"country_name", "Germany"}, {"continent_code", "EU"}, {"continent_name", "Europe"}}},
        {"rep", {{"scanner", true}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.indicator);
        const json *record = Find(records, row.indicator, "cloud_intel");
        ASSERT_NE(record, nullptr);
        EXPECT_EQ((*record)["attrs"], row.attrs);
    }
    EXPECT_EQ(Find(records, "news", "cloud_intel"), nullptr);

    service.Script({CloudAnswer{.body = without.dump()}});
    Hand(Flow(0x12, 443));
    const std::string line = " not found or is invalid: [json.exception.out_of_range.403] key '" + missing + "' not found\n";
    for (const char *indicator : {"gambling", "news", "geo", "rep"}) {
        EXPECT_TRUE(log.WaitFor(std::string(indicator) + ": " + missing + line))
            << indicator << testing::PrintToString(log.Lines());
    }
}

// A stop while answers stream in ends within the deadline, and the request
// threads take no lookup after it: at most the exchanges under way finish.
TEST_F(CloudDriversPluginTest, AStopWhileAnswersStreamInEndsAndTakesNoMoreLookups)
{
    constexpr size_t threads = 4;
    Start(answer_readers_config);
    for (uint64_t digest = 1; digest <= 400; digest++)
        Hand(Flow(0x1000 + digest, 443));
    ASSERT_TRUE(service.WaitForRequests(20)) << testing::PrintToString(log.Lines());

    plugin->Terminate();
    const size_t at_stop = service.Requests().size();
    // Lookups still queued stay untaken while the plug-in winds down.
    EXPECT_FALSE(service.WaitForRequests(at_stop + threads + 1, std::chrono::seconds(1)));
    auto stopped = std::async(std::launch::async, [this] { plugin.reset(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LE(service.Requests().size(), at_stop + threads);
    EXPECT_LT(service.Requests().size(), 400u);
}

}  // namespace
