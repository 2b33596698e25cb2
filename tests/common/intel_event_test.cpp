#include <gtest/gtest.h>

#include <memory>

#include "common/intel_event.h"

using vppIntel::Entry;

namespace {

std::shared_ptr<Entry> MakeEntry(const std::string &indicator)
{
    auto entry = std::make_shared<Entry>();
    entry->indicator = indicator;
    return entry;
}

TEST(IntelBundle, MergeKeepsArrivalOrderAndTargetsOnce)
{
    vppIntel::Event bundle{{MakeEntry("a")}, {"proc-1"}, {"sink-1"}};
    vppIntel::Event later{{MakeEntry("b"), MakeEntry("c")}, {"proc-1", "proc-2"}, {"sink-1"}};
    bundle.Merge(later);

    ASSERT_EQ(bundle.entries.size(), 3u);
    EXPECT_EQ(bundle.entries[0]->indicator, "a");
    EXPECT_EQ(bundle.entries[1]->indicator, "b");
    EXPECT_EQ(bundle.entries[2]->indicator, "c");
    EXPECT_EQ(bundle.proc_targets, (std::unordered_set<std::string>{"proc-1", "proc-2"}));
    EXPECT_EQ(bundle.sink_targets, (std::unordered_set<std::string>{"sink-1"}));
    EXPECT_TRUE(bundle.HasTargets());
    vppIntel::Event untargeted{{MakeEntry("d")}, {}, {}};
    EXPECT_FALSE(untargeted.HasTargets());
}

TEST(IntelBundle, CopiesShareTheirEntries)
{
    vppIntel::Event bundle{{MakeEntry("a")}, {}, {"sink-1"}};
    vppIntel::Event copy = bundle;
    copy.entries[0]->id = 42;
    EXPECT_EQ(bundle.entries[0]->id, 42u);
}

}  // namespace
