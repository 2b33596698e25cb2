// How the replay host ends other than at the end of its input: on a signal,
// on a write that fails, and on option files it refuses.
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 60s;

// The intel plug-in with a custom indicator that flags every flow to port 23.
constexpr const char *intel_conf = R"({
  "indicator_defaults": {"criteria": {"min_bytes": 0}},
  "sink_targets": {"siem": {"sink": "sink-log", "channels": {"full": {"flow_metadata": "full"}}}},
  "indicators": {
    "telnet": {"indicator_driver": "custom", "score": 80,
               "criteria": {"flow_expr": "other_port == 23"},
               "proc_targets": ["audit"], "sink_targets": ["siem"]}
  }
})";

std::string TelnetFlows(unsigned count)
{
    json line = json::parse(R"({"event": "dpi_complete", "flow": {"ip_version": 4, "ip_protocol": 6,
        "lower_addr": "192.168.1.5", "upper_addr": "203.0.113.9", "lower_port": 40000, "upper_port": 23,
        "lower_map": 1, "origin": 1, "stats": {"total_bytes": 2048, "total_packets": 12}}})");
    std::string lines;
    for (unsigned digest = 1; digest <= count; digest++) {
        line["flow"]["digest"] = digest;
        lines += line.dump() + "\n";
    }
    return lines;
}

// Flows for the test plug-in, which reports each on its own thread.
std::string TestPluginFlows(unsigned count)
{
    std::string lines;
    for (unsigned digest = 1; digest <= count; digest++)
        lines += R"({"event": "flow_new", "flow": {"digest": )" + std::to_string(digest) + "}}\n";
    return lines;
}

std::vector<uint64_t> EventIds(const std::string &out)
{
    std::vector<uint64_t> ids;
    for (const auto &line : LinesWith(ParseJsonLines(out), "processor"))
        ids.push_back(line["record"]["id"].get<uint64_t>());
    return ids;
}

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

std::string SignalName(const ::testing::TestParamInfo<int> &info)
{
    return info.param == SIGINT ? "SIGINT" : info.param == SIGTERM ? "SIGTERM" : "SIGHUP";
}

class ReplayStopTest : public ::testing::Test
{
protected:
    std::vector<std::string> TestPluginArguments(const std::vector<std::string> &extra = {}) const
    {
        return ::TestPluginArguments(test_conf, dir.Path("state"), extra);
    }

    // The state the test plug-in saves when stopped normally.
    json SavedTestPluginState() const { return json::parse(dir.ReadFile("state/test-plugin.json")); }

    TempDir dir;
    std::string test_conf = dir.WriteFile("test.json", "{}");
};

class ReplaySignalTest : public ReplayStopTest, public ::testing::WithParamInterface<int>
{
};

// Every flow handed in before the signal is reported, the event-id file
// holds the last id emitted, and the replay did not wait for the input
// (left open) nor for its linger.
TEST_P(ReplaySignalTest, StopsThePlugInNormallyAndExitsWithTheSignal)
{
    constexpr unsigned flow_count = 3000;
    std::string conf = dir.WriteFile("intel.json", intel_conf);
    auto replay = StartReplay(
        {"--plugin", PLUGIN_LIBRARY, "--conf", conf, "--state", dir.Path("state"), "--linger", "3600"});
    ASSERT_TRUE(replay->Write(TelnetFlows(flow_count) + "{\"status\": true}\n", DeadlineIn(deadline)));
    // The status line is written once every flow before it is handed in.
    ASSERT_TRUE(replay->WaitForOutput("{\"status\":", DeadlineIn(deadline))) << replay->Err();
    replay->Signal(GetParam());
    auto result = replay->Finish(DeadlineIn(deadline));

    ASSERT_EQ(result.exit_status, 128 + GetParam()) << result.Describe();
    EXPECT_NE(result.err.find(SignalName({GetParam(), 0}) + ": stopping"), std::string::npos) << result.err;
    std::vector<uint64_t> ids = EventIds(result.out);
    ASSERT_EQ(ids.size(), flow_count);
    std::set<uint64_t> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), flow_count);
    EXPECT_EQ(*distinct.rbegin() - *distinct.begin() + 1, flow_count) << "ids are not consecutive";
    EXPECT_EQ(dir.ReadFile("state/proc-intel.event-id"), std::to_string(*distinct.rbegin()) + "\n");
}

// A signal ends a pause of the input and the linger; the plug-in still
// saves its state.
TEST_P(ReplaySignalTest, EndsAPauseAndTheLinger)
{
    for (bool in_linger : {false, true}) {
        SCOPED_TRACE(in_linger ? "linger" : "sleep line");
        auto replay = StartReplay(TestPluginArguments({"--linger", "3600"}));
        std::string events = TestPluginFlows(2) + "{\"status\": true}\n";
        ASSERT_TRUE(replay->Write(in_linger ? events : events + "{\"sleep\": 3600}\n", DeadlineIn(deadline)));
        if (in_linger)
            replay->CloseInput();
        ASSERT_TRUE(replay->WaitForOutput("{\"status\":", DeadlineIn(deadline))) << replay->Err();
        replay->Signal(GetParam());
        auto result = replay->Finish(DeadlineIn(deadline));
        EXPECT_EQ(result.exit_status, 128 + GetParam()) << result.Describe();
        EXPECT_EQ(SavedTestPluginState(), json::parse(R"({"flows": 2})"));
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, ReplaySignalTest, ::testing::ValuesIn(stop_signals), SignalName);

// The plug-in cannot finish while its output is not read: only a second
// signal ends the replay, without the state the plug-in saves at its end.
TEST_F(ReplayStopTest, SecondSignalExitsAtOnce)
{
    auto replay = StartReplay(TestPluginArguments({"--linger", "0"}));
    replay->PauseOutput(true);
    // Far more output than a pipe holds.
    ASSERT_TRUE(replay->Write(TestPluginFlows(3000), DeadlineIn(deadline)));
    // The input is read ahead: only once the output is full is the plug-in
    // surely stuck with flows still to report.
    ASSERT_TRUE(replay->WaitForFullOutput(DeadlineIn(deadline)));
    replay->Signal(SIGTERM);
    ASSERT_TRUE(replay->WaitForError("SIGTERM: stopping", DeadlineIn(deadline))) << replay->Err();
    replay->Signal(SIGTERM);
    ASSERT_TRUE(replay->WaitForExit(DeadlineIn(deadline))) << replay->Err();
    auto result = replay->Finish(DeadlineIn(deadline));
    EXPECT_EQ(result.exit_status, 128 + SIGTERM) << result.Describe();
    EXPECT_FALSE(dir.Exists("state/test-plugin.json"));
}

// The output's reader went away: the replay does not die of SIGPIPE, stops
// without waiting for more input, and names the output.
TEST_F(ReplayStopTest, ClosedOutputPipeExitsWithStatusOne)
{
    auto replay = StartReplay(TestPluginArguments({"--linger", "0"}));
    replay->CloseOutput();
    // The first flow's output fails: the lines after it may be left unread.
    replay->Write(TestPluginFlows(10), DeadlineIn(deadline));
    auto result = replay->Finish(DeadlineIn(deadline));
    EXPECT_EQ(result.exit_status, 1) << result.Describe();
    EXPECT_NE(result.err.find("velbord-replay: writing the output failed: standard output: Broken pipe"),
              std::string::npos)
        << result.err;
    EXPECT_GE(SavedTestPluginState()["flows"].get<unsigned>(), 1u);
}

struct WriterFailure {
    const char *name;
    std::vector<std::string> options;  // {dir} stands for the test's directory
    const char *message;
};

void PrintTo(const WriterFailure &failure, std::ostream *out)
{
    *out << failure.name;
}

const WriterFailure writer_failures[] = {
    {"output_device_full", {"--output", "/dev/full"}, "writing the output failed: /dev/full: No space left on device"},
    {"log_device_full", {"--log", "/dev/full"}, "writing the output failed: /dev/full: No space left on device"},
    {"output_in_missing_directory",
     {"--output", "{dir}/nonexistent/out.jsonl"},
     "{dir}/nonexistent/out.jsonl: cannot create: No such file or directory"},
    {"log_in_missing_directory",
     {"--log", "{dir}/nonexistent/replay.log"},
     "{dir}/nonexistent/replay.log: cannot create: No such file or directory"},
};

std::string WithDirectory(std::string text, const std::string &directory)
{
    if (auto at = text.find("{dir}"); at != std::string::npos)
        text.replace(at, 5, directory);
    return text;
}

class ReplayWriterFailureTest : public ReplayStopTest, public ::testing::WithParamInterface<WriterFailure>
{
};

TEST_P(ReplayWriterFailureTest, ExitsWithStatusOneNamingTheFile)
{
    const WriterFailure &failure = GetParam();
    std::vector<std::string> options{"--linger", "0"};
    for (const auto &option : failure.options)
        options.push_back(WithDirectory(option, dir.Path()));
    auto result = RunReplay(TestPluginArguments(options), TestPluginFlows(3) + "{\"status\": true}\n");
    EXPECT_EQ(result.exit_status, 1) << result.Describe();
    EXPECT_NE(result.err.find("velbord-replay: " + WithDirectory(failure.message, dir.Path())), std::string::npos)
        << result.err;
}

INSTANTIATE_TEST_SUITE_P(Writers, ReplayWriterFailureTest, ::testing::ValuesIn(writer_failures),
                         [](const auto &info) { return std::string(info.param.name); });

// Option files the replay refuses, each given three ways.
struct BadOptionFile {
    const char *name;
    const char *message;  // what follows "FILE: "
};

void PrintTo(const BadOptionFile &bad, std::ostream *out)
{
    *out << bad.name;
}

const BadOptionFile bad_option_files[] = {
    {"nested", "line 1: nested deeper than 64 levels"},
    {"zero_device", "cannot open: not a regular file"},
    {"fifo", "cannot open: not a regular file"},
    {"directory", "cannot open: not a regular file"},
    {"too_large", "cannot open: larger than 16777216 bytes"},
    {"nul_byte", "line 2: NUL byte"},
    {"duplicate_key", "line 1: duplicate key \"tag\""},
    // A line comment ends at a carriage return too: what follows is JSON.
    {"nested_behind_cr_comment", "line 1: nested deeper than 64 levels"},
    {"duplicate_behind_cr_comment", "line 1: duplicate key \"tag\""},
    {"not_json", "not valid JSON: "},
    {"missing", "cannot open: No such file or directory"},
};

enum class Given { signatures_option, bootstrap_option, signatures_line };

const char *GivenName(Given given)
{
    static const char *const names[] = {"signatures_option", "bootstrap_option", "signatures_line"};
    return names[static_cast<int>(given)];
}

void PrintTo(Given given, std::ostream *out)
{
    *out << GivenName(given);
}

class ReplayBadOptionFileTest : public ReplayStopTest,
                                public ::testing::WithParamInterface<std::tuple<BadOptionFile, Given>>
{
protected:
    // The file for the case's name, made in the test's directory.
    std::string MakeFile(const std::string &name) const
    {
        if (name == "nested") {
            // About 600 KB: once parsed, copying or freeing it would overrun the stack.
            constexpr size_t depth = 100000;
            std::string definition;
            for (size_t level = 0; level < depth; level++)
                definition += "{\"a\":";
            definition += "1" + std::string(depth, '}');
            return dir.WriteFile("nested.json", "[{\"tag\": \"a\", \"definition\": " + definition + "}]");
        }
        if (name == "zero_device")
            return "/dev/zero";
        if (name == "fifo") {
            std::string path = dir.Path("fifo");
            EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
            return path;
        }
        if (name == "directory")
            return dir.Path();
        if (name == "too_large") {
            std::string path = dir.WriteFile("large.json", "[]");
            std::filesystem::resize_file(path, 16 * 1024 * 1024 + 1);
            return path;
        }
        if (name == "nul_byte")
            return dir.WriteFile("nul.json", std::string("[\n\0]", 4));
        if (name == "duplicate_key")
            return dir.WriteFile("duplicate.json", R"({"tag": "a", "tag": "b"})");
        if (name == "nested_behind_cr_comment")
            return dir.WriteFile("nested_cr.json", "[{\"tag\": \"a\", \"definition\": //\r" +
                                                       std::string(100000, '[') + std::string(100000, ']') + "\n}]");
        if (name == "duplicate_behind_cr_comment")
            return dir.WriteFile("duplicate_cr.json", "{\"tag\": \"a\", //\r\"tag\": \"b\"}");
        if (name == "not_json")
            return dir.WriteFile("broken.json", R"([{"tag": )");
        return dir.Path("nonexistent.json");
    }
};

TEST_P(ReplayBadOptionFileTest, ExitsWithStatusTwoNamingTheFile)
{
    const auto &[bad, given] = GetParam();
    std::string path = MakeFile(bad.name);
    std::string message = path + ": " + bad.message;
    ProcessResult result;
    switch (given) {
    case Given::signatures_option:
        result = RunReplay(TestPluginArguments({"--linger", "0", "--signatures", path}), "{\"poll\": true}\n");
        break;
    case Given::bootstrap_option:
        result = RunReplay(TestPluginArguments({"--linger", "0", "--bootstrap", path}), "{\"poll\": true}\n");
        break;
    case Given::signatures_line:
        result = RunReplay(TestPluginArguments({"--linger", "0"}), "{\"signatures\": " + json(path).dump() + "}\n");
        message = "line 1: signatures: " + message;
        break;
    }
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.err.find("velbord-replay: " + message), std::string::npos) << result.err;
    if (given == Given::signatures_line)
        EXPECT_EQ(SavedTestPluginState(), json::parse(R"({"flows": 0})"));
    else
        EXPECT_EQ(result.out, "");
}

std::string BadOptionFileName(const ::testing::TestParamInfo<std::tuple<BadOptionFile, Given>> &info)
{
    return std::string(std::get<0>(info.param).name) + "_" + GivenName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReplayBadOptionFileTest,
    ::testing::Combine(::testing::ValuesIn(bad_option_files),
                       ::testing::Values(Given::signatures_option, Given::bootstrap_option, Given::signatures_line)),
    BadOptionFileName);

// Without --linger the plug-in keeps running 2 seconds after the last line.
// The replay waits at least that long, so the bound cannot be missed by a
// slow machine.
TEST_F(ReplayStopTest, DefaultLingerIsTwoSeconds)
{
    auto started = std::chrono::steady_clock::now();
    auto result = RunReplay(TestPluginArguments(), "{\"status\": true}\n");
    auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_GE(elapsed, 2s);
}

}  // namespace
