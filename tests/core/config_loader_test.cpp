// Loading and reloading the configuration file, called as the worker calls
// it: which failures keep the set-up in force and which drop it, the
// default priorities and the order of the indicator list.
#include <algorithm>

#include "core/plugin_fixture.h"

namespace {

constexpr const char *good_config = R"({
  "sink_targets": {"siem": {"sink": "sink-log", "channels": {"main": {}}}},
  "indicators": {
    "a": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"}},
    "b": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 21"}}
  }
})";

class ConfigLoaderTest : public PluginHostTest
{
protected:
    void Load(const std::string &text)
    {
        WriteConf(text);
        plugin.Reload();
    }

    std::vector<std::string> Order() const
    {
        std::vector<std::string> tags;
        for (const auto &[tag, indicator] : plugin.indicators)
            tags.push_back(tag);
        return tags;
    }

    unsigned Priority(const std::string &tag) const { return plugin.indicators_by_tag.at(tag)->priority; }

    PluginProbe plugin{"proc-intel", Params()};
};

TEST_F(ConfigLoaderTest, ReloadFailures)
{
    const std::string path = ConfPath();
    struct Case {
        const char *name;
        const char *file;  // nullptr: no file at all
        std::string message;
        bool keeps;  // the indicators in force survive
    };
    const Case cases[] = {
        {"missing file", nullptr, "error loading configuration: " + path + ": No such file or directory", true},
        {"syntax error", R"({"indicators": )", "error loading configuration: " + path + ": [json.exception.parse_error",
         true},
        {"no indicators", "{}", "invalid configuration: " + path + ": no indicators defined", false},
        {"empty indicators", R"({"indicators": {}})", "invalid configuration: " + path + ": no indicators defined",
         false},
        {"indicators not an object", R"({"indicators": ["a"]})",
         "invalid configuration: " + path + ": indicators entry must be an object.", false},
        {"driver missing", R"({"indicators": {"x": {}}})",
         "invalid configuration: proc-intel: required string parameter not found: indicator_driver", false},
        {"driver not a string", R"({"indicators": {"x": {"indicator_driver": 6}}})",
         "invalid configuration: proc-intel: invalid string parameter type: indicator_driver", false},
        {"feeds required before the driver is checked", R"({"indicators": {"x": {"indicator_driver": "bogus"}}})",
         "invalid configuration: " + path + ": x: data_feeds array is required for this indicator driver.", false},
        {"unknown driver", R"({"indicators": {"x": {"indicator_driver": "bogus", "data_feeds": ["f"]}}})",
         "invalid configuration: " + path + ": invalid indicator driver type: bogus", false},
        {"driver without a class", R"({"indicators": {"x": {"indicator_driver": "category", "data_feeds": ["f"]}}})",
         "invalid configuration: " + path + ": invalid indicator driver type: category", false},
        {"feed named by a plain string", R"({"indicators": {"x": {"indicator_driver": "tor_exit",
           "data_feeds": "velbor_api"}}})",
         "invalid configuration: " + path + ": x: data feed not found: velbor_api", false},
        {"feed name not a string", R"({"indicators": {"x": {"indicator_driver": "tor_exit", "data_feeds": [5]}}})",
         "invalid configuration: " + path + ": x: data_feeds entries must be strings.", false},
        {"disabled feed", R"({"data_feeds": {"velbor_api": {"enabled": false}},
           "indicators": {"x": {"indicator_driver": "tor_exit", "data_feeds": ["velbor_api"]}}})",
         "invalid configuration: " + path + ": x: data feed not found: velbor_api", false},
        {"unsupported feed", R"({"data_feeds": {"geo_maxmind": {}}, "indicators": {"a": {}}})",
         "invalid configuration: " + path + ": invalid or unsupported data feed: geo_maxmind", false},
        {"signature feed", R"({"data_feeds": {"velbor_api": {"data_path": "${path_state_persistent}/x"}},
           "indicators": {"a": {}}})",
         "invalid configuration: " + path + ": invalid or unsupported data feed: velbor_api", false},
        {"signature feed data path", R"({"data_feeds": {"velbor_api": {"data_path": 1}}, "indicators": {"a": {}}})",
         "invalid configuration: proc-intel: invalid string parameter type: data_path", false},
        {"feeds not an object", R"({"data_feeds": "velbor_api", "indicators": {"a": {}}})",
         "invalid configuration: " + path + ": data_feeds entry must be an object.", false},
        {"sink targets not an object", R"({"sink_targets": [1], "indicators": {"a": {}}})",
         "invalid configuration: sink_loader: sinks entry must be an object.", false},
        {"indicator's own error", R"({"indicators": {"x": {"indicator_driver": "custom"}}})",
         "invalid configuration: x: criteria must include a flow expression (flow_expr)", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Load(good_config);
        ASSERT_EQ(Order(), (std::vector<std::string>{"a", "b"}));
        auto kept = plugin.indicators;
        log.Clear();

        if (c.file != nullptr)
            WriteConf(c.file);
        else
            std::remove(ConfPath().c_str());
        plugin.Reload();

        EXPECT_TRUE(log.Contains("proc-intel: " + c.message)) << testing::PrintToString(log.Lines());
        if (c.keeps) {
            EXPECT_EQ(plugin.indicators, kept);
            EXPECT_FALSE(log.Contains("indicator offline"));
            EXPECT_FALSE(log.Contains("indicators disabled"));
        } else {
            EXPECT_TRUE(plugin.indicators.empty());
            EXPECT_TRUE(plugin.indicators_by_tag.empty());
            EXPECT_TRUE(plugin.data_feeds.empty());
            EXPECT_TRUE(log.Contains("proc-intel: indicator offline: a"));
            EXPECT_TRUE(log.Contains("proc-intel: indicators disabled until the next reload."));
        }
        // Sink targets are never dropped.
        EXPECT_EQ(plugin.sinks.count("siem"), 1u);
    }
}

TEST_F(ConfigLoaderTest, AFailedLoadKeepsTheSinkTargetsItAdded)
{
    Load(R"({"sink_targets": {"late": {"sink": "sink-log", "channels": {"c": {}}}},
             "indicators": {"x": {"indicator_driver": "bogus", "data_feeds": ["f"]}}})");
    EXPECT_TRUE(plugin.indicators.empty());
    EXPECT_EQ(plugin.sinks.count("late"), 1u);
}

TEST_F(ConfigLoaderTest, DefaultPrioritiesFollowTheEnabledIndicatorsInTagOrder)
{
    Load(R"({"indicators": {
        "a": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 1"}},
        "b": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 2"}, "enabled": false},
        "c": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 3"}, "enabled": "no"},
        "d": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 4"}},
        "z": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 5"}, "priority": 5}
      }})");
    EXPECT_EQ(Order(), (std::vector<std::string>{"z", "a", "c", "d"}));
    EXPECT_EQ(Priority("a"), 65536u);
    EXPECT_EQ(Priority("c"), 65537u);
    EXPECT_EQ(Priority("d"), 65538u);
    EXPECT_EQ(Priority("z"), 5u);
    EXPECT_TRUE(log.Contains("proc-intel: indicator disabled: b"));
    EXPECT_TRUE(log.Contains("proc-intel: intel ready to process: 4 indicator(s)"));
}

TEST_F(ConfigLoaderTest, IndicatorsOfEqualPriorityKeepTheirTagOrder)
{
    // Enough indicators that an unstable sort would mix them up.
    json indicators = json::object();
    for (int i = 0; i < 64; i++) {
        char tag[8];
        std::snprintf(tag, sizeof(tag), "i%02d", i);
        indicators[tag] = {{"indicator_driver", "custom"},
                           {"priority", i % 3},
                           {"criteria", {{"flow_expr", "other_port == " + std::to_string(i)}}}};
    }
    Load(json{{"indicators", indicators}}.dump());

    auto order = Order();
    ASSERT_EQ(order.size(), 64u);
    const std::vector<std::string> priority_0 = {"i00", "i03", "i06", "i09", "i12", "i15", "i18", "i21",
                                                 "i24", "i27", "i30", "i33", "i36", "i39", "i42", "i45",
                                                 "i48", "i51", "i54", "i57", "i60", "i63"};
    const std::vector<std::string> priority_1 = {"i01", "i04", "i07", "i10", "i13", "i16", "i19",
                                                 "i22", "i25", "i28", "i31", "i34", "i37", "i40",
                                                 "i43", "i46", "i49", "i52", "i55", "i58", "i61"};
    const std::vector<std::string> priority_2 = {"i02", "i05", "i08", "i11", "i14", "i17", "i20",
                                                 "i23", "i26", "i29", "i32", "i35", "i38", "i41",
                                                 "i44", "i47", "i50", "i53", "i56", "i59", "i62"};
    std::vector<std::string> expected = priority_0;
    expected.insert(expected.end(), priority_1.begin(), priority_1.end());
    expected.insert(expected.end(), priority_2.begin(), priority_2.end());
    EXPECT_EQ(order, expected);
    const std::pair<const char *, unsigned> priorities[] = {{"i00", 0}, {"i31", 1}, {"i62", 2}};
    for (const auto &[tag, priority] : priorities)
        EXPECT_EQ(Priority(tag), priority) << tag;
}

TEST_F(ConfigLoaderTest, AReloadReplacesEveryIndicator)
{
    Load(good_config);
    auto old_a = plugin.indicators_by_tag.at("a");
    plugin.last_event_id = 1234567;
    Load(good_config);
    EXPECT_NE(plugin.indicators_by_tag.at("a"), old_a);
    EXPECT_EQ(log.Count("proc-intel: indicator offline: a"), 1u);
    // The event id is saved before every reload.
    EXPECT_EQ(dir.ReadFile("state/proc-intel.event-id"), "1234567\n");
}

}  // namespace
