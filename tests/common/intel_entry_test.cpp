#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/intel_entry.h"
#include "support/error_text.h"

using vppIntel::AttrValue;
using vppIntel::Entry;

namespace {

std::string Render(const Entry &entry, bool typed)
{
    json j;
    Entry::to_json(j, entry, typed);
    std::string text;
    vd_json_to_string(j, text);
    return text;
}

Entry FullEntry()
{
    Entry e;
    e.id = std::numeric_limits<uint64_t>::max();
    e.score = std::numeric_limits<uint32_t>::max();
    e.category = "reputation";
    e.data_source = "cloud_intel";
    e.data_feed = "cloud-1";
    e.event = "dpi_complete";
    e.indicator = "bad-domains";
    e.indicator_driver = "reputation_domain";
    e.criteria = {{"min_bytes", int32_t(100)}, {"lan", true}};
    e.attrs = {{"ratio", 0.1f}, {"name", std::string("example.org")}, {"tags", json::array({"a", "b"})}};
    return e;
}

// The typed record of FullEntry, as a document to damage.
json TypedRecord()
{
    json j;
    Entry::to_json(j, FullEntry(), true);
    return j;
}

// An entry as an indicator completes it: what the indicator configured is
// shared, the driver's own attributes beside it.
Entry SharedEntry()
{
    Entry e = FullEntry();
    e.criteria = {{"stale", true}};
    e.indicator_criteria = std::make_shared<const vppIntel::AttrMap>(FullEntry().criteria);
    e.attrs = {{"name", std::string("driver.example")}, {"zone", int32_t(3)}};
    e.indicator_attrs = std::make_shared<const vppIntel::AttrMap>(
        vppIntel::AttrMap{{"a", true}, {"name", std::string("configured")}, {"ratio", 0.1f}, {"zz", false}});
    return e;
}

// The same entry with everything held by the entry itself.
Entry OwnedEntry()
{
    Entry e = FullEntry();
    e.attrs = {
        {"a", true}, {"name", std::string("driver.example")}, {"ratio", 0.1f}, {"zone", int32_t(3)}, {"zz", false}};
    return e;
}

TEST(IntelEntry, SharedCriteriaAndAttrsRenderMergedWithTheDriversWinning)
{
    const Entry shared = SharedEntry(), owned = OwnedEntry();
    EXPECT_EQ(shared.Criteria(), owned.criteria);
    EXPECT_EQ(shared.Attrs(), owned.attrs);
    for (bool typed : {false, true})
        EXPECT_EQ(Render(shared, typed), Render(owned, typed)) << typed;
    EXPECT_EQ(shared, owned);
    EXPECT_EQ(owned, shared);

    struct Case {
        const char *what;
        std::function<void(Entry &)> change;
    };
    const std::vector<Case> differences = {
        {"a shared attribute", [](Entry &e) { e.indicator_attrs = std::make_shared<const vppIntel::AttrMap>(); }},
        {"a driver's attribute", [](Entry &e) { e.attrs.erase("zone"); }},
        {"the criteria", [](Entry &e) { e.indicator_criteria.reset(); }},
    };
    for (const auto &c : differences) {
        Entry changed = SharedEntry();
        c.change(changed);
        EXPECT_NE(changed, owned) << c.what;
        EXPECT_NE(Render(changed, true), Render(owned, true)) << c.what;
    }
}

TEST(IntelEntry, ReadingReplacesWhatAnIndicatorShared)
{
    Entry back = SharedEntry();
    Entry::from_json(Render(Entry(), true), back);
    EXPECT_EQ(back, Entry());
    EXPECT_EQ(back.indicator_criteria, nullptr);
    EXPECT_EQ(back.indicator_attrs, nullptr);

    Entry::from_json(Render(SharedEntry(), true), back);
    EXPECT_EQ(back, OwnedEntry());
}

TEST(IntelEntry, TypedFormRoundTripsThroughText)
{
    for (const Entry &entry : {FullEntry(), Entry()}) {
        Entry back;
        back.attrs = {{"stale", true}};
        Entry::from_json(Render(entry, true), back);
        EXPECT_EQ(back, entry);
    }
}

TEST(IntelEntry, BareAndTypedTextOfSmallEntries)
{
    Entry empty;
    const std::string empty_text = R"({"attrs":{},"category":"","criteria":{},"data_feed":"","data_source":"",)"
                                   R"("event":"","id":0,"indicator":"","indicator_driver":"","score":0})";
    EXPECT_EQ(Render(empty, false), empty_text);
    EXPECT_EQ(Render(empty, true), empty_text);

    Entry entry;
    entry.id = 3;
    entry.attrs = {{"n", int32_t(-5)}};
    EXPECT_EQ(Render(entry, false), R"({"attrs":{"n":-5},"category":"","criteria":{},"data_feed":"",)"
                                    R"("data_source":"","event":"","id":3,"indicator":"","indicator_driver":"",)"
                                    R"("score":0})");
    EXPECT_EQ(Render(entry, true), R"({"attrs":{"n":{"data":-5,"type":"int"}},"category":"","criteria":{},)"
                                   R"("data_feed":"","data_source":"","event":"","id":3,"indicator":"",)"
                                   R"("indicator_driver":"","score":0})");
}

TEST(IntelEntry, ReaderTakesIntegersThatFit)
{
    struct Case {
        std::string what;
        std::function<void(json &)> change;
        uint64_t id;
        uint32_t score;
    };
    const std::vector<Case> cases = {
        {"no id", [](json &j) { j.erase("id"); }, 0, 4294967295u},
        {"id 42", [](json &j) { j["id"] = 42; }, 42, 4294967295u},
        {"score 0", [](json &j) { j["score"] = 0; }, 18446744073709551615u, 0},
        {"integral float score", [](json &j) { j["score"] = 5.0; }, 18446744073709551615u, 5},
    };
    for (const auto &c : cases) {
        json record = TypedRecord();
        c.change(record);
        Entry e;
        ASSERT_NO_THROW(Entry::from_json(record, e)) << c.what;
        EXPECT_EQ(e.id, c.id) << c.what;
        EXPECT_EQ(e.score, c.score) << c.what;
    }
}

TEST(IntelEntry, ReaderRejectsDamagedRecords)
{
    struct Case {
        std::string what;
        std::function<std::string()> text;
        std::string error;  // a part of the message
    };
    auto with = [](std::function<void(json &)> change) {
        return [change] {
            json record = TypedRecord();
            change(record);
            return record.dump();
        };
    };
    auto raw = [](std::string text) { return [text] { return text; }; };
    const std::vector<Case> cases = {
        {"not JSON", raw("{\"score\": 1"), "parse_error"},
        {"comments", [] { return "// cached\n" + TypedRecord().dump(); }, "parse_error"},
        {"nested deeper than 64 levels", with([](json &j) {
             j["attrs"]["deep"] = {{"type", "nlohmann::basic_json<>"}, {"data", json::array()}};
             json *at = &j["attrs"]["deep"]["data"];
             for (int level = 0; level < 70; level++)
                 at = &(*at)[0];
         }),
         "intel entry: line 1: nested deeper than 64 levels"},
        // A key given twice keeps its last value, as the JSON library reads a
        // record: here the last score is the damaged one.
        {"a key given twice", raw(R"({"score": 1, "score": -2})"), "score: -2 does not fit"},
        {"a NUL byte", raw(std::string("{\"score\": 1,\0}", 14)), "intel entry: line 1: NUL byte"},
        {"not an object", raw("[1, 2]"), "type_error"},
        {"no score", with([](json &j) { j.erase("score"); }), "'score' not found"},
        {"negative score", with([](json &j) { j["score"] = -1; }), "score: -1 does not fit"},
        {"negative fractional score", with([](json &j) { j["score"] = -1.5; }), "score: -1.5 does not fit"},
        {"score beyond 32 bits", with([](json &j) { j["score"] = 4294967296LL; }), "score: 4294967296 does not"},
        {"text score", with([](json &j) { j["score"] = "5"; }), "score: expected a number, found string"},
        {"id beyond 64 bits",
         raw(R"({"id":18446744073709551616,"score":1,"category":"","data_source":"",)"
             R"("data_feed":"","event":"","indicator":"","indicator_driver":"",)"
             R"("criteria":{},"attrs":{}})"),
         "id: 1.8446744073709552e+19 does not fit an unsigned 64-bit integer"},
        {"negative id", with([](json &j) { j["id"] = -1; }), "id: -1 does not fit"},
        {"no category", with([](json &j) { j.erase("category"); }), "'category' not found"},
        {"category not a string", with([](json &j) { j["category"] = 5; }), "type_error"},
        {"criteria not an object", with([](json &j) { j["criteria"] = json::array(); }), "type_error"},
        {"bare attribute", with([](json &j) { j["attrs"]["ratio"] = 0.5; }), "not in the typed form"},
        {"int attribute beyond 32 bits", with([](json &j) {
             j["attrs"]["big"] = {{"type", "int"}, {"data", 4294967296LL}};
         }),
         "int attribute: 4294967296 does not fit"},
    };
    for (const auto &c : cases) {
        Entry e;
        const std::string error = ErrorText([&] { Entry::from_json(c.text(), e); });
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << (error.empty() ? "no error" : error);
    }
}

TEST(IntelEntry, FailedReadKeepsTheFieldsNotYetReached)
{
    Entry before;
    before.id = 9;
    before.score = 7;
    before.attrs = {{"old", true}};

    json record = TypedRecord();
    record["attrs"]["bad"] = 5;
    Entry e = before;
    EXPECT_THROW(Entry::from_json(record, e), std::bad_variant_access);
    Entry expected = FullEntry();
    expected.attrs = before.attrs;
    expected.id = before.id;
    EXPECT_EQ(e, expected);

    record = TypedRecord();
    record.erase("score");
    e = before;
    EXPECT_THROW(Entry::from_json(record, e), json::out_of_range);
    EXPECT_EQ(e, before);
}

TEST(IntelEntry, InvalidUtf8AttributeRendersAndReadsBackReplaced)
{
    Entry entry;
    entry.attrs = {{"name", std::string("bad\xff\xfe")}};
    std::string bare;
    ASSERT_NO_THROW(bare = Render(entry, false));
    EXPECT_NE(bare.find("bad\xEF\xBF\xBD\xEF\xBF\xBD"), std::string::npos);

    Entry back;
    Entry::from_json(Render(entry, true), back);
    EXPECT_EQ(back.attrs.at("name"), AttrValue(std::string("bad\xEF\xBF\xBD\xEF\xBF\xBD")));
}

}  // namespace
