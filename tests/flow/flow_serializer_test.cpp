// Writing values into JSON documents: paths and the values that are left out.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "velbord.h"

namespace {

using Keys = vdSerializer::Keys;
using Write = std::function<void(const vdSerializer &, json &, const Keys &)>;

struct Overload {
    const char *name;
    Write write;
};

// One value of every overload that is written whenever the path is valid.
const Overload always_written[] = {
    {"string", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, std::string("x")); }},
    {"list",
     [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, std::vector<std::string>{"x"}, ""); }},
    {"chars", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, "x"); }},
    {"bool", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, true); }},
    {"u8", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, uint8_t(1)); }},
    {"u16", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, uint16_t(1)); }},
    {"u32", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, uint32_t(1)); }},
    {"u64", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, uint64_t(1)); }},
    {"double", [](const vdSerializer &s, json &o, const Keys &k) { s.serialize(o, k, 1.5); }},
    {"json",
     [](const vdSerializer &s, json &o, const Keys &k) {
         s.serialize(o, k, json{{"a", 1}});
     }},
};

struct ValueCase {
    const char *name;
    Write write;           // called with the path {"ssl", "v"}
    const char *expected;  // the whole document; "null" when nothing is written
};

}  // namespace

TEST(FlowSerializer, PathsOtherThanOneOrTwoKeysWriteNothing)
{
    const vdSerializer serializer;
    for (const auto &overload : always_written) {
        for (const Keys &keys : {Keys{}, Keys{"a", "b", "c"}}) {
            json out;
            overload.write(serializer, out, keys);
            EXPECT_TRUE(out.is_null()) << overload.name << " with " << keys.size() << " keys";
        }
        json one, two;
        overload.write(serializer, one, {"a"});
        overload.write(serializer, two, {"a", "b"});
        EXPECT_TRUE(one.contains("a")) << overload.name;
        EXPECT_TRUE(two["a"].contains("b")) << overload.name;
    }
}

TEST(FlowSerializer, LeavesOutValuesThatCarryNothing)
{
    const ValueCase cases[] = {
        {"empty string", [](auto &s, auto &o, auto &k) { s.serialize(o, k, std::string()); }, "null"},
        {"empty list", [](auto &s, auto &o, auto &k) { s.serialize(o, k, std::vector<std::string>{}, ","); }, "null"},
        {"json null", [](auto &s, auto &o, auto &k) { s.serialize(o, k, json()); }, "null"},
        {"empty array", [](auto &s, auto &o, auto &k) { s.serialize(o, k, json::array()); }, "null"},
        {"empty object", [](auto &s, auto &o, auto &k) { s.serialize(o, k, json::object()); }, "null"},
        {"null chars", [](auto &s, auto &o, auto &k) { s.serialize(o, k, static_cast<const char *>(nullptr)); },
         "null"},
        {"empty chars", [](auto &s, auto &o, auto &k) { s.serialize(o, k, ""); }, R"({"ssl":{"v":""}})"},
        {"json empty string", [](auto &s, auto &o, auto &k) { s.serialize(o, k, json("")); }, R"({"ssl":{"v":""}})"},
        {"json zero", [](auto &s, auto &o, auto &k) { s.serialize(o, k, json(0)); }, R"({"ssl":{"v":0}})"},
        {"json false", [](auto &s, auto &o, auto &k) { s.serialize(o, k, json(false)); }, R"({"ssl":{"v":false}})"},
        {"false", [](auto &s, auto &o, auto &k) { s.serialize(o, k, false); }, R"({"ssl":{"v":false}})"},
        {"u8 zero", [](auto &s, auto &o, auto &k) { s.serialize(o, k, uint8_t(0)); }, R"({"ssl":{"v":0}})"},
        {"u64 max", [](auto &s, auto &o, auto &k) { s.serialize(o, k, std::numeric_limits<uint64_t>::max()); },
         R"({"ssl":{"v":18446744073709551615}})"},
        {"double", [](auto &s, auto &o, auto &k) { s.serialize(o, k, 0.25); }, R"({"ssl":{"v":0.25}})"},
        {"list in order",
         [](auto &s, auto &o, auto &k) {
             s.serialize(o, k, std::vector<std::string>{"h2", "a"}, "");
         },
         R"({"ssl":{"v":["h2","a"]}})"},
    };
    const vdSerializer serializer;
    for (const auto &c : cases) {
        json out;
        c.write(serializer, out, {"ssl", "v"});
        // Compared as text: the number types (unsigned, float) must survive.
        EXPECT_EQ(out.dump(), c.expected) << c.name;
    }
}

TEST(FlowSerializer, LaterValueReplacesAndSiblingsStay)
{
    const vdSerializer serializer;
    json out = {{"ssl", {{"alpn", {"h2"}}}}};
    serializer.serialize(out, {"ssl", "version"}, std::string("0x0303"));
    serializer.serialize(out, {"ssl", "version"}, std::string("0x0304"));
    serializer.serialize(out, {"ssl", "alpn"}, std::vector<std::string>{}, "");
    EXPECT_EQ(out, json::parse(R"({"ssl":{"alpn":["h2"],"version":"0x0304"}})"));
}

TEST(FlowSerializer, NonObjectInThePathRaisesTypeError)
{
    const vdSerializer serializer;
    json array = json::array();
    EXPECT_THROW(serializer.serialize(array, {"a"}, true), json::type_error);
    json scalar_member = {{"ssl", "text"}};
    EXPECT_THROW(serializer.serialize(scalar_member, {"ssl", "version"}, uint16_t(1)), json::type_error);
    EXPECT_EQ(scalar_member, json({{"ssl", "text"}}));
}
