// Loading and reloading the configuration file, called as the worker calls
// it: which failures keep the set-up in force and which drop it, the
// default priorities and the order of the indicator list.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>

#include "core/plugin_fixture.h"

namespace {

using namespace std::string_literals;

constexpr const char *good_config = R"({
  "sink_targets": {"siem": {"sink": "sink-log", "channels": {"main": {}}}},
  "indicators": {
    "a": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"}},
    "b": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 21"}}
  }
})";

// good_config with 100,000 nested objects under a key nobody reads, all on
// the first line.
std::string DeeplyNestedConfig()
{
    std::string unread;
    for (int i = 0; i < 100000; i++)
        unread += "{\"k\": ";
    unread += "1" + std::string(100000, '}');
    return "{\"unread\": " + unread + ", " + std::string(good_config).substr(1);
}

// A configuration file's text; nullptr: no file at all.
struct Content {
    Content(const char *text) : present(text != nullptr), text(text != nullptr ? text : "") {}
    Content(std::string text) : present(true), text(std::move(text)) {}

    bool present;
    std::string text;
};

// What replaces the file before a reload.
enum class Special {
    none,
    fifo,       // a FIFO nobody writes to
    directory,  // an empty directory
    device,     // a link to /dev/zero, which never ends
};

void MakeSpecial(const std::string &path, Special special)
{
    std::remove(path.c_str());
    switch (special) {
    case Special::fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        break;
    case Special::directory:
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        break;
    case Special::device:
        ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
        break;
    case Special::none:
        break;
    }
}

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
        Content file;
        std::string message;
        bool keeps;  // the indicators in force survive
        Special special = Special::none;
    };
    const std::string deep = DeeplyNestedConfig();
    const std::string with_nul = good_config + "\0 trailing"s;
    const std::string too_large = std::string(good_config) + std::string(16 * 1024 * 1024, ' ');
    // The parser ends a line comment at a carriage return as well as at a
    // line feed: what follows the CR is read as JSON and held to the rules.
    const std::string unread_head =
        R"({"indicators": {"x": {"indicator_driver": "custom", "criteria": {"flow_expr": "ip_protocol == 6"}, )"
        R"("proc_targets": ["p"], "unread": //)" "\r";
    const std::string deep_behind_cr = unread_head + std::string(100000, '[') + std::string(100000, ']') + "\n}}}";
    const std::string repeat_behind_cr = unread_head + R"(1, "score": 1, "score": 2)" "\n}}}";
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
        {"an indicator's error after a signature feed loaded",
         R"({"data_feeds": {"velbor_api": {"data_path": "${path_state_persistent}/x"}},
           "indicators": {"a": {}}})",
         "invalid configuration: proc-intel: required string parameter not found: indicator_driver", false},
        {"signature feed data path", R"({"data_feeds": {"velbor_api": {"data_path": 1}}, "indicators": {"a": {}}})",
         "invalid configuration: proc-intel: invalid string parameter type: data_path", false},
        {"feeds not an object", R"({"data_feeds": "velbor_api", "indicators": {"a": {}}})",
         "invalid configuration: " + path + ": data_feeds entry must be an object.", false},
        {"sink targets not an object", R"({"sink_targets": [1], "indicators": {"a": {}}})",
         "invalid configuration: sink_loader: sinks entry must be an object.", false},
        {"indicator's own error", R"({"indicators": {"x": {"indicator_driver": "custom"}}})",
         "invalid configuration: x: criteria must include a flow expression (flow_expr)", false},
        {"100,000 nested objects", deep,
         "error loading configuration: " + path + ": line 1: nested deeper than 64 levels", true},
        {"nesting behind a comment ended by CR", deep_behind_cr,
         "error loading configuration: " + path + ": line 1: nested deeper than 64 levels", true},
        {"a key repeated behind a comment ended by CR", repeat_behind_cr,
         "error loading configuration: " + path + ": line 1: duplicate key \"score\"", true},
        {"NUL byte after the document", with_nul, "error loading configuration: " + path + ": line 7: NUL byte", true},
        {"indicator given twice", R"({"indicators": {
           "a": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 1"}},
           "a": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 2"}}}})",
         "error loading configuration: " + path + ": line 3: duplicate key \"a\"", true},
        {"score given twice", R"({"indicators": {"a": {"indicator_driver": "custom",
           "criteria": {"flow_expr": "other_port == 1"},
           "score": 10, "score": 90}}})",
         "error loading configuration: " + path + ": line 3: duplicate key \"score\"", true},
        {"file over the bound", too_large, "error loading configuration: " + path + ": larger than 16777216 bytes",
         true},
        {"FIFO", nullptr, "error loading configuration: " + path + ": not a regular file", true, Special::fifo},
        {"directory", nullptr, "error loading configuration: " + path + ": not a regular file", true,
         Special::directory},
        {"device", nullptr, "error loading configuration: " + path + ": not a regular file", true, Special::device},
        {"empty indicator tag", R"({"indicators": {"": {"indicator_driver": "custom",
           "criteria": {"flow_expr": "other_port == 1"}}}})",
         "invalid configuration: " + path + ": indicator tags must not be empty.", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MakeSpecial(path, Special::none);
        Load(good_config);
        ASSERT_EQ(Order(), (std::vector<std::string>{"a", "b"}));
        auto kept = plugin.indicators;
        log.Clear();

        if (c.file.present)
            WriteConf(c.file.text);
        else
            MakeSpecial(path, c.special);
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
        char tag[16];
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

TEST_F(ConfigLoaderTest, ABadFlowExpressionIsReportedAtLoadAndNeverMatches)
{
    Load(R"({"indicators": {
        "bad": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == (23"}},
        "good": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"}}
      }})");

    // Loaded all the same: the operator's file decides, the line tells why.
    EXPECT_EQ(Order(), (std::vector<std::string>{"bad", "good"}));
    std::vector<std::string> reports;
    for (const auto &line : log.Lines(vdLogLevel::operational))
        if (line.find("flow_expr") != std::string::npos)
            reports.push_back(line);
    ASSERT_EQ(reports.size(), 1u) << testing::PrintToString(log.Lines());
    EXPECT_TRUE(reports[0].starts_with("bad: criteria flow_expr never matches: flow expression: ")) << reports[0];
    EXPECT_NE(reports[0].find("expected ')'"), std::string::npos) << reports[0];

    // Each evaluation still fails with its own debug line.
    log.Clear();
    vppEventQueue::Event event;
    event.event = vdPluginProcessor::dpi_complete;
    event.flow = Flow(1, 23);
    EXPECT_TRUE(plugin.indicators_by_tag.at("bad")->Filtered(event, false));
    EXPECT_FALSE(plugin.indicators_by_tag.at("good")->Filtered(event, false));
    EXPECT_TRUE(log.Contains("bad: other_port == (23: flow expression: "));
}

// The plug-in passes no variables, so a name that is no flow field is a
// mistake wherever it stands, even where short-circuiting would skip it.
TEST_F(ConfigLoaderTest, AFlowExpressionNamingNoFieldIsReportedAtLoadAndNeverMatches)
{
    Load(R"({"indicators": {
        "typo": {"indicator_driver": "custom", "criteria": {"flow_expr": "ip_protocl == 6"}},
        "skipped": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23 || ip_protocl == 6"}},
        "good": {"indicator_driver": "custom", "criteria": {"flow_expr": "ip_protocol == 6 && other_port == 23"}}
      }})");

    EXPECT_EQ(Order(), (std::vector<std::string>{"good", "skipped", "typo"}));
    const std::string unknown = "flow expression: unknown name 'ip_protocl' (neither a flow field nor a variable)";
    std::vector<std::string> reports;
    for (const auto &line : log.Lines(vdLogLevel::operational))
        if (line.find("flow_expr") != std::string::npos)
            reports.push_back(line);
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports, (std::vector<std::string>{
                           "skipped: criteria flow_expr never matches: " + unknown + " at offset 20\n",
                           "typo: criteria flow_expr never matches: " + unknown + " at offset 0\n",
                       }));

    // A flow that the rest of the expression matches: still no match, and
    // each evaluation says why.
    log.Clear();
    vppEventQueue::Event event;
    event.event = vdPluginProcessor::dpi_complete;
    event.flow = Flow(1, 23);
    EXPECT_TRUE(plugin.indicators_by_tag.at("typo")->Filtered(event, false));
    EXPECT_TRUE(plugin.indicators_by_tag.at("skipped")->Filtered(event, false));
    EXPECT_FALSE(plugin.indicators_by_tag.at("good")->Filtered(event, false));
    EXPECT_TRUE(log.Contains("typo: ip_protocl == 6: " + unknown + " at offset 0\n"));
    EXPECT_TRUE(log.Contains("skipped: other_port == 23 || ip_protocl == 6: " + unknown + " at offset 20\n"));
}

// The worker itself meets the files that cannot be loaded, at its first turn
// and at a reload, and still stops when asked.
class ConfigLoaderWorkerTest : public LoadedPluginTest
{
protected:
    // Deletes the plug-in on another thread; false when that did not finish
    // by the deadline (the thread is left behind rather than hang the test).
    bool StopsWithin(std::chrono::seconds deadline)
    {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> stopped = done->get_future();
        std::thread([stopping = plugin.release(), done] {
            PluginStopper()(stopping);
            done->set_value();
        }).detach();
        return stopped.wait_for(deadline) == std::future_status::ready;
    }

    static constexpr const char *audited = R"({"indicators": {"telnet": {"indicator_driver": "custom",
        "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]}}})";

    void ExpectMatched(uint64_t digest)
    {
        Hand(Flow(digest, 23));
        auto records = out.WaitForRecords(1);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].record["indicator"], "telnet");
    }
};

TEST_F(ConfigLoaderWorkerTest, AtStartTheWorkerRefusesAndStillStops)
{
    const std::string path = ConfPath();
    struct Case {
        const char *name;
        Special special;
        std::string message;
    } cases[] = {
        {"deeply nested", Special::none, path + ": line 1: nested deeper than 64 levels"},
        {"FIFO", Special::fifo, path + ": not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        MakeSpecial(path, c.special);
        if (c.special == Special::none)
            WriteConf(DeeplyNestedConfig());
        plugin = Load();
        ASSERT_TRUE(plugin);
        plugin->Create();
        EXPECT_TRUE(log.WaitFor("proc-intel: error loading configuration: " + c.message));
        EXPECT_TRUE(StopsWithin(std::chrono::seconds(20)));
        EXPECT_TRUE(log.Contains("proc-intel: intel offline: shutting down"));
    }
}

TEST_F(ConfigLoaderWorkerTest, AtAReloadTheIndicatorsInForceStay)
{
    const std::string path = ConfPath();
    Start(audited);
    ASSERT_TRUE(log.WaitFor("intel ready to process: 1 indicator(s)"));

    WriteConf(DeeplyNestedConfig());
    RequestReload();
    EXPECT_TRUE(
        log.WaitFor("proc-intel: error loading configuration: " + path + ": line 1: nested deeper than 64 levels"));

    MakeSpecial(path, Special::fifo);
    RequestReload();
    EXPECT_TRUE(log.WaitFor("proc-intel: error loading configuration: " + path + ": not a regular file"));
    ExpectMatched(1);

    EXPECT_FALSE(log.Contains("indicator offline"));
    EXPECT_TRUE(StopsWithin(std::chrono::seconds(20)));
}

}  // namespace
