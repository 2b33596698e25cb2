// The block-stored name set: names across block boundaries, a name longer
// than a block, the empty name and duplicates.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "feeds/signatures/name_set.h"

namespace {

TEST(NameSet, KeepsEveryNameAcrossBlocks)
{
    vdfNameSet set;
    const std::string huge(300 * 1024, 'x');
    EXPECT_TRUE(set.insert(""));
    EXPECT_TRUE(set.insert("first.example"));
    EXPECT_TRUE(set.insert(huge));
    // Enough names to fill several blocks after the huge one.
    for (int i = 0; i < 40000; i++)
        EXPECT_TRUE(set.insert("host" + std::to_string(i) + ".example.org"));
    EXPECT_FALSE(set.insert("host17.example.org"));
    EXPECT_FALSE(set.insert(huge));
    EXPECT_FALSE(set.insert(""));

    EXPECT_EQ(set.size(), 40003u);
    EXPECT_TRUE(set.contains(""));
    EXPECT_TRUE(set.contains("first.example"));
    EXPECT_TRUE(set.contains(huge));
    for (int i = 0; i < 40000; i += 997)
        EXPECT_TRUE(set.contains("host" + std::to_string(i) + ".example.org")) << i;
    EXPECT_FALSE(set.contains("host40000.example.org"));
    EXPECT_FALSE(set.contains("first.exampl"));
    EXPECT_FALSE(set.contains(huge + "x"));
}

}  // namespace

namespace {

// Growth rehashes every stored name: each must still be found, and iteration
// must give each exactly once, the empty name included.
TEST(NameSet, GrowsAndIteratesEveryNameOnce)
{
    for (bool reserved : {false, true}) {
        SCOPED_TRACE(reserved ? "reserved" : "grown");
        vdfNameSet set;
        if (reserved)
            set.reserve(5000);
        std::set<std::string> expected{""};
        set.insert("");
        for (int i = 0; i < 5000; i++) {
            std::string name = "n" + std::to_string(i * 7919) + ".example";
            expected.insert(name);
            EXPECT_TRUE(set.insert(name));
        }
        std::multiset<std::string> seen(set.begin(), set.end());
        EXPECT_EQ(seen.size(), expected.size());
        EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), expected);
        for (const auto &name : expected)
            EXPECT_TRUE(set.contains(name)) << name;
    }

    vdfNameSet none;
    EXPECT_EQ(none.begin(), none.end());
    EXPECT_FALSE(none.contains("x"));
    EXPECT_FALSE(none.contains(""));
}

}  // namespace
