// The geography driver: countries of cloud answers against the configured
// codes, the members a match carries, the answers it cannot use, and its
// FLOW path against the signature data set "geo".
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "answer_fixture.h"
#include "indicators/drivers/geo.h"

namespace {

using Attrs = std::map<std::string, std::string>;

json Country(const std::string &code = "DE")
{
    return {
        {"country_code", code}, {"country_name", "Germany"}, {"continent_code", "EU"}, {"continent_name", "Europe"}};
}

json With(json country, const std::string &key, const json &value)
{
    country[key] = value;
    return country;
}

json Without(json country, const std::string &key)
{
    country.erase(key);
    return country;
}

struct GeoCase {
    const char *name;
    const char *criteria;
    json member;        // the answer's member for the flow
    std::string found;  // the lookup line's text; empty: no lookup line
    bool matched;
    std::string debug_line;      // a further line after "t: "; empty: none
    std::optional<Attrs> attrs;  // the entry's attributes; nothing: no entry
};

const Attrs germany = {
    {"country_code", "DE"}, {"country_name", "Germany"}, {"continent_code", "EU"}, {"continent_name", "Europe"}};

const std::vector<GeoCase> geo_cases = {
    {"any country", "{}", {{"country", Country()}}, "country: DE", true, "", germany},
    {"wanted", R"({"countries": ["FR", "DE"]})", {{"country", Country()}}, "country: DE", true, "", germany},
    {"unwanted", R"({"countries": ["FR"]})", {{"country", Country()}}, "country: DE", false, "", {}},
    {"letter case matters", R"({"countries": ["DE"]})", {{"country", Country("de")}}, "country: de", false, "", {}},
    {"name null is left out",
     "{}",
     {{"country", With(Country(), "country_name", nullptr)}},
     "country: DE",
     true,
     "",
     Attrs{{"country_code", "DE"}, {"continent_code", "EU"}, {"continent_name", "Europe"}}},
    {"continent code a number is left out",
     "{}",
     {{"country", With(Country(), "continent_code", 150)}},
     "country: DE",
     true,
     "",
     Attrs{{"country_code", "DE"}, {"country_name", "Germany"}, {"continent_name", "Europe"}}},
    {"missing continent name spoils a match",
     "{}",
     {{"country", Without(Country(), "continent_name")}},
     "country: DE",
     true,
     "continent_name not found or is invalid: [json.exception.out_of_range.403] key 'continent_name' not found",
     {}},
    {"missing name of an unwanted country is not read",
     R"({"countries": ["FR"]})",
     {{"country", Without(Country(), "country_name")}},
     "country: DE",
     false,
     "",
     {}},
    // The thrown text carries the tag again after the key.
    {"code a number",
     "{}",
     {{"country", With(Country(), "country_code", 276)}},
     "",
     false,
     "country_code t: country_code must be a string.",
     {}},
    {"code null",
     "{}",
     {{"country", With(Country(), "country_code", nullptr)}},
     "",
     false,
     "country_code t: country_code must be a string.",
     {}},
    {"code missing",
     "{}",
     {{"country", Without(Country(), "country_code")}},
     "",
     false,
     "country_code not found or is invalid: [json.exception.out_of_range.403] key 'country_code' not found",
     {}},
    {"country a string",
     "{}",
     {{"country", "DE"}},
     "",
     false,
     "country_code not found or is invalid: [json.exception.type_error.304] cannot use at() with string",
     {}},
    {"country an array",
     "{}",
     {{"country", {"DE"}}},
     "",
     false,
     "country_code not found or is invalid: [json.exception.type_error.304] cannot use at() with array",
     {}},
    {"country null", "{}", {{"country", nullptr}}, "country: none", false, "", {}},
    {"no country", "{}", {{"category", {{"domain", 1}}}}, "country: none", false, "", {}},
    {"member a string", "{}", "DE", "country: none", false, "", {}},
};

class GeoTest : public AnswerTest
{
protected:
    std::shared_ptr<vppIndicator::Base> MakeGeo(const std::string &criteria)
    {
        return Make(Driver::geo, R"({"criteria": )" + criteria + "}");
    }
};

TEST_F(GeoTest, AnswersTable)
{
    const vdFlow::Ptr flow = Flow();
    for (const GeoCase &c : geo_cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        auto indicator = MakeGeo(c.criteria);
        auto entries = Run(*indicator, Answer(flow, AnswerDocument(flow, c.member), "cloud_intel1"));

        const std::string line = LookupLine();
        if (c.found.empty()) {
            EXPECT_EQ(line, "");
        } else {
            EXPECT_EQ(line.rfind(LinePrefix(flow, "cloud_intel1") + c.found + "; want: ", 0), 0u) << line;
            EXPECT_TRUE(line.ends_with(c.matched ? ": match" : ": no match")) << line;
        }
        if (!c.debug_line.empty()) {
            EXPECT_EQ(log.Count("t: " + c.debug_line), 1u) << testing::PrintToString(log.Lines());
        }

        if (!c.attrs) {
            EXPECT_TRUE(entries.empty());
            continue;
        }
        ASSERT_EQ(entries.size(), 1u);
        Attrs attrs;
        for (const auto &[key, value] : entries[0].attrs)
            attrs[key] = std::get<std::string>(value);
        EXPECT_EQ(attrs, *c.attrs);
        EXPECT_EQ(entries[0].data_source, "cloud_intel");
        EXPECT_EQ(entries[0].data_feed, "cloud_intel1");
        EXPECT_EQ(entries[0].indicator_driver, "geo");
    }
}

TEST_F(GeoTest, AnyCountryIsShownOnTheLineAndTheAnswersScoreIsAdopted)
{
    const vdFlow::Ptr flow = Flow();
    auto indicator = MakeGeo("{}");
    auto entries = Run(*indicator, Answer(flow, AnswerDocument(flow, {{"country", With(Country(), "score", 45)}})));
    EXPECT_EQ(LookupLine(), LinePrefix(flow) + "country: DE; want: any: match");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].score, 45u);
}

TEST_F(GeoTest, AnAnswerWithoutTheFlowGivesNothing)
{
    const vdFlow::Ptr flow = Flow();
    const std::string key = vd_xxh64_to_string(0x1234);
    auto indicator = MakeGeo("{}");
    EXPECT_TRUE(Run(*indicator, Answer(flow, {{"0000000000000001", {{"country", Country()}}}})).empty());
    EXPECT_EQ(log.Count("t: " + key + " not found or is invalid: [json.exception.out_of_range.403] key '" + key +
                        "' not found"),
              1u)
        << testing::PrintToString(log.Lines());
    EXPECT_EQ(LookupLine(), "");
}

// FLOW events: each feed's data set "geo", whatever "countries" say.
TEST_F(GeoTest, FlowsAreLookedUpInTheGeoDataSet)
{
    Offer("geo", "ip_list", {"198.51.100.0/24"}, 30);
    Offer("t", "ip_list", {"192.0.2.0/24"}, 30);
    auto indicator = MakeGeo(R"({"countries": ["XX"]})");
    AddSignatureFeed(*indicator);

    auto entries = Run(*indicator, FlowEvent(Flow()));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data_source, "velbor_api");
    EXPECT_EQ(entries[0].score, 30u);

    const vdFlow::Ptr elsewhere = FlowBuilder().Lower("192.0.2.1", 1).Upper("203.0.113.9", 443).Build();
    EXPECT_TRUE(Run(*indicator, FlowEvent(elsewhere)).empty());
}

TEST_F(GeoTest, CountriesMustBeStrings)
{
    EXPECT_EQ(MakeError(Driver::geo, R"({"criteria": {"countries": ["DE", 276]}})"),
              "t: criteria: countries must be an array of strings.");
}

}  // namespace
