// Gathering flow document members and writing them in key order: the same
// document as writing each member where it belongs, whatever the order.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "flow/flow_document.h"
#include "velbord.h"

namespace {

using vdFlowEncoding::Key;
using vdFlowEncoding::KeyTable;
using vdFlowEncoding::Members;

// The documents a test starts from: none, an empty one, and one with
// members beside, before and inside the ones written.
const char *const starting_documents[] = {"null", "{}", R"({"b": 0, "ssl": {"w": 1, "v": 2}, "zz": [1]})"};

// Writes one value into a fresh Members and into the serializer's document,
// at a member of the document and at a member of a member object.
template <class V> void ExpectSameAsSerializer(const char *what, const V &value)
{
    KeyTable table;
    const Key &top = table.Add("a");
    const Key &nested = table.Add("ssl", "v");
    table.Rank();
    const vdSerializer serializer;
    for (const char *start : starting_documents) {
        for (const Key *key : {&top, &nested}) {
            const vdSerializer::Keys path =
                key->sub.empty() ? vdSerializer::Keys{key->name} : vdSerializer::Keys{key->name, key->sub};
            json expected = json::parse(start), actual = json::parse(start);
            if constexpr (std::is_same_v<V, std::vector<std::string>>)
                serializer.serialize(expected, path, value, ",");
            else
                serializer.serialize(expected, path, value);
            Members members;
            members.Put(*key, value);
            members.MoveInto(actual);
            const std::string label = std::string(what) + " at " + key->name + "/" + key->sub + " into " + start;
            EXPECT_EQ(actual.dump(), expected.dump()) << label;
        }
    }
}

TEST(FlowDocument, ValuesAreWrittenOrLeftOutAsTheSerializerDoes)
{
    ExpectSameAsSerializer("text", std::string("x"));
    ExpectSameAsSerializer("empty text", std::string());
    ExpectSameAsSerializer("list", std::vector<std::string>{"x", "y"});
    ExpectSameAsSerializer("empty list", std::vector<std::string>{});
    ExpectSameAsSerializer("chars", "x");
    ExpectSameAsSerializer("empty chars", "");
    ExpectSameAsSerializer("null chars", static_cast<const char *>(nullptr));
    ExpectSameAsSerializer("false", false);
    ExpectSameAsSerializer("u8", uint8_t(255));
    ExpectSameAsSerializer("u16", uint16_t(65535));
    ExpectSameAsSerializer("u32", uint32_t(0));
    ExpectSameAsSerializer("u64 max", std::numeric_limits<uint64_t>::max());
    ExpectSameAsSerializer("double", 0.25);
    ExpectSameAsSerializer("json object", json{{"k", 1}});
    ExpectSameAsSerializer("json null", json());
    ExpectSameAsSerializer("json empty array", json::array());
    ExpectSameAsSerializer("json empty object", json::object());
    ExpectSameAsSerializer("json empty string", json(""));
}

TEST(FlowDocument, ASetOfTextsIsWrittenAsTheSortedList)
{
    KeyTable table;
    const Key &key = table.Add("tags");
    table.Rank();
    const std::set<std::string> sets[] = {{"b", "a", "a long tag of more than fifteen characters"}, {}};
    for (const auto &set : sets) {
        json from_set, from_list;
        Members members;
        members.Put(key, set);
        members.MoveInto(from_set);
        members.Put(key, std::vector<std::string>(set.begin(), set.end()));
        members.MoveInto(from_list);
        EXPECT_EQ(from_set.dump(), from_list.dump());
    }
}

// A table like the flow document's: values and member objects whose names
// sort around each other and around the values' names.
struct Table {
    Table()
    {
        for (const char *name : {"b", "category", "digest", "gtp_x", "local_ip", "z"})
            keys.push_back(&table.Add(name));
        for (const char *sub : {"version", "alpn", "client_sni", "v"})
            keys.push_back(&table.Add("ssl", sub));
        for (const char *sub : {"local_ip", "other_ip"})
            keys.push_back(&table.Add("gtp", sub));
        keys.push_back(&table.Add("a", "only"));
        table.Rank();
    }

    KeyTable table;
    std::vector<const Key *> keys;
};

TEST(FlowDocument, TheOrderOfWritingDoesNotChangeTheDocument)
{
    const Table t;
    std::mt19937 random(7);
    for (int round = 0; round < 20; round++) {
        std::vector<const Key *> order = t.keys;
        std::shuffle(order.begin(), order.end(), random);
        // Some keys twice: the later value wins, as with member access.
        order.push_back(order[round % order.size()]);
        order.push_back(order[(round * 5) % order.size()]);

        for (const char *start : starting_documents) {
            json expected = json::parse(start), actual = json::parse(start);
            Members members;
            for (size_t i = 0; i < order.size(); i++) {
                const Key &key = *order[i];
                json value = "value " + std::to_string(i);
                if (key.sub.empty())
                    expected[key.name] = value;
                else
                    expected[key.name][key.sub] = value;
                members.Put(key, value);
            }
            members.MoveInto(actual);
            EXPECT_EQ(actual.dump(), expected.dump()) << "round " << round << " into " << start;
        }
    }
}

TEST(FlowDocument, ANonObjectInTheWayRaisesAfterTheMembersBeforeIt)
{
    const Table t;
    json out = {{"ssl", "not an object"}};
    Members members;
    for (const Key *key : t.keys)
        members.Put(*key, true);
    EXPECT_THROW(members.MoveInto(out), json::type_error);
    EXPECT_EQ(out["local_ip"], true);
    EXPECT_FALSE(out.contains("z"));
}

TEST(FlowDocument, ANameIsEitherAValueOrAMemberObject)
{
    KeyTable table;
    table.Add("gtp");
    table.Add("gtp", "version");
    EXPECT_THROW(table.Rank(), std::logic_error);
}

TEST(FlowDocument, ATableHoldsAtMostMaxKeys)
{
    for (size_t count : {vdFlowEncoding::max_keys, vdFlowEncoding::max_keys + 1}) {
        KeyTable table;
        std::vector<const Key *> keys;
        for (size_t at = 0; at < count; at++)
            keys.push_back(&table.Add("k" + std::to_string(at)));
        if (count > vdFlowEncoding::max_keys) {
            EXPECT_THROW(table.Rank(), std::logic_error);
            continue;
        }
        table.Rank();
        // The highest rank still goes in its place.
        json document;
        Members members;
        members.Put(*keys.back(), true);
        members.Put(*keys.front(), false);
        members.MoveInto(document);
        EXPECT_EQ(document.dump(), R"({"k0":false,"k)" + std::to_string(count - 1) + R"(":true})");
    }
}

}  // namespace

namespace {

// A document written member by member where each belongs, as the serializer
// does: what Build must make of the same members.
json ExpectedDocument(const std::vector<std::pair<const Key *, json>> &written)
{
    json expected;
    for (const auto &[key, value] : written) {
        if (key->sub.empty())
            expected[key->name] = value;
        else
            expected[key->name][key->sub] = value;
    }
    return expected;
}

// The keys of t whose bits are set in subset, each with a value naming the
// round, the last key written twice.
std::vector<std::pair<const Key *, json>> Written(const Table &t, unsigned subset, int round)
{
    std::vector<std::pair<const Key *, json>> written;
    for (size_t at = 0; at < t.keys.size(); at++) {
        if (subset & (1u << at))
            written.emplace_back(t.keys[at], "round " + std::to_string(round) + " key " + std::to_string(at));
    }
    if (!written.empty())
        written.emplace_back(written.back().first, json::array({round}));
    return written;
}

// Writes the members into a new document; gives it back when asked to.
json BuildAndMaybeGiveBack(const std::vector<std::pair<const Key *, json>> &written, bool give_back)
{
    Members members;
    for (const auto &[key, value] : written)
        members.Put(*key, value);
    vdFlowEncoding::ShapeId shape;
    json document = members.Build(shape);
    json copy = document;
    if (give_back)
        Members::GiveBack(document, shape);
    return copy;
}

}  // namespace

TEST(FlowDocument, DocumentsOfOneKeySetReuseTreesWithoutEarlierValues)
{
    const Table t;
    // Few key sets, so that trees are given back and filled again; every
    // document is checked in full, so a value left from an earlier one shows.
    const unsigned subsets[] = {0x1fff, 0x0155, 0x0aaa, 0x1fff, 0x0155, 0x0001, 0x1800, 0x0aaa};
    for (int round = 0; round < 64; round++) {
        const auto written = Written(t, subsets[round % std::size(subsets)], round);
        const json document = BuildAndMaybeGiveBack(written, round % 5 != 4);
        EXPECT_EQ(document.dump(), ExpectedDocument(written).dump()) << "round " << round;
    }
}

TEST(FlowDocument, MoreKeySetsThanAThreadKeepsStillBuildRightDocuments)
{
    const Table t;
    // Every subset of the first nine keys (512 > the kept 128), twice over.
    for (int round = 0; round < 1024; round++) {
        const auto written = Written(t, static_cast<unsigned>(round) % 512 * 7 % 512, round);
        const json document = BuildAndMaybeGiveBack(written, true);
        ASSERT_EQ(document.dump(), ExpectedDocument(written).dump()) << "round " << round;
    }
}

TEST(FlowDocument, AChangedDocumentGivenBackIsNotReused)
{
    const Table t;
    const auto first = Written(t, 0x00ff, 1);
    Members members;
    for (const auto &[key, value] : first)
        members.Put(*key, value);
    vdFlowEncoding::ShapeId shape;
    json document = members.Build(shape);
    document["added"] = 1;
    Members::GiveBack(document, shape);
    // Left to its owner, unchanged.
    EXPECT_EQ(document.size(), 8u);
    EXPECT_EQ(document["added"], 1);

    const auto second = Written(t, 0x00ff, 2);
    EXPECT_EQ(BuildAndMaybeGiveBack(second, false).dump(), ExpectedDocument(second).dump());
}

TEST(FlowDocument, TablesWithTheSameRanksKeepTheirOwnNames)
{
    KeyTable first, second;
    const Key &a = first.Add("a"), &b = first.Add("b", "x");
    const Key &c = second.Add("c"), &d = second.Add("d", "y");
    first.Rank();
    second.Rank();
    ASSERT_EQ(a.rank, c.rank);
    ASSERT_EQ(b.rank, d.rank);

    const std::vector<std::vector<std::pair<const Key *, json>>> documents = {
        {{&a, 1}, {&b, 2}},
        {{&c, 3}, {&d, 4}},
        {{&b, 5}, {&a, 6}},
    };
    for (int round = 0; round < 2; round++) {
        for (const auto &written : documents)
            EXPECT_EQ(BuildAndMaybeGiveBack(written, true).dump(), ExpectedDocument(written).dump());
    }

    // Ranks of two tables cannot be ordered together.
    Members mixed;
    mixed.Put(a, true);
    EXPECT_THROW(mixed.Put(d, true), std::logic_error);
}
