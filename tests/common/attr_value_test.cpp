#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/attr_value.h"
#include "support/error_text.h"

using vppIntel::AttrValue;

namespace {

using Serializer = nlohmann::adl_serializer<AttrValue>;

std::string Render(const AttrValue &value, bool typed)
{
    json j;
    Serializer::to_json(j, value, typed);
    std::string text;
    vd_json_to_string(j, text);
    return text;
}

// What a typed read raised: "ok", or the kind of error.
std::string ReadOutcome(const json &j, AttrValue &value)
{
    try {
        Serializer::from_json(j, value);
        return "ok";
    } catch (const vdException &) {
        return "does not fit";
    } catch (const json::out_of_range &) {
        return "missing key";
    } catch (const json::type_error &) {
        return "type error";
    } catch (const std::bad_variant_access &) {
        return "not typed";
    }
}

TEST(AttrValue, BothFormsAndTypedRoundTrip)
{
    struct Case {
        AttrValue value;
        std::string bare;
        std::string typed;
    };
    const std::vector<Case> cases = {
        {true, "true", R"({"data":true,"type":"bool"})"},
        // Written as the float widened to a double, not as 0.1.
        {0.1f, "0.10000000149011612", R"({"data":0.10000000149011612,"type":"float"})"},
        {int32_t(-5), "-5", R"({"data":-5,"type":"int"})"},
        {std::string("dns"), R"("dns")", R"({"data":"dns","type":"std::string"})"},
        {json{{"a", {1, 2}}}, R"({"a":[1,2]})", R"({"data":{"a":[1,2]},"type":"nlohmann::basic_json<>"})"},
        {json::array({1, "b"}), R"([1,"b"])", R"({"data":[1,"b"],"type":"nlohmann::basic_json<>"})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bare);
        EXPECT_EQ(Render(c.value, false), c.bare);
        EXPECT_EQ(Render(c.value, true), c.typed);
        AttrValue back;
        ASSERT_EQ(ReadOutcome(json::parse(c.typed), back), "ok");
        EXPECT_EQ(back, c.value);
    }
}

TEST(AttrValue, TypedReaderAcceptsValuesThatFit)
{
    struct Case {
        json typed;
        AttrValue expected;
    };
    const std::vector<Case> cases = {
        {{{"type", "int"}, {"data", 2147483647}}, int32_t(2147483647)},
        {{{"type", "int"}, {"data", -2147483648LL}}, int32_t(-2147483647 - 1)},
        {{{"type", "int"}, {"data", 7.0}}, int32_t(7)},
        // As the JSON library converts: a fraction dropped, a boolean 1 or 0.
        {{{"type", "int"}, {"data", -7.9}}, int32_t(-7)},
        {{{"type", "int"}, {"data", true}}, int32_t(1)},
        {{{"type", "float"}, {"data", false}}, 0.0f},
        {{{"type", "float"}, {"data", 3}}, 3.0f},
        {{{"type", "float"}, {"data", -double(FLT_MAX)}}, -FLT_MAX},
        {{{"type", "nlohmann::basic_json<>"}, {"data", nullptr}}, json()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed.dump());
        AttrValue value;
        ASSERT_EQ(ReadOutcome(c.typed, value), "ok");
        EXPECT_EQ(value, c.expected);
    }
}

TEST(AttrValue, TypedReaderRejectsDamagedValues)
{
    auto typed = [](const char *type, json data) { return json{{"type", type}, {"data", std::move(data)}}; };
    struct Case {
        json input;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {5, "not typed"},
        {json{{"data", 5}}, "not typed"},
        {json{{"type", 3}, {"data", 5}}, "not typed"},
        {typed("Bool", true), "not typed"},
        {typed("string", "x"), "not typed"},
        {typed("nlohmann::basic_json", 1), "not typed"},
        {json{{"type", "int"}}, "missing key"},
        {typed("bool", 1), "type error"},
        {typed("std::string", 5), "type error"},
        {typed("int", "7"), "does not fit"},
        {typed("int", 2147483648LL), "does not fit"},
        {typed("int", -2147483649LL), "does not fit"},
        {typed("int", -2147483649.5), "does not fit"},
        {typed("int", 1e300), "does not fit"},
        {typed("float", 1e300), "does not fit"},
        {typed("float", std::numeric_limits<double>::infinity()), "does not fit"},
        {typed("float", std::nan("")), "does not fit"},
        {typed("float", nullptr), "does not fit"},
    };
    for (const auto &c : cases) {
        AttrValue value = std::string("kept");
        EXPECT_EQ(ReadOutcome(c.input, value), c.outcome) << c.input.dump();
        EXPECT_EQ(value, AttrValue(std::string("kept"))) << c.input.dump();
    }
}

TEST(AttrValue, ErrorsSayWhatWasWrong)
{
    AttrValue value;
    const json beyond_32_bits{{"type", "int"}, {"data", 4294967296LL}};
    EXPECT_EQ(ErrorText([&] { Serializer::from_json(beyond_32_bits, value); }),
              "int attribute: 4294967296 does not fit a signed 32-bit integer");
    try {
        Serializer::from_json(json{{"type", "Bool"}, {"data", true}}, value);
        FAIL() << "no error";
    } catch (const std::bad_variant_access &e) {
        EXPECT_STREQ(e.what(), "unknown attribute type: Bool");
    }
}

}  // namespace
