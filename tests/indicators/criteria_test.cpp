#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "indicators/criteria.h"
#include "support/error_text.h"
#include "support/log_capture.h"

namespace {

struct CriteriaCase {
    const char *name;
    const char *defaults;
    const char *conf;
    uint32_t min_bytes = 0;
    uint32_t min_score = 0;
    bool east_west = true;
    bool wan = true;
    const char *flow_expr = "";
    const char *categories = "[]";
    const char *error = "";     // the whole message when loading fails
    const char *log_line = "";  // a captured line must contain this
};

void PrintTo(const CriteriaCase &c, std::ostream *out)
{
    *out << c.name;
}

const std::vector<CriteriaCase> criteria_cases = {
    {.name = "nothing anywhere", .defaults = "{}", .conf = "{}"},
    {.name = "defaults and own criteria combine",
     .defaults = R"({"criteria": {"min_bytes": 100}})",
     .conf = R"({"criteria": {"min_score": 50}})",
     .min_bytes = 100,
     .min_score = 50},
    {.name = "own value replaces the default",
     .defaults = R"({"criteria": {"min_bytes": 100}})",
     .conf = R"({"criteria": {"min_bytes": 10}})",
     .min_bytes = 10},
    {.name = "standard keys ignore case",
     .defaults = "{}",
     .conf = R"({"criteria": {"MIN_Bytes": 7, "Trigger_On_WAN": false}})",
     .min_bytes = 7,
     .wan = false},
    {.name = "user-defined keys do not",
     .defaults = "{}",
     .conf = R"({"criteria": {"Categories": [1]}})",
     .log_line = "unknown or invalid key ignored: Categories"},
    {.name = "negative min_bytes",
     .defaults = "{}",
     .conf = R"({"criteria": {"min_bytes": -5}})",
     .log_line = "unknown or invalid key ignored: min_bytes"},
    {.name = "fractional min_bytes",
     .defaults = "{}",
     .conf = R"({"criteria": {"min_bytes": 2.5}})",
     .log_line = "unknown or invalid key ignored: min_bytes"},
    {.name = "string min_bytes",
     .defaults = "{}",
     .conf = R"({"criteria": {"min_bytes": "100"}})",
     .log_line = "unknown or invalid key ignored: min_bytes"},
    {.name = "min_bytes beyond 32 bits is not wrapped",
     .defaults = "{}",
     .conf = R"({"criteria": {"min_bytes": 4294967396}})",
     .log_line = "unknown or invalid key ignored: min_bytes"},
    {.name = "min_score beyond 32 bits is not wrapped",
     .defaults = "{}",
     .conf = R"({"criteria": {"min_score": 4294967346}})",
     .log_line = "unknown or invalid key ignored: min_score"},
    {.name = "string trigger",
     .defaults = "{}",
     .conf = R"({"criteria": {"trigger_on_east_west": "no"}})",
     .log_line = "unknown or invalid key ignored: trigger_on_east_west"},
    {.name = "triggers",
     .defaults = "{}",
     .conf = R"({"criteria": {"trigger_on_east_west": false, "trigger_on_wan": false}})",
     .east_west = false,
     .wan = false},
    {.name = "flow_expr only per indicator",
     .defaults = R"({"criteria": {"flow_expr": "ip_version == 4"}})",
     .conf = "{}",
     .log_line = "t: default criteria: flow_expr is per-indicator only, ignored"},
    {.name = "own flow_expr",
     .defaults = "{}",
     .conf = R"({"criteria": {"FLOW_EXPR": "ip_version == 4"}})",
     .flow_expr = "ip_version == 4"},
    {.name = "wrong-typed flow_expr is skipped, later keys still read",
     .defaults = "{}",
     .conf = R"({"criteria": {"categories": [1], "flow_expr": 5, "min_bytes": 9}})",
     .min_bytes = 9,
     .categories = "[1]",
     .log_line = "unknown or invalid key ignored: flow_expr"},
    {.name = "criteria not an object",
     .defaults = "{}",
     .conf = R"({"criteria": [1]})",
     .log_line = "t: criteria not found or is invalid: "},
    {.name = "empty category list", .defaults = "{}", .conf = R"({"criteria": {"categories": []}})"},
    {.name = "categories", .defaults = "{}", .conf = R"({"criteria": {"categories": [3, 1]}})", .categories = "[3, 1]"},
    {.name = "mixed categories",
     .defaults = "{}",
     .conf = R"({"criteria": {"categories": [1, "2"]}})",
     .error = "t: criteria: categories must be an array of integers."},
    {.name = "fractional category",
     .defaults = "{}",
     .conf = R"({"criteria": {"categories": [1.0]}})",
     .error = "t: criteria: categories must be an array of integers."},
    {.name = "category beyond an int",
     .defaults = "{}",
     .conf = R"({"criteria": {"categories": [4294967297]}})",
     .error = "t: criteria: categories must be an array of integers."},
    {.name = "user-defined key outside criteria",
     .defaults = "{}",
     .conf = R"({"categories": [1], "criteria": {"categories": [1]}})",
     .error = "t: categories belongs in \"criteria\"."},
    {.name = "outside criteria in the defaults is not looked at", .defaults = R"({"categories": [1]})", .conf = "{}"},
};

class CriteriaTest : public ::testing::TestWithParam<CriteriaCase>
{
};

TEST_P(CriteriaTest, Reads)
{
    const CriteriaCase &c = GetParam();
    LogCapture log;
    vppCriteria criteria({{"categories", vppCriteria::int_array}});

    const std::string error = ErrorText([&] {
        criteria.Load("t", json::parse(c.defaults), true);
        criteria.Load("t", json::parse(c.conf), false);
        criteria.Update();
    });
    EXPECT_EQ(error, std::string(c.error));
    if (*c.log_line != '\0') {
        EXPECT_TRUE(log.Contains(c.log_line)) << c.log_line;
    }
    if (*c.error != '\0')
        return;

    EXPECT_EQ(criteria.min_bytes, c.min_bytes);
    EXPECT_EQ(criteria.min_score, c.min_score);
    EXPECT_EQ(criteria.trigger_on_east_west, c.east_west);
    EXPECT_EQ(criteria.trigger_on_wan, c.wan);
    EXPECT_EQ(criteria.flow_expr, std::string(c.flow_expr));
    EXPECT_EQ(criteria.custom.at("categories"), json::parse(c.categories));

    // The values copied into entries: the four standard keys and every
    // user-defined key, never the flow expression.
    EXPECT_EQ(criteria.values.size(), 5u);
    EXPECT_EQ(std::get<int32_t>(criteria.values.at("min_bytes")), static_cast<int32_t>(c.min_bytes));
    EXPECT_EQ(std::get<bool>(criteria.values.at("trigger_on_wan")), c.wan);
    EXPECT_EQ(std::get<json>(criteria.values.at("categories")), json::parse(c.categories));
}

INSTANTIATE_TEST_SUITE_P(Cases, CriteriaTest, ::testing::ValuesIn(criteria_cases), [](const auto &info) {
    std::string name = info.param.name;
    for (char &ch : name)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name;
});

TEST(Criteria, ValueBeyondAnIntStaysANumber)
{
    vppCriteria criteria({});
    criteria.Load("t", json::parse(R"({"criteria": {"min_bytes": 3000000000}})"), false);
    criteria.Update();
    EXPECT_EQ(criteria.min_bytes, 3000000000u);
    EXPECT_EQ(std::get<json>(criteria.values.at("min_bytes")), json(3000000000u));
}

TEST(Criteria, GetCopiesAUserDefinedKey)
{
    vppCriteria criteria({{"countries", vppCriteria::string_array}});
    criteria.Load("t", json::parse(R"({"criteria": {"countries": ["ca", "de", "ca"]}})"), false);

    std::unordered_set<std::string> countries;
    criteria.Get("countries", countries);
    EXPECT_EQ(countries, (std::unordered_set<std::string>{"ca", "de"}));
    EXPECT_THROW(criteria.Get("categories", countries), std::out_of_range);
}

TEST(Criteria, TypeRules)
{
    EXPECT_TRUE(vppCriteria::IsValid(vppCriteria::string_array, json::parse(R"(["a"])")));
    EXPECT_FALSE(vppCriteria::IsValid(vppCriteria::string_array, json::parse(R"(["a", 1])")));
    EXPECT_FALSE(vppCriteria::IsValid(vppCriteria::int_array, json::parse(R"({"a": 1})")));
    EXPECT_TRUE(vppCriteria::IsValid(static_cast<vppCriteria::Type>(7), json::parse(R"([1, "a", null])")));
    EXPECT_STREQ(vppCriteria::GetTypeName(static_cast<vppCriteria::Type>(7)), "unknown");
}

}  // namespace
