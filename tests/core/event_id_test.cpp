// The event-id state file: loading it strictly, seeding from the clock, and
// saving it, also where it cannot be written.
#include <ctime>
#include <filesystem>

#include "core/plugin_fixture.h"

namespace {

uint64_t ClockSeed()
{
    return static_cast<uint64_t>(std::time(nullptr)) << 20;
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
    const char *cases[] = {"abc", "-1", "12abc", "", "\n", " 42", "+5", "0x10", "1 2", "18446744073709551616"};
    for (const char *text : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        log.Clear();
        LoadExpectingClockSeed(text);
        EXPECT_TRUE(log.Contains("proc-intel: Error loading last event ID: " + EventIdPath() + ": invalid"));
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
    const char *cases[] = {"4611686018427387904", "4611686018427387904\n", "4611686018427387904 \r\n"};
    for (const char *text : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        log.Clear();
        dir.WriteFile("state/proc-intel.event-id", text);
        plugin.LoadEventId();
        EXPECT_EQ(plugin.last_event_id, 4611686018427387904u);
        EXPECT_TRUE(log.Contains("Loaded last event ID: 4611686018427387904, next: 4611686018427387905"));
    }
}

TEST_F(EventIdTest, AFileThatCannotBeReadIsReported)
{
    std::filesystem::create_directory(EventIdPath());
    uint64_t before = ClockSeed();
    plugin.LoadEventId();
    EXPECT_GE(plugin.last_event_id, before);
    EXPECT_TRUE(log.Contains("proc-intel: Error loading last event ID: " + EventIdPath() + ": Is a directory"))
        << testing::PrintToString(log.Lines());
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

}  // namespace
