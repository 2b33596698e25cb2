// The block-stored name set: names across block boundaries, a name longer
// than a block, the empty name and duplicates; names whose hashes collide;
// memory held only for names.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

namespace {

uint64_t RealHash(std::string_view name)
{
    return std::hash<std::string_view>{}(name);
}

// Hashes that make names share what a good hash keeps apart: the tag, the home
// slot or both. A set that trusted either would take one name for another.
struct CollisionCase {
    const char *label;
    vdfNameSet::HashFunction hash;
};

const CollisionCase collision_cases[] = {
    // Tag 0 marks an empty slot: a name whose hash gives it must still be kept.
    {"EveryHashZero", [](std::string_view) -> uint64_t { return 0; }},
    // Every home is the last slot: probes wrap to the first.
    {"EveryHashAllOnes", [](std::string_view) { return ~uint64_t(0); }},
    {"OneTagHomesSpread", [](std::string_view name) { return uint64_t(0xabcd) << 48 | (RealHash(name) >> 16); }},
    {"OneHomeTagsSpread", [](std::string_view name) { return RealHash(name) & ~((uint64_t(1) << 48) - 1); }},
};

void PrintTo(const CollisionCase &c, std::ostream *out)
{
    *out << c.label;
}

// Names that are prefixes of one another, lengths on both sides of a
// length-byte boundary, and the short names of a domain list.
std::vector<std::string> CollidingNames()
{
    std::vector<std::string> names = {"a", "ab", "abc", "ba", "abc.example", "abc.example."};
    for (size_t length : {127u, 128u, 16383u, 16384u})
        names.push_back(std::string(length, 'q'));
    for (int i = 0; i < 300; i++)
        names.push_back("h" + std::to_string(i) + ".example");
    return names;
}

class NameSetCollisions : public testing::TestWithParam<CollisionCase>
{
};

TEST_P(NameSetCollisions, TellsCollidingNamesApart)
{
    vdfNameSet set(GetParam().hash);
    const std::vector<std::string> names = CollidingNames();
    for (const auto &name : names)
        EXPECT_TRUE(set.insert(name)) << name.substr(0, 20);
    for (const auto &name : names)
        EXPECT_FALSE(set.insert(name)) << name.substr(0, 20);
    EXPECT_EQ(set.size(), names.size());

    for (const auto &name : names)
        EXPECT_TRUE(set.contains(name)) << name.substr(0, 20);
    const std::vector<std::string> absent_names = {"",
                                                   "b",
                                                   "abcd",
                                                   "abc.exampl",
                                                   "h300.example",
                                                   "h1.exampl",
                                                   "h1.example..",
                                                   std::string(129, 'q'),
                                                   std::string(126, 'q'),
                                                   std::string(16385, 'q')};
    for (const auto &absent : absent_names)
        EXPECT_FALSE(set.contains(absent)) << absent.substr(0, 20);

    std::multiset<std::string> seen(set.begin(), set.end());
    EXPECT_EQ(seen, std::multiset<std::string>(names.begin(), names.end()));
}

INSTANTIATE_TEST_SUITE_P(Hashes, NameSetCollisions, testing::ValuesIn(collision_cases),
                         [](const auto &info) { return std::string(info.param.label); });

// Memory follows the names held: nothing without a name, nothing for the
// empty name, nothing more for a repeat, and a few names take no large block.
TEST(NameSet, HoldsMemoryOnlyForNames)
{
    struct Case {
        const char *name;
        std::function<void(vdfNameSet &)> fill;
        size_t max_bytes;
    };
    const Case cases[] = {
        {"new", [](vdfNameSet &) {}, 0},
        {"reserved for no name", [](vdfNameSet &set) { set.reserve(0); }, 0},
        {"only the empty name",
         [](vdfNameSet &set) {
             set.insert("");
             set.insert("");
         },
         0},
        {"a few names",
         [](vdfNameSet &set) {
             for (const char *name : {"a.example", "b.example", "c.example", ""})
                 set.insert(name);
         },
         8 * 1024},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vdfNameSet set;
        c.fill(set);
        EXPECT_LE(set.held_bytes(), c.max_bytes);
    }

    vdfNameSet repeated;
    repeated.insert("repeat.example");
    const size_t once = repeated.held_bytes();
    for (int i = 0; i < 100000; i++)
        EXPECT_FALSE(repeated.insert("repeat.example"));
    EXPECT_EQ(repeated.held_bytes(), once);
    EXPECT_EQ(repeated.size(), 1u);
}

}  // namespace
