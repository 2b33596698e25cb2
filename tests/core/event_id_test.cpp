// Event ids: loading the state file strictly, seeding from the clock,
// reserving ids ahead so that a crash never leads to an id handed out twice,
// saving at an orderly stop, and never wrapping past the largest id.
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <limits>

#include "core/plugin_fixture.h"

namespace {

constexpr uint64_t max_id = std::numeric_limits<uint64_t>::max();
constexpr uint64_t reservation = vppPlugin::event_id_reservation;
// Far above any clock-based seed: stands for a clock that is behind.
constexpr uint64_t far_ahead = 1ull << 62;

uint64_t ClockSeed()
{
    return static_cast<uint64_t>(std::time(nullptr)) << 20;
}

std::string Line(uint64_t id)
{
    return std::to_string(id) + "\n";
}

class EventIdTest : public PluginHostTest
{
protected:
    // Loads with the file holding text; checks the id lies in the clock
    // seed's range when the file's id is not to be used.
    void LoadExpectingClockSeed(const std::string &text)
    {
        dir.WriteFile("state/proc-intel.event-id", text);
        uint64_t before = ClockSeed();
        plugin.LoadEventId();
        uint64_t after = ClockSeed();
        EXPECT_GE(plugin.last_event_id, before);
        EXPECT_LE(plugin.last_event_id, after);
    }

    std::string SavedText() const { return dir.ReadFile("state/proc-intel.event-id"); }

    // Hands out count ids; checks they follow on from first.
    static void HandOut(PluginProbe &probe, uint64_t first, uint64_t count)
    {
        for (uint64_t i = 0; i < count; i++) {
            std::optional<uint64_t> id = probe.NextEventId();
            ASSERT_EQ(id, first + i);
        }
    }

    PluginProbe plugin{"proc-intel", Params()};
};

TEST_F(EventIdTest, AMissingFileSeedsFromTheClockSilently)
{
    uint64_t before = ClockSeed();
    plugin.LoadEventId();
    EXPECT_GE(plugin.last_event_id, before);
    EXPECT_LE(plugin.last_event_id, ClockSeed());
    EXPECT_FALSE(log.Contains("event ID"));
}

TEST_F(EventIdTest, TextThatIsNotAPlainNumberIsInvalid)
{
    const char *cases[] = {"abc", "-1",         "12abc", "",     "\n",       " ",     "+5",
                           " +5", " -1",        "0x10",  "1 2",  " 12 abc ", "1\n2\n", "18446744073709551616",
                           "\n18446744073709551616\n"};
    for (const char *text : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        log.Clear();
        LoadExpectingClockSeed(text);
        EXPECT_TRUE(log.Contains("proc-intel: Error loading last event ID: " + EventIdPath() + ": invalid"));
    }
}

TEST_F(EventIdTest, WhiteSpaceAroundTheNumberIsSkipped)
{
    const char *cases[] = {"123", "123\n", " 123", "\n123\n", "\t\v\f\r 123 \r\n"};
    for (const char *text : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        log.Clear();
        LoadExpectingClockSeed(text);
        EXPECT_TRUE(log.Contains("proc-intel: Loaded last event ID: 123, next: "));
        EXPECT_FALSE(log.Contains("Error"));
    }
}

TEST_F(EventIdTest, AnOverlongFileIsInvalid)
{
    LoadExpectingClockSeed("7" + std::string(1000, ' '));
    EXPECT_TRUE(log.Contains("Error loading last event ID: " + EventIdPath() + ": invalid"));
}

TEST_F(EventIdTest, ASmallerIdLosesToTheClock)
{
    LoadExpectingClockSeed("42\n");
    EXPECT_TRUE(
        log.Contains("proc-intel: Loaded last event ID: 42, next: " + std::to_string(plugin.last_event_id + 1)));
    EXPECT_FALSE(log.Contains("Error"));
}

TEST_F(EventIdTest, ALargerIdIsContinued)
{
    const char *cases[] = {"4611686018427387904", "4611686018427387904\n", "4611686018427387904 \r\n",
                           " 4611686018427387904"};
    for (const char *text : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        log.Clear();
        dir.WriteFile("state/proc-intel.event-id", text);
        plugin.LoadEventId();
        EXPECT_EQ(plugin.last_event_id, 4611686018427387904u);
        EXPECT_TRUE(log.Contains("Loaded last event ID: 4611686018427387904, next: 4611686018427387905"));
    }
}

TEST_F(EventIdTest, WhatIsNotARegularFileIsReportedWithoutWaiting)
{
    struct Case {
        const char *what;
        std::function<void(const std::string &)> make;
    } cases[] = {
        {"directory", [](const std::string &path) { std::filesystem::create_directory(path); }},
        // A blocking open would wait for a writer forever.
        {"FIFO", [](const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        std::filesystem::remove(EventIdPath());
        c.make(EventIdPath());
        uint64_t before = ClockSeed();
        plugin.LoadEventId();
        EXPECT_GE(plugin.last_event_id, before);
        EXPECT_TRUE(log.Contains("proc-intel: Error loading last event ID: " + EventIdPath() + ": not a regular file"))
            << testing::PrintToString(log.Lines());
    }
}

TEST_F(EventIdTest, ASavedIdWithNoRoomLeftIsReportedAndTheClockUsed)
{
    const uint64_t cases[] = {max_id, max_id - 1, max_id - reservation + 1};
    for (uint64_t saved : cases) {
        SCOPED_TRACE(saved);
        log.Clear();
        LoadExpectingClockSeed(Line(saved));
        EXPECT_TRUE(log.Contains("proc-intel: Error loading last event ID: " + EventIdPath() + ": " +
                                 std::to_string(saved) + " is too close to the largest event ID"));
        // Numbering goes on from the clock, not from 0.
        const uint64_t seed = plugin.last_event_id;
        EXPECT_EQ(plugin.NextEventId(), seed + 1);
    }
}

TEST_F(EventIdTest, NumberingStopsAtTheLargestIdInsteadOfWrapping)
{
    // The largest saved id still used: exactly one reservation left.
    dir.WriteFile("state/proc-intel.event-id", Line(max_id - reservation));
    plugin.LoadEventId();
    EXPECT_EQ(plugin.last_event_id, max_id - reservation);
    HandOut(plugin, max_id - reservation + 1, reservation);
    EXPECT_EQ(plugin.last_event_id, max_id);
    EXPECT_EQ(SavedText(), Line(max_id));

    for (int i = 0; i < 3; i++)
        EXPECT_EQ(plugin.NextEventId(), std::nullopt);
    EXPECT_EQ(log.Count("proc-intel: Event IDs exhausted at 18446744073709551615: intel is no longer output"), 1u);
    EXPECT_EQ(plugin.last_event_id, max_id);
}

TEST_F(EventIdTest, AfterACrashNumberingGoesOnAboveEveryIdHandedOut)
{
    dir.WriteFile("state/proc-intel.event-id", Line(far_ahead));
    uint64_t last_handed_out = 0;
    {
        // Enough ids for three reservations; then gone without a save, as
        // in a crash (the worker never ran, so nothing saves at the end).
        PluginProbe crashed("proc-intel", Params());
        crashed.LoadEventId();
        HandOut(crashed, far_ahead + 1, 2 * reservation + 3);
        last_handed_out = crashed.last_event_id;
    }
    EXPECT_EQ(SavedText(), Line(last_handed_out + reservation));

    plugin.LoadEventId();
    std::optional<uint64_t> next = plugin.NextEventId();
    ASSERT_TRUE(next);
    EXPECT_GT(*next, last_handed_out);
    EXPECT_LE(*next, last_handed_out + reservation + 1);
}

TEST_F(EventIdTest, AnOrderlyStopSavesTheLastIdSoARestartLeavesNoGap)
{
    dir.WriteFile("state/proc-intel.event-id", Line(far_ahead));
    {
        PluginProbe stopped("proc-intel", Params());
        stopped.LoadEventId();
        HandOut(stopped, far_ahead + 1, 3);
        // Reserved ahead while running.
        EXPECT_EQ(SavedText(), Line(far_ahead + 1 + reservation));
        stopped.SaveEventId();
        EXPECT_EQ(SavedText(), Line(far_ahead + 3));
    }
    plugin.LoadEventId();
    HandOut(plugin, far_ahead + 4, 1);
}

TEST_F(EventIdTest, TheSaveAtAReloadRestartsTheReservationFromTheLastId)
{
    dir.WriteFile("state/proc-intel.event-id", Line(far_ahead));
    plugin.LoadEventId();
    HandOut(plugin, far_ahead + 1, 2);
    plugin.SaveEventId();
    EXPECT_EQ(SavedText(), Line(far_ahead + 2));
    // The next id is beyond what the file covers: a new reservation first.
    HandOut(plugin, far_ahead + 3, 1);
    EXPECT_EQ(SavedText(), Line(far_ahead + 3 + reservation));
}

TEST_F(EventIdTest, AFailedReservationIsReportedOncePerBlockAndNumberingGoesOn)
{
    config.path_plugin_state = dir.Path("no/such/directory");
    PluginProbe elsewhere("proc-intel", Params());
    elsewhere.LoadEventId();
    const uint64_t first = elsewhere.last_event_id + 1;
    const std::string error =
        "proc-intel: Error saving last event ID: " + dir.Path("no/such/directory/proc-intel.event-id") +
        ": No such file or directory";

    HandOut(elsewhere, first, reservation + 1);
    EXPECT_EQ(log.Count(error), 1u);
    HandOut(elsewhere, first + reservation + 1, 1);
    EXPECT_EQ(log.Count(error), 2u);
}

TEST_F(EventIdTest, ASaveWritesTheIdAndALineFeed)
{
    plugin.last_event_id = 123456789;
    plugin.SaveEventId();
    EXPECT_EQ(dir.ReadFile("state/proc-intel.event-id"), "123456789\n");
}

TEST_F(EventIdTest, ASaveIntoAMissingDirectoryIsReportedNotThrown)
{
    config.path_plugin_state = dir.Path("no/such/directory");
    PluginProbe elsewhere("proc-intel", Params());
    elsewhere.last_event_id = 5;
    EXPECT_NO_THROW(elsewhere.SaveEventId());
    EXPECT_TRUE(log.Contains("proc-intel: Error saving last event ID: " + dir.Path("no/such/directory") +
                             "/proc-intel.event-id: No such file or directory"));
    // Loading from there is a missing file: not reported.
    log.Clear();
    elsewhere.LoadEventId();
    EXPECT_FALSE(log.Contains("event ID"));
}

// Through the loaded plug-in: once the last id is handed out, intel that
// can get no id is not output, and nothing goes out numbered from 0.
class EventIdWorkerTest : public LoadedPluginTest
{
};

TEST_F(EventIdWorkerTest, IntelThatCanGetNoIdIsNotOutput)
{
    const uint64_t saved = max_id - reservation;
    dir.WriteFile("state/proc-intel.event-id", Line(saved));
    Start(R"({"indicators": {"telnet": {"indicator_driver": "custom", "score": 50,
        "criteria": {"flow_expr": "other_port == 23"}, "proc_targets": ["audit"]}}})");
    for (uint64_t digest = 1; digest <= reservation + 2; digest++)
        Hand(Flow(digest, 23));

    ASSERT_TRUE(log.WaitFor("proc-intel: Event IDs exhausted at 18446744073709551615"));
    plugin.reset();

    auto records = out.Records();
    ASSERT_EQ(records.size(), reservation);
    for (uint64_t i = 0; i < records.size(); i++)
        ASSERT_EQ(records[i].record["id"].get<uint64_t>(), saved + 1 + i);
    EXPECT_EQ(log.Count("Event IDs exhausted"), 1u);
    EXPECT_EQ(dir.ReadFile("state/proc-intel.event-id"), Line(max_id));
}

}  // namespace
