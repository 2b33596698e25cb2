#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "feeds/radix/radix_tree.h"
#include "support/log_capture.h"

namespace {

using Key4 = vdRadixNetworkEntry<32>;
using Key6 = vdRadixNetworkEntry<128>;

template <std::size_t N> vdAddr AddressOf(const vdRadixNetworkEntry<N> &key)
{
    vdAddr address;
    address.family = N == 32 ? vdAddr::ipv4 : vdAddr::ipv6;
    address.prefix_length = uint8_t(key.prefix_len);
    const auto bits = key.bits();
    for (std::size_t i = 0; i < N / 8; ++i)
        address.addr.bytes[i] = uint8_t(bits >> (N - 8 * (i + 1)));
    return address;
}

// "a.b.c.d/len" or "v6/len" of a key, as the host writes addresses.
template <std::size_t N> std::string Text(const vdRadixNetworkEntry<N> &key)
{
    std::string text;
    vdAddr::MakeString(AddressOf(key), text, vdAddr::MakeFlags::prefix);
    return text;
}

vdAddr Parse(const std::string &text)
{
    vdAddr address;
    EXPECT_TRUE(vdAddr::Create(address, text)) << text;
    return address;
}

template <std::size_t N> vdRadixNetworkEntry<N> Prefix(const std::string &text)
{
    vdRadixNetworkEntry<N> key;
    EXPECT_TRUE(vdRadixNetworkEntry<N>::Create(key, Parse(text))) << text;
    return key;
}

template <std::size_t N> vdRadixNetworkEntry<N> Query(const std::string &text)
{
    vdRadixNetworkEntry<N> key;
    EXPECT_TRUE(vdRadixNetworkEntry<N>::CreateQuery(key, Parse(text))) << text;
    return key;
}

// ---- keys ----

struct KeyCase {
    const char *name;
    vdAddr address;
    bool v6;
    const char *stored;      // text of the stored key; empty when refused
    const char *debug_line;  // the one debug line logged, or empty
};

vdAddr WithLength(const std::string &text, uint8_t length)
{
    vdAddr address = Parse(text);
    address.prefix_length = length;
    return address;
}

TEST(RadixKey, CreateClearsHostBitsTakesZeroAsFullLengthAndRefusesBadInput)
{
    const KeyCase cases[] = {
        {"host bits cleared", Parse("10.1.2.3/8"), false, "10.0.0.0/8", ""},
        {"no length is the host", Parse("10.1.2.3"), false, "10.1.2.3/32", ""},
        {"length 0 is the host", WithLength("10.1.2.3", 0), false, "10.1.2.3/32", ""},
        {"length 33", WithLength("10.1.2.3", 33), false, "", "Invalid radix address prefix length.\n"},
        {"no family", vdAddr(), false, "", "Invalid radix address.\n"},
        {"IPv6 into an IPv4 key", Parse("2001:db8::1"), false, "", "Invalid radix address.\n"},
        {"IPv6 host bits cleared", Parse("2001:db8:ffff::1/33"), true, "2001:db8:8000::/33", ""},
        {"IPv6 without length", Parse("2001:db8::1"), true, "2001:db8::1/128", ""},
        {"length 129", WithLength("2001:db8::1", 129), true, "", "Invalid radix address prefix length.\n"},
        {"IPv4 into an IPv6 key", Parse("10.1.2.3"), true, "", "Invalid radix address.\n"},
    };
    for (const KeyCase &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        std::string stored;
        bool created;
        if (c.v6) {
            Key6 key;
            created = Key6::Create(key, c.address);
            stored = created ? Text(key) : "";
        } else {
            Key4 key;
            created = Key4::Create(key, c.address);
            stored = created ? Text(key) : "";
        }
        EXPECT_EQ(created, *c.stored != '\0');
        EXPECT_EQ(stored, c.stored);
        const std::vector<std::string> expected_lines =
            *c.debug_line ? std::vector<std::string>{c.debug_line} : std::vector<std::string>{};
        EXPECT_EQ(log.Lines(vdLogLevel::debug), expected_lines);
    }
}

TEST(RadixKey, QueryKeepsEveryBitAndHostOrderHelpersBuildTheSameKeys)
{
    LogCapture log;
    EXPECT_EQ(Text(Query<32>("10.1.2.3/8")), "10.1.2.3/32");
    EXPECT_EQ(Text(Query<128>("2001:db8::1/16")), "2001:db8::1/128");
    Key4 refused;
    EXPECT_FALSE(Key4::CreateQuery(refused, vdAddr()));
    EXPECT_EQ(log.Lines(vdLogLevel::debug), std::vector<std::string>{"Invalid radix address.\n"});

    Key4 from_host;
    ASSERT_TRUE(Key4::CreateIPv4(from_host, 0x0a010203, 8));
    EXPECT_EQ(from_host, Prefix<32>("10.1.2.3/8"));
    ASSERT_TRUE(Key4::CreateIPv4(from_host, 0x0a010203, 0));
    EXPECT_EQ(from_host, Prefix<32>("10.1.2.3/32"));
    EXPECT_FALSE(Key4::CreateIPv4(from_host, 0x0a010203, 33));
    EXPECT_EQ(Key4::QueryIPv4(0x0a010203), Query<32>("10.1.2.3"));
}

TEST(RadixKey, BitsSubKeysAndOrder)
{
    const Key6 key = Prefix<128>("8000::1/128");
    EXPECT_TRUE(key[0]);
    EXPECT_FALSE(key[1]);
    EXPECT_TRUE(key[127]);
    EXPECT_FALSE(key[128]);

    const Key4 address = Query<32>("10.1.2.3");  // 00001010 00000001 ...
    struct SubCase {
        std::size_t begin, num;
        uint32_t bits;
    } const sub_cases[] = {
        {0, 0, 0},           {0, 8, 0x0a000000},  {4, 4, 0xa0000000},  {8, 16, 0x01020000},
        {24, 8, 0x03000000}, {0, 32, 0x0a010203}, {30, 8, 0xc0000000},  // past the last position reads as zero
    };
    for (const SubCase &c : sub_cases) {
        const Key4 sub = radix_substr(address, c.begin, c.num);
        EXPECT_EQ(sub.addr, c.bits) << c.begin << "+" << c.num;
        EXPECT_EQ(sub.length(), std::min<std::size_t>(c.num, 32)) << c.begin << "+" << c.num;
    }

    // Numeric order of the bits, the shorter first on equal bits; the high word decides first.
    const std::vector<Key6> ordered = {Prefix<128>("::/1"), Prefix<128>("::/8"), Prefix<128>("::1"),
                                       Prefix<128>("0:0:0:1::/64"), Prefix<128>("8000::/1")};
    std::vector<Key6> keys = {ordered[4], ordered[2], ordered[1], ordered[0], ordered[3]};
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, ordered);
}

// ---- the tree ----

// The value of the longest match, none for no match.
template <typename Tree> std::optional<int> MatchedValue(const Tree &tree, const typename Tree::key_type &key)
{
    const auto hit = tree.longest_match(key);
    return hit == tree.end() ? std::nullopt : std::optional<int>(hit->second);
}

struct MatchCase {
    const char *name;
    std::vector<std::string> stored;                            // lines in insertion order
    std::vector<std::pair<std::string, std::string>> expected;  // address -> matched prefix, "" for none
};

// Each line is stored with itself as value: a repeated prefix must be refused and the first
// line's value kept.
template <std::size_t N> void CheckMatches(const MatchCase &c)
{
    SCOPED_TRACE(c.name);
    radix_tree<vdRadixNetworkEntry<N>, std::string> tree;
    std::map<std::string, std::string> first_line;  // by stored prefix
    for (const std::string &line : c.stored) {
        const vdRadixNetworkEntry<N> key = Prefix<N>(line);
        const bool first = first_line.emplace(Text(key), line).second;
        EXPECT_EQ(tree.insert({key, line}).second, first) << line;
    }
    EXPECT_EQ(tree.size(), first_line.size());
    for (const auto &[address, prefix] : c.expected) {
        const auto hit = tree.longest_match(Query<N>(address));
        EXPECT_EQ(hit == tree.end() ? "" : Text(hit->first), prefix) << address;
        if (hit != tree.end()) {
            EXPECT_EQ(hit->second, first_line[prefix]) << address;
        }
    }
}

TEST(RadixTree, LongestMatchOverNamedPrefixSets)
{
    const MatchCase v4_cases[] = {
        {"empty tree", {}, {{"10.1.2.3", ""}, {"0.0.0.0", ""}}},
        {"host bits cleared", {"10.1.2.3/8"}, {{"10.200.0.1", "10.0.0.0/8"}, {"11.0.0.1", ""}}},
        {"length 0 is the host", {"10.1.2.3/0"}, {{"10.1.2.3", "10.1.2.3/32"}, {"10.1.2.4", ""}}},
        {"repeats keep the first",
         {"10.1.2.3/8", "10.0.0.0/8", "10.0.0.0/16", "10.0.7.7/16"},
         {{"10.9.9.9", "10.0.0.0/8"}, {"10.0.1.1", "10.0.0.0/16"}}},
        {"/8 then /16",
         {"10.0.0.0/8", "10.1.0.0/16"},
         {{"10.1.2.3", "10.1.0.0/16"}, {"10.2.3.4", "10.0.0.0/8"}, {"11.0.0.1", ""}}},
        {"/16 then /8",
         {"10.0.0.0/16", "10.0.0.0/8"},
         {{"10.0.5.5", "10.0.0.0/16"}, {"10.9.9.9", "10.0.0.0/8"}, {"9.255.255.255", ""}}},
        {"/16 and /24 then /12",
         {"10.0.0.0/16", "10.0.1.0/24", "10.0.0.0/12"},
         {{"10.0.1.5", "10.0.1.0/24"},
          {"10.0.2.5", "10.0.0.0/16"},
          {"10.5.0.1", "10.0.0.0/12"},
          {"10.15.255.255", "10.0.0.0/12"},
          {"10.16.0.0", ""}}},
        {"10/8 and 11/8",
         {"10.0.0.0/8", "11.0.0.0/8"},
         {{"10.200.0.1", "10.0.0.0/8"}, {"11.0.0.1", "11.0.0.0/8"}, {"12.0.0.1", ""}, {"9.0.0.1", ""}}},
        {"host prefix",
         {"10.0.0.0/8", "10.1.2.3"},
         {{"10.1.2.3", "10.1.2.3/32"}, {"10.1.2.4", "10.0.0.0/8"}, {"10.1.2.2", "10.0.0.0/8"}}},
        {"host first, then its networks widest last",
         {"10.1.2.3", "10.1.2.0/24", "10.1.0.0/16", "10.0.0.0/8"},
         {{"10.1.2.3", "10.1.2.3/32"},
          {"10.1.2.9", "10.1.2.0/24"},
          {"10.1.9.9", "10.1.0.0/16"},
          {"10.9.9.9", "10.0.0.0/8"}}},
    };
    for (const MatchCase &c : v4_cases)
        CheckMatches<32>(c);

    const MatchCase v6_cases[] = {
        {"/48 then /32 then host",
         {"2001:db8:1::/48", "2001:db8::/32", "2001:db8:1::1"},
         {{"2001:db8:1::1", "2001:db8:1::1/128"},
          {"2001:db8:1::2", "2001:db8:1::/48"},
          {"2001:db8:2::1", "2001:db8::/32"},
          {"2001:db9::1", ""}}},
        {"split in the low word",
         {"2001:db8::ff00/120", "2001:db8::ff80/121", "2001:db8::/64"},
         {{"2001:db8::ff81", "2001:db8::ff80/121"},
          {"2001:db8::ff01", "2001:db8::ff00/120"},
          {"2001:db8::1", "2001:db8::/64"}}},
    };
    for (const MatchCase &c : v6_cases)
        CheckMatches<128>(c);
}

TEST(RadixTree, SiblingsSplitOneEdgeAfterTheirSharedBits)
{
    radix_tree<Key4, bool> tree;
    tree.insert({Prefix<32>("10.0.0.0/8"), true});
    tree.insert({Prefix<32>("11.0.0.0/8"), true});
    // 00001010 and 00001011 share 7 bits: one edge of 7 from the root, two of 1 below it.
    const auto *root = tree.root();
    ASSERT_NE(root, nullptr);
    const auto *shared = tree.find_node(Prefix<32>("10.0.0.0/7"), tree.root(), 0);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->key(), radix_substr(Prefix<32>("10.0.0.0/8"), 0, 7));
    EXPECT_EQ(shared->depth, 0);
    EXPECT_FALSE(shared->has_leaf());
    for (const char *text : {"10.0.0.0/8", "11.0.0.0/8"}) {
        const auto *node = tree.find_node(Prefix<32>(text), tree.root(), 0);
        EXPECT_EQ(node->depth, 7);
        EXPECT_EQ(node->key_len, 1);
        EXPECT_TRUE(node->has_leaf());
        EXPECT_NE(tree.find(Prefix<32>(text)), tree.end());
    }
    EXPECT_EQ(tree.node_count(), 4u);  // the root, the shared edge, the two /8 edges
}

TEST(RadixTree, RepeatedInsertReturnsTheStoredPairAndIndexingTheStoredSet)
{
    radix_tree<Key4, bool> flags;
    EXPECT_TRUE(flags.insert({Prefix<32>("10.1.2.3/8"), false}).second);
    const auto again = flags.insert({Prefix<32>("10.0.0.0/8"), true});
    EXPECT_FALSE(again.second);
    EXPECT_EQ(again.first, flags.find(Prefix<32>("10.0.0.0/8")));
    EXPECT_FALSE(again.first->second);

    radix_tree<Key6, std::unordered_set<uint16_t>> ports;
    const Key6 key = Prefix<128>("2001:db8::/32");
    ports[key].insert(80);
    std::unordered_set<uint16_t> *first = &ports[key];
    first->insert(443);
    // Many more keys: the stored set neither moves nor changes.
    for (uint32_t i = 0; i < 5000; ++i)
        ports[Key6::FromBits(Key6::wide(i + 1) << 64, 64)].insert(uint16_t(i));
    EXPECT_EQ(&ports[key], first);
    EXPECT_EQ(ports[key], (std::unordered_set<uint16_t>{80, 443}));
    EXPECT_EQ(ports.size(), 5001u);
    const auto hit = ports.longest_match(Query<128>("2001:db8::7"));
    ASSERT_NE(hit, ports.end());
    EXPECT_EQ(&hit->second, first);
}

TEST(RadixTree, RefusesKeysLongerThanTheAddressAndMisplacedLeaves)
{
    radix_tree<Key4, int> tree;
    Key4 too_long = Prefix<32>("10.0.0.0/8");
    too_long.prefix_len = 33;
    EXPECT_THROW(tree.insert({too_long, 1}), std::invalid_argument);
    EXPECT_THROW(tree[too_long], std::invalid_argument);
    EXPECT_EQ(tree.longest_match(too_long), tree.end());
    EXPECT_EQ(tree.size(), 0u);

    tree.insert({Prefix<32>("10.0.0.0/8"), 1});
    auto *edge = tree.find_node(Prefix<32>("10.0.0.0/8"), tree.root(), 0);
    // The /16 passes the whole /8 edge: it belongs below it, not in a split of it.
    try {
        tree.prepend(edge, {Prefix<32>("10.1.0.0/16"), 2});
        ADD_FAILURE() << "prepend accepted a key that does not split the edge";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "overlapping network detected");
    }
    EXPECT_THROW(tree.append(tree.root(), {Prefix<32>("10.0.0.0/8"), 3}), std::invalid_argument);
    EXPECT_THROW(tree.append(edge, {Prefix<32>("11.0.0.0/16"), 4}), std::invalid_argument);
    EXPECT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.node_count(), 2u);

    // Used where they belong, they store what insert would.
    const auto leaf = tree.append(edge, {Prefix<32>("10.1.0.0/16"), 5});
    EXPECT_EQ(tree.longest_match(Query<32>("10.1.2.3")), leaf);
    const auto split = tree.prepend(edge, {Prefix<32>("8.0.0.0/6"), 6});
    EXPECT_EQ(tree.longest_match(Query<32>("9.0.0.1")), split);
    EXPECT_EQ(MatchedValue(tree, Query<32>("10.2.0.1")), 1);
}

TEST(RadixTree, CopiesAndMovesKeepTheirAnswers)
{
    radix_tree<Key4, int> tree;
    tree.insert({Prefix<32>("10.0.0.0/8"), 8});
    tree.insert({Prefix<32>("10.1.0.0/16"), 16});
    radix_tree<Key4, int> copy = tree;
    copy[Prefix<32>("10.1.2.0/24")] = 24;
    copy[Prefix<32>("10.0.0.0/8")] = 80;
    EXPECT_EQ(MatchedValue(tree, Query<32>("10.1.2.3")), 16);
    EXPECT_EQ(MatchedValue(tree, Query<32>("10.2.0.0")), 8);
    EXPECT_EQ(MatchedValue(copy, Query<32>("10.1.2.3")), 24);
    EXPECT_EQ(MatchedValue(copy, Query<32>("10.2.0.0")), 80);

    const auto before = copy.longest_match(Query<32>("10.1.2.3"));
    radix_tree<Key4, int> moved = std::move(copy);
    EXPECT_EQ(moved.longest_match(Query<32>("10.1.2.3")), before);
    EXPECT_EQ(moved.size(), 3u);
}

TEST(RadixTree, LargeTreesCopyAndMoveTheirJumpIndex)
{
    const auto network = [](uint32_t i) { return Key4::FromBits(0x0a000000u + (i << 8), 24); };
    radix_tree<Key4, int> large;
    for (uint32_t i = 0; i < radix_tree<Key4, int>::jump_index_threshold + 100; ++i)
        large.insert({network(i), int(i)});
    const Key4 probe = Key4::QueryIPv4(0x0a000000u + (777 << 8) + 5);

    radix_tree<Key4, int> copy = large;
    copy[network(777)] = -1;
    radix_tree<Key4, int> moved = std::move(large);
    EXPECT_EQ(MatchedValue(copy, probe), -1);
    EXPECT_EQ(MatchedValue(moved, probe), 777);

    // A prefix ending inside an edge near the root, attached directly: lookups that start
    // from the index below it see it.
    const Key4 wide_network = Prefix<32>("10.0.0.0/7");
    auto *edge = moved.find_node(wide_network, moved.root(), 0);
    ASSERT_LT(edge->end(), 16u);
    moved.prepend(edge, {wide_network, -7});
    EXPECT_EQ(MatchedValue(moved, Key4::QueryIPv4(0x0a460001)), -7);  // 10.70.0.1
    EXPECT_EQ(MatchedValue(moved, probe), 777);

    // The moved-from tree stays usable.
    large.insert({Key4::FromBits(0x0b000000, 8), 11});
    EXPECT_EQ(MatchedValue(large, Key4::QueryIPv4(0x0b010101)), 11);
    EXPECT_EQ(large.longest_match(probe), large.end());
}

// The index skips the positions every stored key shares; a prefix that ends inside them,
// and then a default route, move its start back.
TEST(RadixTree, JumpIndexFollowsThePositionsAllKeysShare)
{
    const auto network = [](uint32_t i) { return Prefix<128>("2001:db8::/32").bits() | (Key6::wide(i) << 80); };
    radix_tree<Key6, int> tree;
    for (uint32_t i = 0; i < radix_tree<Key6, int>::jump_index_threshold + 100; ++i)
        tree.insert({Key6::FromBits(network(i), 48), int(i)});
    const Key6 inside = Query<128>("2001:db8:309::5");  // network 777
    EXPECT_EQ(MatchedValue(tree, inside), 777);
    EXPECT_EQ(MatchedValue(tree, Query<128>("2001:db9::1")), std::nullopt);
    EXPECT_EQ(MatchedValue(tree, Query<128>("2001:db8:ffff::1")), std::nullopt);

    tree.insert({Prefix<128>("2001:db0::/28"), -28});
    EXPECT_EQ(MatchedValue(tree, inside), 777);
    EXPECT_EQ(MatchedValue(tree, Query<128>("2001:db8:ffff::1")), -28);
    EXPECT_EQ(MatchedValue(tree, Query<128>("2001:dbf::1")), -28);
    EXPECT_EQ(MatchedValue(tree, Query<128>("2001:dc0::1")), std::nullopt);

    tree.insert({Key6::FromBits(0, 0), 0});
    tree.insert({Prefix<128>("4000::/2"), -2});
    EXPECT_EQ(MatchedValue(tree, inside), 777);
    EXPECT_EQ(MatchedValue(tree, Query<128>("2001:db8:ffff::1")), -28);
    EXPECT_EQ(MatchedValue(tree, Query<128>("3000::1")), 0);
    EXPECT_EQ(MatchedValue(tree, Query<128>("4001::1")), -2);
}

// ---- against a brute-force reference ----

template <std::size_t N> bool IsPrefixOf(const vdRadixNetworkEntry<N> &prefix, const vdRadixNetworkEntry<N> &key)
{
    using Key = vdRadixNetworkEntry<N>;
    return prefix.length() <= key.length() && ((prefix.bits() ^ key.bits()) & Key::top_mask(prefix.length())) == 0;
}

// One exact map per length, probed from the key's own length down.
template <std::size_t N> class ReferenceSet
{
public:
    using Key = vdRadixNetworkEntry<N>;
    // First value wins, as in the tree.
    bool Insert(const Key &key, int value)
    {
        if (!by_length[key.length()].emplace(key.bits(), value).second)
            return false;
        entries.push_back(key);
        return true;
    }
    std::optional<std::pair<Key, int>> LongestMatch(const Key &key) const
    {
        for (std::size_t length = std::min(key.length(), N) + 1; length-- > 0;) {
            const auto bits = key.bits() & Key::top_mask(length);
            const auto found = by_length[length].find(bits);
            if (found != by_length[length].end())
                return std::pair{Key::FromBits(bits, length), found->second};
        }
        return std::nullopt;
    }
    const std::vector<Key> &Entries() const { return entries; }

private:
    std::map<typename Key::wide, int> by_length[N + 1];
    std::vector<Key> entries;
};

template <std::size_t N> class Randomizer
{
public:
    using Key = vdRadixNetworkEntry<N>;
    using Wide = typename Key::wide;
    explicit Randomizer(uint32_t seed) : engine(seed) {}

    Wide Bits()
    {
        if constexpr (N == 32) {
            return engine();
        } else {
            Wide bits = 0;
            for (std::size_t i = 0; i < N / 32; ++i)
                bits = (bits << 32) | Wide(engine());
            return bits;
        }
    }
    std::size_t Below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine); }
    // Prefixes drawn around a few bases, so that they nest and share edges; length 0 included.
    Key Prefix(const std::vector<Wide> &bases)
    {
        const Wide base = bases[Below(bases.size())];
        const Wide noise = Below(3) != 0 ? Bits() : Wide(0);
        return Key::FromBits(base ^ (noise >> Below(N)), Below(N + 1));
    }
    // An address inside the prefix: its bits, random bits after them.
    Key Inside(const Key &prefix)
    {
        return Key::FromBits(prefix.bits() | (Bits() & ~Key::top_mask(prefix.length())), N);
    }

    std::mt19937 engine;
};

// Leaves the tree's final size in `stored`.
template <std::size_t N>
void CompareWithReference(uint32_t seed, std::size_t prefix_count, std::size_t probe_count,
                          std::size_t *stored = nullptr)
{
    using Key = vdRadixNetworkEntry<N>;
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(N) + " bits");
    Randomizer<N> random(seed);
    std::vector<typename Key::wide> bases(1 + random.Below(12));
    for (auto &base : bases)
        base = random.Bits();

    radix_tree<Key, int> tree;
    ReferenceSet<N> reference;
    for (std::size_t i = 0; i < prefix_count; ++i) {
        const Key key = random.Prefix(bases);
        const int value = int(i);
        const bool added = reference.Insert(key, value);
        const auto [where, inserted] = tree.insert({key, value});
        ASSERT_EQ(inserted, added) << Text(key);
        ASSERT_EQ(where->first, key);
        ASSERT_EQ(where->second, reference.LongestMatch(key)->second) << Text(key);
        if (random.Below(8) == 0) {  // a duplicate of an earlier key
            const Key earlier = reference.Entries()[random.Below(reference.Entries().size())];
            ASSERT_FALSE(tree.insert({earlier, -1}).second) << Text(earlier);
        }
    }
    ASSERT_EQ(tree.size(), reference.Entries().size());

    for (std::size_t i = 0; i < probe_count; ++i) {
        Key probe;
        switch (random.Below(3)) {
        case 0:
            probe = Key::FromBits(random.Bits(), N);
            break;
        case 1:
            probe = random.Inside(reference.Entries()[random.Below(reference.Entries().size())]);
            break;
        default:
            probe = random.Prefix(bases);
            break;  // shorter keys too
        }
        const auto expected = reference.LongestMatch(probe);
        const auto hit = tree.longest_match(probe);
        ASSERT_EQ(hit != tree.end(), expected.has_value()) << Text(probe);
        if (expected) {
            ASSERT_EQ(hit->first, expected->first) << Text(probe);
            ASSERT_EQ(hit->second, expected->second) << Text(probe);
        }
        const bool exact = expected && expected->first == probe;
        ASSERT_EQ(tree.find(probe) != tree.end(), exact) << Text(probe);
    }
    if (stored != nullptr)
        *stored = tree.size();
}

TEST(RadixTree, MatchesABruteForceReferenceOnRandomNestedSets)
{
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        CompareWithReference<32>(seed, 1 + seed % 97, 300);
        CompareWithReference<128>(seed, 1 + seed % 97, 300);
    }
    CompareWithReference<32>(1000, 3000, 5000);
    CompareWithReference<128>(1001, 3000, 5000);
}

// Large sets use an index over the first bits, built midway, widened as the set doubles and
// kept current by the inserts after it, short prefixes and splits near the root among them.
TEST(RadixTree, MatchesABruteForceReferenceWithTheJumpIndex)
{
    const std::size_t threshold = radix_tree<Key4, int>::jump_index_threshold;
    std::size_t stored = 0;
    CompareWithReference<32>(2000, 150000, 30000, &stored);
    EXPECT_GT(stored, 2 * threshold);  // built, then widened once
    CompareWithReference<128>(2001, 80000, 30000, &stored);
    EXPECT_GT(stored, threshold + 5000);
}

}  // namespace
