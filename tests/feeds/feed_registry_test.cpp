// The data-feed table: one row per source, the builds of "data_feeds"
// members through it, and a test's scoped replacement of a row.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "feeds/cloud/cloud_intel.h"
#include "feeds/feed_registry.h"
#include "feeds/signatures/velbor_api.h"
#include "support/error_text.h"
#include "support/feed_injector.h"
#include "vd_config.h"

namespace {

using vppDataFeed::Base;
using vppDataFeed::BuildContext;
using vppDataFeed::DataSource;
using vppDataFeed::DataType;
using vppDataFeed::FeedRow;
using vppDataFeed::FeedTable;

class PlainFeed : public Base
{
public:
    PlainFeed(const std::string &tag, DataSource source) : Base(tag, "", source, DataType::invalid) {}
};

vppDataFeed::Build BuildPlain(DataSource source)
{
    return [source](const std::string &name, const json &, BuildContext &) {
        return std::make_shared<PlainFeed>(name, source);
    };
}

std::string TableError(std::vector<FeedRow> rows)
{
    return ErrorText([&] { FeedTable table(std::move(rows)); });
}

TEST(FeedTable, ASourceRegisteredTwiceIsAnError)
{
    EXPECT_EQ(TableError({{DataSource::geo_maxmind, BuildPlain(DataSource::geo_maxmind), nullptr},
                          {DataSource::cloud_intel, nullptr, nullptr},
                          {DataSource::geo_maxmind, nullptr, nullptr}}),
              "data feed table: data source registered twice: geo_maxmind");
    EXPECT_EQ(TableError({{DataSource::geo_maxmind, nullptr, nullptr}, {DataSource::cloud_intel, nullptr, nullptr}}),
              "");

    // Replacing is explicit and leaves the original alone.
    FeedTable table({{DataSource::geo_maxmind, nullptr, nullptr}});
    FeedTable replaced = table.Replacing({DataSource::geo_maxmind, BuildPlain(DataSource::geo_maxmind), nullptr});
    EXPECT_FALSE(table.Find(DataSource::geo_maxmind)->build);
    EXPECT_TRUE(replaced.Find(DataSource::geo_maxmind)->build);
    EXPECT_EQ(replaced.Find(DataSource::cloud_intel), nullptr);
}

class FeedMemberTest : public ::testing::Test
{
protected:
    FeedMemberTest() { config.variables["path_state_persistent"] = "/var/lib/state"; }

    // The error text of building the member, or "" when it built a feed.
    std::string BuildError(const std::string &key, const json &conf)
    {
        return ErrorText([&] { feed = vppDataFeed::BuildMember(key, conf, context); });
    }

    vdGlobalConfig config;
    std::string data_path = "/legacy.json";
    BuildContext context{"proc-intel", "intel.json", vppEventQueue::Queue::Create("event_queue"), &data_path};
    std::shared_ptr<Base> feed;
};

TEST_F(FeedMemberTest, TheKeyNamesTheSourceAndEachFailureKeepsItsMessage)
{
    struct Case {
        const char *key;
        const char *conf;
        std::string error;
        std::string data_path;
    };
    const std::vector<Case> cases = {
        {"geo_maxmind", "{}", "intel.json: invalid or unsupported data feed: geo_maxmind", "/legacy.json"},
        {"none", "{}", "intel.json: invalid or unsupported data feed: none", "/legacy.json"},
        {"Velbor_API", "{}", "intel.json: invalid or unsupported data feed: Velbor_API", "/legacy.json"},
        {"signatures", "{}", "intel.json: invalid or unsupported data feed: signatures", "/legacy.json"},
        {"velbor_api", R"({"data_path": 1})", "proc-intel: invalid string parameter type: data_path", "/legacy.json"},
        {"cloud_intel", "{}", "cloud_intel: required string parameter not found: type", "/legacy.json"},
        {"cloud_intel", R"({"type": 1})", "cloud_intel: invalid string parameter type: type", "/legacy.json"},
        {"cloud_intel", R"({"type": "whatever"})", "cloud_intel: error loading data feed; invalid data_source",
         "/legacy.json"},
        {"cloud_intel", R"({"type": "velbor_api"})", "cloud_intel: error loading data feed; unsupported data_source",
         "/legacy.json"},
        {"cloud_intel", R"({"type": "geo_maxmind", "data_path": "/x"})",
         "intel.json: error creating data feed: cloud_intel", "/legacy.json"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.conf);
        data_path = "/legacy.json";
        EXPECT_EQ(BuildError(c.key, json::parse(c.conf)), c.error);
        EXPECT_EQ(data_path, c.data_path);
        EXPECT_EQ(feed, nullptr);
    }
}

TEST_F(FeedMemberTest, ASignatureMemberBuildsTheFeedOfItsDataPathAndReloadsIt)
{
    vdInstance instance;
    instance.api_manager = std::make_shared<vdVelborApiManager>();
    struct Case {
        const char *conf;
        std::string data_path;
    };
    const std::vector<Case> cases = {
        {"{}", "/legacy.json"},
        {"[]", "/legacy.json"},
        {R"({"data_path": ""})", "/legacy.json"},
        {R"({"data_path": "${path_state_persistent}/sig/${unknown}"})", "/var/lib/state/sig/${unknown}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.conf);
        data_path = "/legacy.json";
        ASSERT_EQ(BuildError("velbor_api", json::parse(c.conf)), "");
        EXPECT_EQ(data_path, c.data_path);
        auto *signatures = dynamic_cast<vdfVelborAPI *>(feed.get());
        ASSERT_NE(signatures, nullptr);
        EXPECT_EQ(signatures->tag, "velbor_api");
        EXPECT_EQ(signatures->display_name, "Velbor Intelligence API");
        EXPECT_EQ(signatures->data_source, DataSource::velbor_api);
        EXPECT_EQ(signatures->data_path, c.data_path);
        // Reloaded once: the table is registered.
        EXPECT_EQ(signatures->tags_version, 2u);
    }
}

TEST_F(FeedMemberTest, AnInjectedRowServesItsScopeAndIsRestoredAfter)
{
    const json cloud = json::parse(R"({"type": "cloud_intel"})");
    {
        // A copy: the context the factory passes lives only during the build.
        BuildContext seen_context;
        BuildContext *seen = nullptr;
        FeedInjector cloud_row(DataSource::cloud_intel, [&](const std::string &name, const json &, auto &given) {
            seen_context = given;
            seen = &seen_context;
            return std::make_shared<PlainFeed>(name, DataSource::cloud_intel);
        });
        // The member keyed cloud_intel still goes by its "type".
        EXPECT_EQ(BuildError("cloud_intel", json::object()), "cloud_intel: required string parameter not found: type");
        ASSERT_EQ(BuildError("cloud_intel", cloud), "");
        EXPECT_EQ(feed->tag, "cloud_intel");
        ASSERT_NE(seen, nullptr);
        EXPECT_EQ(seen->queue, context.queue);

        {
            // A nested injector over another source, with a member of its own.
            FeedInjector geo_row(FeedRow{DataSource::geo_maxmind, nullptr, BuildPlain(DataSource::geo_maxmind)});
            EXPECT_EQ(BuildError("geo_maxmind", json::object()), "");
            EXPECT_EQ(feed->data_source, DataSource::geo_maxmind);
            EXPECT_EQ(BuildError("cloud_intel", cloud), "");
        }
        EXPECT_EQ(BuildError("geo_maxmind", json::object()),
                  "intel.json: invalid or unsupported data feed: geo_maxmind");
        EXPECT_EQ(BuildError("cloud_intel", cloud), "");
    }
    feed.reset();
    // The production row again: the cloud-intel feed itself.
    ASSERT_EQ(BuildError("cloud_intel", cloud), "");
    EXPECT_NE(dynamic_cast<vdfCloudIntel *>(feed.get()), nullptr);
    EXPECT_EQ(Base::Create("f", json::parse(R"({"type": "geo_maxmind"})"), nullptr), nullptr);
}

}  // namespace
