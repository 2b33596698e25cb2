// The replay host driven as a black box with the test plug-in.
#include <csignal>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

// Sink payload event codes by flow digest.
std::map<std::string, unsigned> SinkEventsByDigest(const ProcessResult &result)
{
    std::map<std::string, unsigned> events;
    for (const auto &line : LinesWith(result.OutputLines(), "sink"))
        events[line["payload"]["digest"].get<std::string>()] = line["payload"]["event"].get<unsigned>();
    return events;
}

std::string Replace(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A JSON text written over several lines, as one events line.
std::string OneLine(std::string text)
{
    std::erase(text, '\n');
    return text + "\n";
}

class ReplayTest : public ::testing::Test
{
protected:
    // Arguments for the test plug-in with conf, in a fresh state directory
    // and no lingering (the plug-in reports every flow before it stops).
    std::vector<std::string> Arguments(const std::vector<std::string> &extra = {}) const
    {
        std::vector<std::string> arguments{"--linger", "0"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return TestPluginArguments(conf, dir.Path("state"), arguments);
    }

    ProcessResult Replay(const std::string &events, const std::vector<std::string> &extra = {}) const
    {
        return RunReplay(Arguments(extra), events);
    }

    json LastStatus(const ProcessResult &result) const
    {
        auto statuses = LinesWith(result.OutputLines(), "status");
        return statuses.empty() ? json() : statuses.back()["status"];
    }

    TempDir dir;
    std::string conf = dir.WriteFile("conf.json", "{}");
};

TEST_F(ReplayTest, WritesSinkProcessorAndStatusLines)
{
    auto result = Replay(R"({"event": "flow_new", "flow": {"digest": "00000000000000AB"}}
{"poll": true}
{"reload": true}
{"sleep": 0.01}
{"status": true}
)");
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto lines = result.OutputLines();
    ASSERT_EQ(lines.size(), 4u) << result.out;

    auto sinks = LinesWith(lines, "sink");
    ASSERT_EQ(sinks.size(), 1u);
    EXPECT_EQ(sinks[0], json::parse(R"({"sink": "sink-a", "channels": ["ch1"], "flags": 1,
                                        "payload": {"digest": "00000000000000ab", "event": 2}})"));

    std::map<std::string, json> records_by_digest;
    for (const auto &line : LinesWith(lines, "processor")) {
        EXPECT_EQ(line["processor"], "proc-b");
        records_by_digest[line["digest"].get<std::string>()] = line;
    }
    ASSERT_EQ(records_by_digest.size(), 2u) << result.out;
    EXPECT_EQ(records_by_digest["00000000000000ab"]["event"], 5);
    EXPECT_EQ(records_by_digest["00000000000000ab"]["record"]["event"], 2);
    // A record without a flow carries an empty digest.
    EXPECT_EQ(records_by_digest[""]["event"], 13);
    EXPECT_EQ(records_by_digest[""]["record"], json::parse(R"({"polls": 1})"));

    json status = LastStatus(result);
    EXPECT_EQ(status["flows"], 1);
    EXPECT_EQ(status["reloads"], 1);
    EXPECT_EQ(status["polls"], 1);
    EXPECT_EQ(status["type"], 1);
}

TEST_F(ReplayTest, EventsByNameOrNumber)
{
    auto result = Replay(R"({"event": "flow_expired", "flow": {"digest": 1}}
{"event": 4, "flow": {"digest": 2}}
{"event": 65535, "flow": {"digest": 3}}
{"event": "dpi_complete", "flow": {"digest": 255.0}}
)");
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(
        SinkEventsByDigest(result),
        (std::map<std::string, unsigned>{
            {"0000000000000001", 4}, {"0000000000000002", 4}, {"0000000000000003", 65535}, {"00000000000000ff", 8}}));
}

TEST_F(ReplayTest, FlowMembersReachThePlugInConverted)
{
    auto result = Replay(OneLine(R"({"event": "flow_new", "flow": {
        "digest": 7, "digest_prev": ["00000000000000AA", 187],
        "lower_port": 53, "lower_addr": "192.0.2.1", "upper_addr": "2001:db8::1", "upper_port": 443,
        "lower_mac": "02:00:00:00:00:01", "ip_version": 4,
        "detected_protocol": 91, "master_protocol": 5,
        "gtp": {"lower_teid": 305419896, "upper_addr": "198.51.100.2", "upper_port": 2152},
        "stun_mapped": {"addr": "203.0.113.9", "port": 3478},
        "stats": {"lower_bytes": 18446744073709551615, "lower_rate": 1.5},
        "iface": {"ifname": "eth0", "role": 1},
        "risks": [15, -1], "tags": ["b", "a"], "ssl_alpn": ["h2", "http/1.1"],
        "ssl_cert_fingerprint": "A1B2c3", "category": {"application": 9}}})"));
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto records = LinesWith(result.OutputLines(), "processor");
    ASSERT_EQ(records.size(), 1u) << result.out;
    EXPECT_EQ(records[0]["digest"], "0000000000000007");
    EXPECT_EQ(records[0]["record"]["flow"], json::parse(R"({
        "lower_addr": "192.0.2.1:53", "upper_addr": "[2001:db8::1]:443",
        "lower_mac": "02:00:00:00:00:01",
        "digest_prev": ["00000000000000aa", "00000000000000bb"],
        "ip_version": 4, "master_protocol": 5,
        "gtp_lower_teid": 305419896, "gtp_upper_addr": "198.51.100.2:2152",
        "stun_mapped": "203.0.113.9:3478",
        "lower_bytes": 18446744073709551615, "lower_rate": 1.5,
        "iface": {"ifname": "eth0", "role": 1},
        "risks": [-1, 15], "tags": ["a", "b"], "ssl_alpn": ["h2", "http/1.1"],
        "ssl_cert_fingerprint": "a1b2c3", "category_application": 9})"));
}

// Only flows the map may hand out reach the test plug-in's worker: a flag
// lost on the way would let flow 2 or 3 through.
TEST_F(ReplayTest, FlowMapHandsTheMapInWithItsFlags)
{
    std::string map_of_four = OneLine(R"({"event": "flow_stats", "buckets": 8, "flowmap": [
        {"digest": 1}, {"digest": 2, "flowmap_eligible": false},
        {"digest": 3, "flowmap_excluded": true}, {"digest": 4}]})");
    std::string events =
        dir.WriteFile("events.jsonl", map_of_four + R"({"event": "flow_stats", "flowmap": [{"digest": 5}]}
{"event": "flow_stats", "flowmap": []}
{"status": true}
)");
    auto result = RunReplay(Arguments({events}));
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(
        SinkEventsByDigest(result),
        (std::map<std::string, unsigned>{{"0000000000000001", 1}, {"0000000000000004", 1}, {"0000000000000005", 1}}));
    EXPECT_EQ(LastStatus(result)["flows"], 3);
}

struct BadLine {
    const char *name;
    const char *line;
    const char *message;  // what follows "line 3: " in the error
};

void PrintTo(const BadLine &bad, std::ostream *out)
{
    *out << bad.name;
}

const BadLine bad_lines[] = {
    {"unknown_member", R"({"event": "flow_new", "flow": {"bogus": 1}})", "flow.bogus: unknown member"},
    {"text_for_integer", R"({"event": "flow_new", "flow": {"ip_version": "4"}})", "flow.ip_version:"},
    {"integer_too_wide", R"({"event": "flow_new", "flow": {"ip_version": 300}})",
     "flow.ip_version: 300 is out of range"},
    {"negative_port", R"({"event": "flow_new", "flow": {"lower_port": -1}})", "flow.lower_port:"},
    {"fraction", R"({"event": "flow_new", "flow": {"ip_dscp": 1.5}})", "flow.ip_dscp:"},
    {"bool_for_integer", R"({"event": "flow_new", "flow": {"vlan_id": true}})", "flow.vlan_id:"},
    {"bad_address", R"({"event": "flow_new", "flow": {"lower_addr": "300.1.1.1"}})", "flow.lower_addr:"},
    {"mac_for_address", R"({"event": "flow_new", "flow": {"upper_addr": "02:00:00:00:00:01"}})", "flow.upper_addr:"},
    {"address_for_mac", R"({"event": "flow_new", "flow": {"lower_mac": "192.0.2.1"}})", "flow.lower_mac:"},
    {"nested_unknown", R"({"event": "flow_new", "flow": {"stats": {"bogus": 1}}})", "flow.stats.bogus:"},
    {"nested_too_wide", R"({"event": "flow_new", "flow": {"stats": {"lower_packets": 4294967296}}})",
     "flow.stats.lower_packets:"},
    {"float_too_large", R"({"event": "flow_new", "flow": {"stats": {"lower_rate": 1e300}}})", "flow.stats.lower_rate:"},
    {"interface_role", R"({"event": "flow_new", "flow": {"iface": {"ifname": "eth0", "role": 256}}})",
     "flow.iface.role:"},
    {"gtp_address", R"({"event": "flow_new", "flow": {"gtp": {"lower_addr": "nowhere"}}})", "flow.gtp.lower_addr:"},
    {"stun_without_address", R"({"event": "flow_new", "flow": {"stun_peer": {"port": 1}}})", "flow.stun_peer.addr:"},
    {"bad_digest", R"({"event": "flow_new", "flow": {"digest": "xyz"}})", "flow.digest:"},
    {"short_digest", R"({"event": "flow_new", "flow": {"digest": "abc"}})", "flow.digest:"},
    {"bad_list_element", R"({"event": "flow_new", "flow": {"digest_prev": [1, "zz"]}})", "flow.digest_prev[1]:"},
    {"risk_too_wide", R"({"event": "flow_new", "flow": {"risks": [2147483648]}})", "flow.risks[0]:"},
    {"text_for_list", R"({"event": "flow_new", "flow": {"tags": "a"}})", "flow.tags:"},
    {"odd_hex", R"({"event": "flow_new", "flow": {"ssl_cert_fingerprint": "abc"}})", "flow.ssl_cert_fingerprint:"},
    {"repeated_member", R"({"event": "flow_new", "flow": {"digest": 1, "digest": 2}})", "digest: member given twice"},
    {"flowmap_element", R"({"event": "flow_new", "flowmap": [{"digest": 4}, {"lower_port": 70000}]})",
     "flowmap[1].lower_port:"},
    {"flowmap_repeated_digest", R"({"event": "flow_new", "flowmap": [{"digest": 4}, {"digest": 4}]})",
     "flowmap[1].digest:"},
    {"no_buckets", R"({"event": "flow_new", "flowmap": [], "buckets": 0})", "buckets:"},
    {"too_many_buckets", R"({"event": "flow_new", "flowmap": [], "buckets": 65537})", "buckets:"},
    {"buckets_without_map", R"({"event": "flow_new", "flow": {}, "buckets": 2})", "buckets:"},
    {"flow_and_map", R"({"event": "flow_new", "flow": {}, "flowmap": []})", "event:"},
    {"no_flow", R"({"event": "flow_new"})", "event:"},
    {"unknown_event", R"({"event": "flow_bogus", "flow": {}})", "event:"},
    {"event_too_wide", R"({"event": 65536, "flow": {}})", "event:"},
    {"not_json", R"({"event": )", "not valid JSON"},
    {"number_too_large", R"({"sleep": 1e400})", "not valid JSON"},
    {"not_an_object", R"([1, 2])", "expected a JSON object"},
    {"unknown_kind", R"({"hello": true})", "hello: unknown line kind"},
    {"two_kinds", R"({"poll": true, "status": true})", "status:"},
    {"extra_member", R"({"poll": true, "flow": {}})", "flow:"},
    {"reload_false", R"({"reload": false})", "reload:"},
    {"negative_sleep", R"({"sleep": -1})", "sleep:"},
    {"long_sleep", R"({"sleep": 3601})", "sleep:"},
    {"missing_signatures", R"({"signatures": "/nonexistent/signatures.json"})", "signatures:"},
};

class ReplayBadLineTest : public ReplayTest, public ::testing::WithParamInterface<BadLine>
{
};

// The lines before the bad one are handed in, none after it, and the
// plug-in is still stopped normally (it saves its state). A blank line
// counts, so the bad line is line 3.
TEST_P(ReplayBadLineTest, StopsNamingTheLineAndMember)
{
    const BadLine &bad = GetParam();
    auto result = Replay(std::string(R"({"event": "flow_new", "flow": {"digest": 1}})") + "\n\n" + bad.line + "\n" +
                         R"({"event": "flow_new", "flow": {"digest": 3}})" + "\n");
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.err.find(std::string("line 3: ") + bad.message), std::string::npos) << result.err;
    EXPECT_EQ(SinkEventsByDigest(result), (std::map<std::string, unsigned>{{"0000000000000001", 2}}));
    EXPECT_EQ(json::parse(dir.ReadFile("state/test-plugin.json")), json::parse(R"({"flows": 1})"));
}

INSTANTIATE_TEST_SUITE_P(Lines, ReplayBadLineTest, ::testing::ValuesIn(bad_lines),
                         [](const auto &info) { return std::string(info.param.name); });

// Runs whose plug-in cannot be loaded or created. {dir} stands for the
// test's directory.
struct LoadFailure {
    const char *name;
    const char *plugin;
    const char *conf;
    const char *message;
};

void PrintTo(const LoadFailure &failure, std::ostream *out)
{
    *out << failure.name;
}

const LoadFailure load_failures[] = {
    {"refusing_init", TEST_PLUGIN_LIBRARY, R"({"refuse": true})", "returned no plug-in"},
    {"throwing_init", TEST_PLUGIN_LIBRARY, R"({"throw": true})", "refusing by throwing"},
    {"not_a_processor", TEST_PLUGIN_LIBRARY, R"({"not_processor": true})", "not a processor plug-in"},
    {"missing_library", "{dir}/nonexistent/libnothing.so", "{}", "cannot load"},
    {"library_without_init", "libc.so.6", "{}", "no vdPluginInit"},
};

class ReplayLoadFailureTest : public ReplayTest, public ::testing::WithParamInterface<LoadFailure>
{
};

TEST_P(ReplayLoadFailureTest, ExitsWithStatusOne)
{
    const LoadFailure &failure = GetParam();
    dir.WriteFile("conf.json", failure.conf);
    auto arguments = Arguments();
    arguments[1] = Replace(failure.plugin, "{dir}", dir.Path());
    auto result = RunReplay(arguments, R"({"poll": true})");
    EXPECT_EQ(result.exit_status, 1) << result.Describe();
    EXPECT_NE(result.err.find(failure.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(Plugins, ReplayLoadFailureTest, ::testing::ValuesIn(load_failures),
                         [](const auto &info) { return std::string(info.param.name); });

// Command lines and option files the replay host refuses. {dir} stands for
// the test's directory, {plugin} and {conf} for the usual arguments.
struct BadCommandLine {
    const char *name;
    std::vector<std::string> arguments;
    const char *message;
};

void PrintTo(const BadCommandLine &bad, std::ostream *out)
{
    *out << bad.name;
}

const BadCommandLine bad_command_lines[] = {
    {"no_plugin", {"--conf", "{conf}"}, "--plugin FILE is required"},
    {"no_conf", {"--plugin", "{plugin}"}, "--conf FILE is required"},
    {"unknown_option", {"--plugin", "{plugin}", "--conf", "{conf}", "--bogus"}, "unknown option \"--bogus\""},
    {"missing_value", {"--conf", "{conf}", "--plugin"}, "--plugin needs a value"},
    {"verbosity_too_high", {"--plugin", "{plugin}", "--conf", "{conf}", "--verbosity", "256"}, "--verbosity"},
    {"type_not_a_number", {"--plugin", "{plugin}", "--conf", "{conf}", "--type", "x"}, "--type"},
    {"negative_linger", {"--plugin", "{plugin}", "--conf", "{conf}", "--linger", "-1"}, "--linger"},
    {"variable_without_value", {"--plugin", "{plugin}", "--conf", "{conf}", "--var", "site"}, "--var"},
    {"two_event_files", {"--plugin", "{plugin}", "--conf", "{conf}", "a.jsonl", "b.jsonl"}, "more than one events"},
    {"missing_events", {"--plugin", "{plugin}", "--conf", "{conf}", "{dir}/nonexistent.jsonl"}, "cannot open"},
    {"bad_signatures",
     {"--plugin", "{plugin}", "--conf", "{conf}", "--signatures", "{dir}/signatures.json"},
     "[0].version:"},
    {"bad_bootstrap",
     {"--plugin", "{plugin}", "--conf", "{conf}", "--bootstrap", "{dir}/bootstrap.json"},
     "intel.auth:"},
};

class ReplayBadCommandLineTest : public ReplayTest, public ::testing::WithParamInterface<BadCommandLine>
{
};

TEST_P(ReplayBadCommandLineTest, ExitsWithStatusTwo)
{
    const BadCommandLine &bad = GetParam();
    dir.WriteFile("signatures.json", R"([{"tag": "ipv4", "version": -1}])");
    dir.WriteFile("bootstrap.json", R"({"intel": {"auth": 5}})");
    std::vector<std::string> arguments;
    for (const auto &argument : bad.arguments)
        arguments.push_back(
            Replace(Replace(Replace(argument, "{dir}", dir.Path()), "{plugin}", TEST_PLUGIN_LIBRARY), "{conf}", conf));
    auto result = RunReplay(arguments);
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.err.find(bad.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, ReplayBadCommandLineTest, ::testing::ValuesIn(bad_command_lines),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReplayTest, HelpDescribesTheCommandLine)
{
    auto result = RunReplay({"--help"});
    EXPECT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_NE(result.out.find("Usage: velbord-replay --plugin FILE --conf FILE"), std::string::npos);
}

TEST_F(ReplayTest, CreatesTheStateDirectoryThePlugInSavesIn)
{
    std::string state = dir.Path("deep/er/state");
    auto arguments = Arguments({R"(-)"});
    arguments[5] = state;
    auto result = RunReplay(arguments, "{\"event\": 2, \"flow\": {}}\n{\"status\": true}\n");
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    json host = LastStatus(result)["host"];
    EXPECT_EQ(host["state"], state);
    EXPECT_EQ(host["state_persistent"], state);
    EXPECT_EQ(host["variables"]["path_state_persistent"], state);
    EXPECT_EQ(json::parse(dir.ReadFile("deep/er/state/test-plugin.json")), json::parse(R"({"flows": 1})"));
}

TEST_F(ReplayTest, StateDirectoryThatCannotBeCreatedIsAFailure)
{
    dir.WriteFile("in-the-way", "");
    auto arguments = Arguments();
    arguments[5] = dir.Path("in-the-way/state");
    auto result = RunReplay(arguments, R"({"poll": true})");
    EXPECT_EQ(result.exit_status, 1) << result.Describe();
    EXPECT_NE(result.err.find("in-the-way/state"), std::string::npos) << result.err;
}

TEST_F(ReplayTest, HostSetupReachesThePlugIn)
{
    std::string first = dir.WriteFile("first.json", R"([{"tag": "ipv4", "version": 3, "format": "csv",
        "definition": {"columns": 2}, "stamp": 1700000000}])");
    std::string second = dir.WriteFile("second.json", R"([{"tag": "dns", "version": 1}])");
    std::string bootstrap = dir.WriteFile(
        "bootstrap.json", R"({"intel": {"urls": {"flow": "http://127.0.0.1:1/flow"}, "auth": "token-1"}})");
    auto result = Replay("{\"status\": true}\n{\"signatures\": \"" + second + "\"}\n{\"status\": true}\n",
                         {"--type", "7", "--var", "site=lab", "--var", "empty=", "--verbosity", "3", "--debug",
                          "--legacy-intel", "/var/legacy.csv", "--signatures", first, "--bootstrap", bootstrap});
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto statuses = LinesWith(result.OutputLines(), "status");
    ASSERT_EQ(statuses.size(), 2u) << result.out;

    json status = statuses[0]["status"];
    EXPECT_EQ(status["type"], 7);
    json host = status["host"];
    EXPECT_EQ(host["variables"]["site"], "lab");
    EXPECT_EQ(host["variables"]["empty"], "");
    EXPECT_EQ(host["verbosity"], 3);
    EXPECT_EQ(host["debug"], true);
    EXPECT_EQ(host["legacy_intel"], "/var/legacy.csv");
    EXPECT_EQ(host["signatures"], json::parse(R"({"ipv4": 3})"));
    EXPECT_EQ(host["intel"], json::parse(R"({"urls": {"flow": "http://127.0.0.1:1/flow"}, "auth": "token-1"})"));
    // A signatures line replaces what is offered.
    EXPECT_EQ(statuses[1]["status"]["host"]["signatures"], json::parse(R"({"dns": 1})"));
}

TEST_F(ReplayTest, LogLinesGoToTheLogFileDebugLinesOnlyInDebugMode)
{
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "debug" : "no debug");
        std::vector<std::string> extra{"--log", dir.Path("replay.log"), "--tag", "proc-x"};
        if (debug)
            extra.push_back("--debug");
        auto result = Replay(R"({"poll": true})", extra);
        ASSERT_EQ(result.exit_status, 0) << result.Describe();
        std::string log = dir.ReadFile("replay.log");
        EXPECT_NE(log.find("test-plugin: proc-x: created\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("debug mode") != std::string::npos, debug) << log;
        EXPECT_EQ(result.err.find("created"), std::string::npos) << result.err;
    }
}

TEST_F(ReplayTest, OutputOptionWritesTheLinesToTheFile)
{
    auto result = Replay(R"({"status": true})", {"--output", dir.Path("out.jsonl")});
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(result.out, "");
    auto lines = ParseJsonLines(dir.ReadFile("out.jsonl"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["status"]["flows"], 0);
}

// More input than a pipe holds, and output written meanwhile: every flow
// comes out, none twice.
TEST_F(ReplayTest, HandsInEveryFlowOfALongInput)
{
    constexpr unsigned flow_count = 5000;
    std::string events;
    for (unsigned digest = 1; digest <= flow_count; digest++)
        events += R"({"event": "flow_new", "flow": {"digest": )" + std::to_string(digest) + "}}\n";
    events += "{\"status\": true}\n";
    auto result = Replay(events);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto lines = result.OutputLines();
    EXPECT_EQ(LinesWith(lines, "sink").size(), flow_count);
    EXPECT_EQ(SinkEventsByDigest(result).size(), flow_count);
    EXPECT_EQ(LastStatus(result)["flows"], flow_count);
}

TEST_F(ReplayTest, RunnerKillsAReplayPastItsDeadline)
{
    auto result = RunReplay(Arguments(), R"({"sleep": 60})", std::chrono::milliseconds(300));
    EXPECT_TRUE(result.timed_out);
    EXPECT_EQ(result.signal, SIGKILL) << result.Describe();
}

}  // namespace
