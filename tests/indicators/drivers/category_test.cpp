// The category driver: domain categories of cloud answers against the
// configured ids (untrusted members of every shape), and its FLOW path
// against the signature data set named after the indicator.
#include <optional>
#include <string>
#include <vector>

#include "answer_fixture.h"
#include "indicators/drivers/category.h"

namespace {

struct CategoryCase {
    const char *name;
    const char *criteria;  // the indicator's "criteria"
    json member;           // the answer's member for the flow
    std::string found;     // the lookup line's text before "; want: "
    bool matched;
    std::optional<int32_t> entry_id;  // the entry's domain_category
};

const std::vector<CategoryCase> category_cases = {
    {"any category", "{}", {{"category", {{"domain", 5}}}}, "domain category: 5", true, 5},
    {"empty list is any", R"({"categories": []})", {{"category", {{"domain", 5}}}}, "domain category: 5", true, 5},
    {"wanted", R"({"categories": [3, 7]})", {{"category", {{"domain", 7}}}}, "domain category: 7", true, 7},
    {"unwanted", R"({"categories": [3, 7]})", {{"category", {{"domain", 5}}}}, "domain category: 5", false, {}},
    {"negative id", R"({"categories": [-2]})", {{"category", {{"domain", -2}}}}, "domain category: -2", true, -2},
    {"highest id",
     R"({"categories": [2147483647]})",
     {{"category", {{"domain", 2147483647}}}},
     "domain category: 2147483647",
     true,
     2147483647},
    {"lowest id",
     "{}",
     {{"category", {{"domain", -2147483648LL}}}},
     "domain category: -2147483648",
     true,
     -2147483647 - 1},
    // 2^32 + 3 and 3 - 2^32 would both become 3 if narrowed.
    {"above 32 bits never wraps",
     R"({"categories": [3]})",
     {{"category", {{"domain", 4294967299ULL}}}},
     "domain category: none",
     false,
     {}},
    {"below 32 bits never wraps",
     R"({"categories": [3]})",
     {{"category", {{"domain", -4294967293LL}}}},
     "domain category: none",
     false,
     {}},
    {"just above the signed range",
     "{}",
     {{"category", {{"domain", 2147483648ULL}}}},
     "domain category: none",
     false,
     {}},
    {"float id", "{}", {{"category", {{"domain", 5.0}}}}, "domain category: none", false, {}},
    {"string id", "{}", {{"category", {{"domain", "5"}}}}, "domain category: none", false, {}},
    {"boolean id", "{}", {{"category", {{"domain", true}}}}, "domain category: none", false, {}},
    {"null id", "{}", {{"category", {{"domain", nullptr}}}}, "domain category: none", false, {}},
    {"no domain", "{}", {{"category", {{"application", 3}}}}, "domain category: none", false, {}},
    {"category a string", "{}", {{"category", "test"}, {"score", 80}}, "domain category: none", false, {}},
    {"category an array", "{}", {{"category", {5}}}, "domain category: none", false, {}},
    {"category null", "{}", {{"category", nullptr}}, "category: none", false, {}},
    {"no category", "{}", {{"country", {{"country_code", "DE"}}}}, "category: none", false, {}},
    {"member not an object", "{}", 17, "category: none", false, {}},
};

class CategoryTest : public AnswerTest
{
protected:
    std::shared_ptr<vppIndicator::Base> MakeCategory(const std::string &criteria, const std::string &tag = "t")
    {
        return Make(Driver::category, R"({"criteria": )" + criteria + "}", "{}", tag);
    }
};

TEST_F(CategoryTest, AnswersTable)
{
    const vdFlow::Ptr flow = Flow();
    for (const CategoryCase &c : category_cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        auto indicator = MakeCategory(c.criteria);
        auto entries = Run(*indicator, Answer(flow, AnswerDocument(flow, c.member)));

        const std::string line = LookupLine();
        EXPECT_EQ(line.rfind(LinePrefix(flow) + c.found + "; want: ", 0), 0u) << line;
        EXPECT_TRUE(line.ends_with(c.matched ? ": match" : ": no match")) << line;
        if (!c.entry_id) {
            EXPECT_TRUE(entries.empty());
            continue;
        }
        ASSERT_EQ(entries.size(), 1u);
        const vppIntel::Entry &entry = entries[0];
        EXPECT_EQ(std::get<int32_t>(entry.attrs.at("domain_category")), *c.entry_id);
        EXPECT_EQ(entry.data_source, "cloud_intel");
        EXPECT_EQ(entry.data_feed, "cloud_intel0");
        EXPECT_EQ(entry.indicator, "t");
        EXPECT_EQ(entry.indicator_driver, "category");
        EXPECT_EQ(entry.category, "flow_enrichment");
    }
}

TEST_F(CategoryTest, WantedIdsAndAnyAreShownOnTheLine)
{
    const vdFlow::Ptr flow = Flow();
    const json member = {{"category", {{"domain", 9}}}};
    Run(*MakeCategory("{}"), Answer(flow, AnswerDocument(flow, member)));
    EXPECT_EQ(LookupLine(), LinePrefix(flow) + "domain category: 9; want: any: match");
    log.Clear();
    Run(*MakeCategory(R"({"categories": [4]})"), Answer(flow, AnswerDocument(flow, member)));
    EXPECT_EQ(LookupLine(), LinePrefix(flow) + "domain category: 9; want: 4: no match");
}

TEST_F(CategoryTest, TheCategorysScoreIsAdoptedOnlyWhenItFits)
{
    const vdFlow::Ptr flow = Flow();
    const std::vector<std::pair<json, uint32_t>> cases = {{70, 70}, {-1, 0}, {"70", 0}, {4294967296ULL, 0}};
    for (const auto &[score, adopted] : cases) {
        SCOPED_TRACE(score.dump());
        auto indicator = MakeCategory("{}");
        auto entries =
            Run(*indicator, Answer(flow, AnswerDocument(flow, {{"category", {{"domain", 1}, {"score", score}}}})));
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].score, adopted);
    }
}

// Broken documents: one debug line naming the flow's digest text with the
// JSON library's words, no lookup line, no entry, and the indicator goes on.
TEST_F(CategoryTest, AnAnswerWithoutTheFlowGivesNothing)
{
    const vdFlow::Ptr flow = Flow();
    const std::string key = vd_xxh64_to_string(0x1234);
    struct Case {
        const char *name;
        json document;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"another flow's member",
         {{vd_xxh64_to_string(0x9999), {{"category", {{"domain", 1}}}}}},
         "t: " + key + " not found or is invalid: [json.exception.out_of_range.403] key '" + key + "' not found"},
        {"empty document", json::object(),
         "t: " + key + " not found or is invalid: [json.exception.out_of_range.403] key '" + key + "' not found"},
        // Not objects: the request thread drops them, and nothing of them
        // would be carried.
        {"document an array", json::array({{{"category", {{"domain", 1}}}}}),
         "t: " + key + " not found or is invalid: [json.exception.out_of_range.403] key '" + key + "' not found"},
        {"document null", nullptr,
         "t: " + key + " not found or is invalid: [json.exception.out_of_range.403] key '" + key + "' not found"},
    };
    auto indicator = MakeCategory("{}");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        EXPECT_TRUE(Run(*indicator, Answer(flow, c.document)).empty());
        EXPECT_EQ(log.Count(c.line), 1u) << testing::PrintToString(log.Lines());
        EXPECT_EQ(LookupLine(), "");
    }
    EXPECT_EQ(Run(*indicator, Answer(flow, AnswerDocument(flow, {{"category", {{"domain", 1}}}}))).size(), 1u);
}

TEST_F(CategoryTest, TheAnswerIsReadUnderTheLastDigestOfTheHistory)
{
    const vdFlow::Ptr flow = Flow([](vdFlow &f) { f.digest_prev = {0x1, 0x2}; });
    auto indicator = MakeCategory("{}");
    const json category = {{"category", {{"domain", 1}}}};

    EXPECT_TRUE(Run(*indicator, Answer(flow, {{vd_xxh64_to_string(0x1234), category}})).empty());
    EXPECT_TRUE(log.Contains("t: " + vd_xxh64_to_string(0x2) + " not found or is invalid"));
    EXPECT_EQ(Run(*indicator, Answer(flow, {{vd_xxh64_to_string(0x2), category}})).size(), 1u);
}

TEST_F(CategoryTest, OnlyCloudAnswersAreRead)
{
    const vdFlow::Ptr flow = Flow();
    auto ev = Answer(flow, AnswerDocument(flow, {{"category", {{"domain", 1}}}}));
    ev->Write().data_source = vppDataFeed::DataSource::velbor_api;
    auto indicator = MakeCategory("{}");
    EXPECT_TRUE(Run(*indicator, ev).empty());
    EXPECT_EQ(LookupLine(), "");
}

// FLOW events: every feed is asked for the data set named as the indicator,
// whatever its "categories" say; a cloud answer asks no feed.
TEST_F(CategoryTest, FlowsAreLookedUpInTheDataSetOfTheIndicatorsTag)
{
    Offer("gambling", "domain_list", {"bet.example"}, 60);
    Offer("category", "domain_list", {"bet.example", "news.example"}, 70);
    auto indicator = MakeCategory(R"({"categories": [99]})", "gambling");
    AddSignatureFeed(*indicator);

    auto entries = Run(*indicator, FlowEvent(DomainFlow("bet.example")));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data_source, "velbor_api");
    EXPECT_EQ(entries[0].data_feed, "sig");
    EXPECT_EQ(entries[0].score, 60u);
    EXPECT_EQ(entries[0].indicator, "gambling");
    EXPECT_TRUE(entries[0].attrs.empty());

    EXPECT_TRUE(Run(*indicator, FlowEvent(DomainFlow("news.example"))).empty());

    auto tracking = Make(Driver::category, "{}", "{}", "gambling");
    auto feed = std::make_shared<TableFeed>("table");
    std::shared_ptr<vppDataFeed::Base> base = feed;
    tracking->AddDataFeed("table", base);
    Run(*tracking, FlowEvent(DomainFlow("bet.example")));
    EXPECT_EQ(feed->asked, std::vector<std::string>{"gambling"});
    Run(*tracking, Answer(DomainFlow("bet.example"), json::object()));
    EXPECT_EQ(feed->asked.size(), 1u);
}

TEST_F(CategoryTest, CategoriesMustBeIntegersOfTheSignedRange)
{
    for (const char *bad : {R"(["5"])", "[5.5]", "[4294967299]", "5"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(MakeError(Driver::category, std::string(R"({"criteria": {"categories": )") + bad + "}}"),
                  "t: criteria: categories must be an array of integers.");
    }
}

}  // namespace
