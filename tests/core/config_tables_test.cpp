// The configuration loader reading the driver and feed tables: which drivers
// need feeds, and a feed row reached from a "data_feeds" member.
#include "core/plugin_fixture.h"
#include "support/feed_injector.h"

namespace {

using vppDataFeed::DataSource;

class ConfigTablesTest : public PluginHostTest
{
protected:
    void Load(const std::string &text)
    {
        WriteConf(text);
        plugin.Reload();
    }

    PluginProbe plugin{"proc-intel", Params()};
};

TEST_F(ConfigTablesTest, WhichDriversNeedDataFeeds)
{
    const std::string path = ConfPath();
    struct Case {
        const char *driver;
        std::string message;
    };
    const Case cases[] = {
        {"category", "invalid configuration: " + path + ": x: data_feeds array is required for this indicator driver."},
        {"tor_exit", "invalid configuration: " + path + ": x: data_feeds array is required for this indicator driver."},
        {"custom", "invalid configuration: x: criteria must include a flow expression (flow_expr)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.driver);
        log.Clear();
        Load(R"({"indicators": {"x": {"indicator_driver": ")" + std::string(c.driver) + R"("}}})");
        EXPECT_TRUE(log.Contains("proc-intel: " + c.message)) << testing::PrintToString(log.Lines());
        EXPECT_TRUE(plugin.indicators.empty());
    }

    // The prober probes servers itself: it needs no feeds.
    log.Clear();
    Load(R"({"indicators": {"x": {"indicator_driver": "doh_scanner"}}})");
    EXPECT_FALSE(log.Contains("invalid configuration")) << testing::PrintToString(log.Lines());
    EXPECT_EQ(plugin.indicators.size(), 1u);
}

class PlainFeed : public vppDataFeed::Base
{
public:
    PlainFeed(const std::string &tag, std::shared_ptr<vppEventQueue::Queue> queue)
        : Base(tag, "", DataSource::cloud_intel, vppDataFeed::DataType::invalid, std::move(queue))
    {
    }
};

TEST_F(ConfigTablesTest, AFeedMemberIsBuiltThroughTheTable)
{
    FeedInjector cloud(DataSource::cloud_intel, [](const std::string &name, const json &, auto &context) {
        return std::make_shared<PlainFeed>(name, context.queue);
    });
    Load(R"({"data_feeds": {"cloud_intel": {"type": "cloud_intel"}},
             "indicators": {"t": {"indicator_driver": "tor_exit", "data_feeds": ["cloud_intel"]}}})");

    ASSERT_EQ(plugin.data_feeds.count("cloud_intel"), 1u) << testing::PrintToString(log.Lines());
    const auto &feed = plugin.data_feeds.at("cloud_intel");
    EXPECT_EQ(feed->tag, "cloud_intel");
    EXPECT_NE(feed->event_queue, nullptr);
    EXPECT_EQ(plugin.indicators_by_tag.at("t")->data_feeds.at("cloud_intel"), feed);
    EXPECT_TRUE(log.Contains("proc-intel: created data_feed: cloud_intel"));
}

}  // namespace
