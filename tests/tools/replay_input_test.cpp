// The replay host's input side through the built program: long streams and
// large flow maps come out complete and in order, and lines that break the
// reader's bounds (NUL bytes, nesting, length, member widths) are refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

// Matches the replay host's bound on one line.
constexpr size_t max_line_length = 64 * 1024 * 1024;

std::string FlowLine(unsigned digest)
{
    return R"({"event": "flow_new", "flow": {"digest": )" + std::to_string(digest) + "}}\n";
}

std::string DigestText(unsigned digest)
{
    return vd_xxh64_to_string(digest);
}

// Sanitizer builds run the long inputs at a fraction of their length,
// still past every bound they cross: the same paths at many times the cost
// per flow. The plain build runs them whole.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool under_sanitizer = true;
#else
constexpr bool under_sanitizer = false;
#endif

// The digests of the sink lines, in the order they were written. Only lines
// that may be sink lines are parsed: the plug-in's own lines of a long
// stream, each holding a whole flow, would cost far more.
std::vector<std::string> SinkDigests(const ProcessResult &result)
{
    std::vector<std::string> digests;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(R"("sink":)") == std::string::npos)
            continue;
        json document = json::parse(line, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << "not a JSON line: " << line;
        if (document.is_object() && document.contains("sink"))
            digests.push_back(document["payload"]["digest"].get<std::string>());
    }
    return digests;
}

// Waits until the file holds text, or the deadline passes.
bool WaitForFileText(const std::string &path, const std::string &text, std::chrono::milliseconds deadline)
{
    auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        std::ifstream file(path);
        std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (content.find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void WriteAll(int descriptor, const std::string &text)
{
    ASSERT_EQ(write(descriptor, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

class ReplayInputTest : public ::testing::Test
{
protected:
    std::vector<std::string> Arguments(const std::vector<std::string> &extra = {}) const
    {
        std::vector<std::string> arguments{"--linger", "0"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return TestPluginArguments(conf, dir.Path("state"), arguments);
    }

    ProcessResult Replay(const std::string &events) const { return RunReplay(Arguments(), events, hang_deadline); }

    // Only against a hang: sanitizer builds run the long inputs slowly.
    static constexpr std::chrono::minutes hang_deadline{5};

    TempDir dir;
    std::string conf = dir.WriteFile("conf.json", "{}");
};

// Far more than a pipe or one read holds: every flow is handed in once, in
// the order of the lines.
TEST_F(ReplayInputTest, LongStreamComesOutCompleteAndInOrder)
{
    constexpr unsigned flow_count = under_sanitizer ? 50000 : 200000;  // 2.8 MB at the least
    std::string events;
    for (unsigned digest = 1; digest <= flow_count; digest++)
        events += FlowLine(digest);
    auto result = Replay(events);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto digests = SinkDigests(result);
    ASSERT_EQ(digests.size(), flow_count);
    for (unsigned digest = 1; digest <= flow_count; digest++)
        ASSERT_EQ(digests[digest - 1], DigestText(digest)) << "sink line " << digest;
}

// One line holding a large map (read from a file): every flow of the map
// comes out, and the flow on the next line only after all of them.
TEST_F(ReplayInputTest, LargeFlowMapComesOutCompleteBeforeTheNextLine)
{
    // Even the smaller map costs more than all that may be read ahead.
    constexpr unsigned map_size = under_sanitizer ? 50000 : 100000;
    std::string map_line = R"({"event": "flow_stats", "buckets": 64, "flowmap": [)";
    for (unsigned digest = 1; digest <= map_size; digest++)
        map_line += (digest > 1 ? ", " : "") + std::string(R"({"digest": )") + std::to_string(digest) + "}";
    map_line += "]}\n";
    std::string events = dir.WriteFile("events.jsonl", map_line + FlowLine(map_size + 1));
    auto result = RunReplay(Arguments({events}), "", hang_deadline);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto digests = SinkDigests(result);
    ASSERT_EQ(digests.size(), map_size + 1);
    EXPECT_EQ(digests.back(), DigestText(map_size + 1));
    std::set<std::string> from_map(digests.begin(), digests.end() - 1);
    EXPECT_EQ(from_map.size(), map_size);
    EXPECT_TRUE(from_map.contains(DigestText(1)));
    EXPECT_TRUE(from_map.contains(DigestText(map_size)));
}

// Map lines of consecutive digests from first: count lines of flows each.
std::vector<std::vector<unsigned>> MapLineDigests(unsigned first, size_t count, size_t flows)
{
    std::vector<std::vector<unsigned>> lines(count);
    for (auto &line : lines) {
        for (size_t index = 0; index < flows; index++)
            line.push_back(first++);
    }
    return lines;
}

std::string MapLine(const std::vector<unsigned> &digests, unsigned buckets)
{
    std::string line = R"({"event": "flow_stats", "buckets": )" + std::to_string(buckets) + R"(, "flowmap": [)";
    for (size_t index = 0; index < digests.size(); index++)
        line += (index ? ", " : "") + std::string(R"({"digest": )") + std::to_string(digests[index]) + "}";
    return line + "]}\n";
}

// Maps of many small flows (each line costs more than a batch may, and a
// few of them more than may be read ahead) between runs of single flows:
// every line's flows come out before the next line's.
TEST_F(ReplayInputTest, FlowMapsAndFlowsComeOutInTheOrderOfTheirLines)
{
    constexpr size_t map_lines = under_sanitizer ? 20 : 40, map_flows = 3000, flows_between = 50;
    std::vector<std::vector<unsigned>> lines;
    std::string events;
    unsigned next = 1;
    for (size_t map = 0; map < map_lines; map++) {
        lines.push_back(MapLineDigests(next, 1, map_flows)[0]);
        events += MapLine(lines.back(), 256);
        next += map_flows;
        for (size_t index = 0; index < flows_between; index++) {
            lines.push_back({next});
            events += FlowLine(next++);
        }
    }
    auto result = RunReplay(Arguments({dir.WriteFile("events.jsonl", events)}), "", hang_deadline);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto digests = SinkDigests(result);
    ASSERT_EQ(digests.size(), map_lines * (map_flows + flows_between));
    auto out = digests.begin();
    for (size_t number = 0; number < lines.size(); number++) {
        std::set<std::string> expected, handed_in(out, out + static_cast<long>(lines[number].size()));
        for (unsigned digest : lines[number])
            expected.insert(DigestText(digest));
        ASSERT_EQ(handed_in, expected) << "line " << number + 1;
        out += static_cast<long>(lines[number].size());
    }
}

// Each line is small, but its map has the most buckets a line may ask for,
// which take megabytes once built: only the map of the line being handed
// in may exist (300 of them built at once took 2.3 GB). The peak is read
// once the last map is handed in, while the replay waits for more input.
TEST_F(ReplayInputTest, MapsOfManyBucketsAreNotBuiltAhead)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own memory hides the replay host's";
#endif
    constexpr size_t map_lines = 300, map_flows = 18;
    std::string events;
    for (const auto &map : MapLineDigests(1, map_lines, map_flows))
        events += MapLine(map, 65536);
    auto replay = StartReplay(Arguments());
    auto deadline = DeadlineIn(hang_deadline);
    ASSERT_TRUE(replay->Write(events, deadline)) << replay->Err();
    ASSERT_TRUE(replay->WaitForOutput(DigestText(map_lines * map_flows), deadline)) << replay->Err();
    long peak_kib = replay->PeakResidentKib();
    replay->CloseInput();
    auto result = replay->Finish(deadline);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(SinkDigests(result).size(), map_lines * map_flows);
    constexpr long max_peak_kib = 256 * 1024;
    EXPECT_GT(peak_kib, 0);
    EXPECT_LT(peak_kib, max_peak_kib);
}

struct RefusedLine {
    const char *name;
    std::string line;
    const char *message;  // what follows "line 2: " in the error
};

std::string Nested(size_t depth)
{
    return R"({"event": "flow_new", "flow": {"tags": )" + std::string(depth, '[') + std::string(depth, ']') + "}}";
}

const RefusedLine refused_lines[] = {
    {"nul_after_object", std::string(R"({"poll": true})") + '\0', "NUL byte"},
    {"nul_alone", std::string(1, '\0'), "NUL byte"},
    {"nul_inside_text", std::string(R"({"signatures": "a)") + '\0' + R"(b"})", "NUL byte"},
    {"nested_too_deep", Nested(63), "nested deeper than 64 levels"},
    // Deep enough to exhaust the stack if it were ever built as a value.
    {"nested_far_too_deep", Nested(1000000), "nested deeper than 64 levels"},
    {"repeated_member_in_map",
     R"({"event": "flow_new", "flowmap": [{"digest": 1}, {"digest": 2, "origin": 1, "origin": 2}]})",
     "origin: member given twice"},
};

void PrintTo(const RefusedLine &line, std::ostream *out)
{
    *out << line.name;
}

class ReplayRefusedLineTest : public ReplayInputTest, public ::testing::WithParamInterface<RefusedLine>
{
};

// The first line is handed in, the refused one and those after it are not.
TEST_P(ReplayRefusedLineTest, StopsNamingTheLine)
{
    const RefusedLine &refused = GetParam();
    auto result = Replay(FlowLine(1) + refused.line + "\n" + FlowLine(3));
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.err.find(std::string("line 2: ") + refused.message), std::string::npos) << result.err;
    EXPECT_EQ(SinkDigests(result), std::vector<std::string>{DigestText(1)});
}

INSTANTIATE_TEST_SUITE_P(Lines, ReplayRefusedLineTest, ::testing::ValuesIn(refused_lines),
                         [](const auto &info) { return std::string(info.param.name); });

// The line object and the flow take two levels, the lists the other 62:
// the line is parsed and refused by the member, not by its depth.
TEST_F(ReplayInputTest, NestingAtTheBoundReachesTheMemberCheck)
{
    auto result = Replay(FlowLine(1) + Nested(62) + "\n");
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.err.find("line 2: flow.tags[0]: expected a string"), std::string::npos) << result.err;
}

// A line of exactly the bound is read whole across many reads; one byte
// more is refused before it is buffered.
TEST_F(ReplayInputTest, LineLengthBound)
{
    const std::string head = R"({"sleep": 0)";
    std::string longest = head + std::string(max_line_length - head.size() - 1, ' ') + "}";
    auto accepted = Replay(FlowLine(1) + longest + "\n" + FlowLine(2));
    EXPECT_EQ(accepted.exit_status, 0) << accepted.Describe();
    EXPECT_EQ(SinkDigests(accepted), (std::vector<std::string>{DigestText(1), DigestText(2)}));

    longest.insert(head.size(), " ");
    auto refused = Replay(FlowLine(1) + longest + "\n" + FlowLine(2));
    EXPECT_EQ(refused.exit_status, 2) << refused.Describe();
    EXPECT_NE(refused.err.find("line 2: longer than 67108864 bytes"), std::string::npos) << refused.err;
    EXPECT_EQ(SinkDigests(refused), std::vector<std::string>{DigestText(1)});
}

// Events from a FIFO that stays open: a line is handed in as soon as it
// arrives, not held back for the lines after it, and a bad line ends the run
// though the input never ends.
TEST_F(ReplayInputTest, LinesArrivingSlowlyAreHandedInAtOnce)
{
    std::string fifo = dir.Path("events.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Read and write: neither this open nor the replay's waits for the other.
    int events = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(events, 0);
    std::string output = dir.Path("out.jsonl");
    WriteAll(events, FlowLine(1));
    auto running = std::async(std::launch::async, [&] {
        return RunReplay(Arguments({"--output", output, fifo}), "", std::chrono::seconds(20));
    });
    bool first_handed_in = WaitForFileText(output, DigestText(1), std::chrono::seconds(10));
    WriteAll(events, "{\"poll\": 7}\n");
    auto result = running.get();
    close(events);

    EXPECT_TRUE(first_handed_in);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.err.find("line 2: poll:"), std::string::npos) << result.err;
}

TEST_F(ReplayInputTest, DirectoryAsEventsIsRefused)
{
    auto result = RunReplay(Arguments({dir.Path()}));
    EXPECT_EQ(result.exit_status, 2) << result.Describe();
    EXPECT_NE(result.err.find("velbord-replay: " + dir.Path() + ": is a directory"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

// Whole-number decimals at the bounds of each member width: the last value
// that fits converts exactly, the first one past it is refused (converting
// it would be undefined).
struct BoundaryValue {
    const char *name;
    std::string flow;  // members of the flow
    bool accepted;
    const char *record_member;  // as the test plug-in reports it
    json record_value;
};

const BoundaryValue boundary_values[] = {
    {"u8_top", R"("ip_version": 255.0)", true, "ip_version", 255},
    {"u8_past_top", R"("ip_version": 256.0)", false, "ip_version", nullptr},
    {"u8_below_zero", R"("ip_version": -1.0)", false, "ip_version", nullptr},
    {"u8_zero", R"("ip_version": -0.0)", true, "ip_version", 0},
    {"u16_top", R"("lower_addr": "192.0.2.1", "lower_port": 65535.0)", true, "lower_addr", "192.0.2.1:65535"},
    {"u16_past_top", R"("lower_port": 65536.0)", false, "lower_port", nullptr},
    {"u16_below_zero", R"("lower_port": -1.0)", false, "lower_port", nullptr},
    {"u32_top", R"("gtp": {"lower_teid": 4294967295.0})", true, "gtp_lower_teid", 4294967295u},
    {"u32_past_top", R"("gtp": {"lower_teid": 4294967296.0})", false, "gtp.lower_teid", nullptr},
    // The largest double below 2^64; 2^64 itself does not fit.
    {"u64_top", R"("stats": {"lower_bytes": 18446744073709549568.0})", true, "lower_bytes",
     18446744073709549568u},
    {"u64_past_top", R"("stats": {"lower_bytes": 18446744073709551616.0})", false, "stats.lower_bytes", nullptr},
    {"i32_top", R"("risks": [2147483647.0])", true, "risks", json::array({2147483647})},
    {"i32_past_top", R"("risks": [2147483648.0])", false, "risks[0]", nullptr},
    {"i32_bottom", R"("risks": [-2147483648.0])", true, "risks", json::array({-2147483647 - 1})},
    {"i32_past_bottom", R"("risks": [-2147483649.0])", false, "risks[0]", nullptr},
};

void PrintTo(const BoundaryValue &value, std::ostream *out)
{
    *out << value.name;
}

class ReplayBoundaryValueTest : public ReplayInputTest, public ::testing::WithParamInterface<BoundaryValue>
{
};

TEST_P(ReplayBoundaryValueTest, ConvertsExactlyOrRefuses)
{
    const BoundaryValue &value = GetParam();
    auto result = Replay(R"({"event": "flow_new", "flow": {"digest": 1, )" + value.flow + "}}\n");
    if (!value.accepted) {
        EXPECT_EQ(result.exit_status, 2) << result.Describe();
        EXPECT_NE(result.err.find(std::string("line 1: flow.") + value.record_member + ": "), std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("is out of range"), std::string::npos) << result.err;
        return;
    }
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto records = LinesWith(result.OutputLines(), "processor");
    ASSERT_EQ(records.size(), 1u) << result.out;
    EXPECT_EQ(records[0]["record"]["flow"][value.record_member], value.record_value);
}

INSTANTIATE_TEST_SUITE_P(Widths, ReplayBoundaryValueTest, ::testing::ValuesIn(boundary_values),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
