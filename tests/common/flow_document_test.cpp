// Gathering flow document members and writing them in key order: the same
// document as writing each member where it belongs, whatever the order.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/flow_document.h"
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

}  // namespace
