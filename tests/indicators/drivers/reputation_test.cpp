// The reputation drivers: type flags of cloud answers, the signature data
// sets of the reputation types (configured or listed by the feed), the tag
// listing kept per feed until its tags change, and the per-feed counts.
#include <map>
#include <string>
#include <vector>

#include "answer_fixture.h"
#include "indicators/drivers/reputation.h"

namespace {

using Flags = std::vector<std::string>;

struct ReputationCase {
    const char *name;
    const char *criteria;
    json member;        // the answer's member for the flow
    std::string found;  // the lookup line's text
    Flags attrs;        // the entry's true attributes; empty: no entry
};

json Types(const json &flags)
{
    return {{"domain_reputation", {{"types", flags}}}};
}

const std::vector<ReputationCase> reputation_cases = {
    {"one true, one false",
     "{}",
     Types({{"malware", true}, {"spam", false}}),
     "domain_reputation types: malware",
     {"malware"}},
    {"two true",
     "{}",
     Types({{"spam", true}, {"malware", true}}),
     "domain_reputation types: malware, spam",
     {"malware", "spam"}},
    {"wanted type",
     R"({"types": ["spam"]})",
     Types({{"spam", true}, {"malware", true}}),
     "domain_reputation types: malware, spam",
     {"spam"}},
    {"unwanted type is listed, not matched",
     R"({"types": ["spam"]})",
     Types({{"malware", true}}),
     "domain_reputation types: malware",
     {}},
    {"flags that are not booleans",
     "{}",
     Types({{"malware", "true"}, {"spam", 1}, {"phishing", nullptr}}),
     "domain_reputation types: none",
     {}},
    {"types an array", "{}", Types({"malware"}), "domain_reputation types: none", {}},
    {"types missing", "{}", {{"domain_reputation", {{"score", 10}}}}, "domain_reputation types: none", {}},
    {"reputation a string", "{}", {{"domain_reputation", "malware"}}, "domain_reputation types: none", {}},
    {"reputation null", "{}", {{"domain_reputation", nullptr}}, "domain_reputation: none", {}},
    {"no reputation", "{}", {{"ip_reputation", {{"types", {{"malware", true}}}}}}, "domain_reputation: none", {}},
    {"member a number", "{}", 5, "domain_reputation: none", {}},
};

class ReputationTest : public AnswerTest
{
protected:
    std::shared_ptr<vppIndicator::Base> MakeReputation(const std::string &criteria,
                                                       Driver driver = Driver::reputation_domain)
    {
        return Make(driver, R"({"criteria": )" + criteria + "}");
    }

    // The lookups and matches counted under name; {-1, -1} without an entry.
    static std::pair<int, int> Counts(vppIndicator::Base &indicator, const std::string &name)
    {
        std::lock_guard<std::mutex> guard(indicator.stats.lock);
        auto found = indicator.stats.data_feeds.find(name);
        if (found == indicator.stats.data_feeds.end())
            return {-1, -1};
        return {static_cast<int>(found->second.lookups.Get()), static_cast<int>(found->second.matches.Get())};
    }

    static Flags TrueAttrs(const vppIntel::Entry &entry)
    {
        Flags names;
        for (const auto &[key, value] : entry.attrs) {
            EXPECT_TRUE(std::get<bool>(value)) << key;
            names.push_back(key);
        }
        return names;
    }
};

TEST_F(ReputationTest, AnswersTable)
{
    const vdFlow::Ptr flow = Flow();
    for (const ReputationCase &c : reputation_cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        auto indicator = MakeReputation(c.criteria);
        auto entries = Run(*indicator, Answer(flow, AnswerDocument(flow, c.member)));

        const std::string line = LookupLine();
        EXPECT_EQ(line.rfind(LinePrefix(flow) + c.found + "; want: ", 0), 0u) << line;
        EXPECT_TRUE(line.ends_with(c.attrs.empty() ? ": no match" : ": match")) << line;
        EXPECT_EQ(Counts(*indicator, "cloud_intel0"), std::make_pair(1, static_cast<int>(c.attrs.size())));
        if (c.attrs.empty()) {
            EXPECT_TRUE(entries.empty());
            continue;
        }
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(TrueAttrs(entries[0]), c.attrs);
        EXPECT_EQ(entries[0].data_source, "cloud_intel");
        EXPECT_EQ(entries[0].data_feed, "cloud_intel0");
        EXPECT_EQ(entries[0].indicator_driver, "reputation_domain");
        EXPECT_EQ(entries[0].category, "reputation");
    }
}

TEST_F(ReputationTest, TheAddressDriverReadsItsOwnMember)
{
    const vdFlow::Ptr flow = Flow();
    auto indicator = MakeReputation("{}", Driver::reputation_ip);
    const json member = {{"domain_reputation", {{"types", {{"spam", true}}}}},
                         {"ip_reputation", {{"types", {{"scanner", true}}}, {"score", 65}}}};
    auto entries = Run(*indicator, Answer(flow, AnswerDocument(flow, member)));
    EXPECT_EQ(LookupLine(), LinePrefix(flow) + "ip_reputation types: scanner; want: any: match");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(TrueAttrs(entries[0]), Flags{"scanner"});
    EXPECT_EQ(entries[0].score, 65u);
    EXPECT_EQ(std::dynamic_pointer_cast<vpiReputation>(indicator)->GetFeedPrefix(), "ip_reputation");
}

// Counted per request thread, and a broken answer is still a lookup.
TEST_F(ReputationTest, AnswersAreCountedPerAnsweringThread)
{
    const vdFlow::Ptr flow = Flow();
    auto indicator = MakeReputation("{}");
    const json malware = AnswerDocument(flow, Types({{"malware", true}}));
    Run(*indicator, Answer(flow, malware, "cloud_intel0"));
    Run(*indicator, Answer(flow, malware, "cloud_intel1"));
    Run(*indicator, Answer(flow, malware, "cloud_intel1"));
    const std::string key = vd_xxh64_to_string(0x1234);
    EXPECT_TRUE(
        Run(*indicator, Answer(flow, {{"0000000000000001", Types({{"malware", true}})}}, "cloud_intel1")).empty());
    EXPECT_EQ(log.Count("t: " + key + " not found or is invalid: [json.exception.out_of_range.403] key '" + key +
                        "' not found"),
              1u);

    EXPECT_EQ(Counts(*indicator, "cloud_intel0"), std::make_pair(1, 1));
    EXPECT_EQ(Counts(*indicator, "cloud_intel1"), std::make_pair(3, 2));
    EXPECT_EQ(indicator->stats.hits.Get(), 3u);
}

class ReputationFeedTest : public ReputationTest
{
protected:
    ReputationFeedTest()
    {
        Offer("domain_reputation_malware", "domain_list", {"bad.example"}, 80);
        Offer("domain_reputation_spam", "domain_list", {"spam.example", "bad.example"}, 40);
        // Neither begins with "domain_reputation_".
        Offer("domain_reputation", "domain_list", {"bad.example"});
        Offer("tor_exit", "domain_list", {"bad.example"});
    }

    const vdFlow::Ptr bad = DomainFlow("bad.example");
};

TEST_F(ReputationFeedTest, WithoutTypesEveryReputationTagOfTheFeedIsLookedUp)
{
    auto indicator = MakeReputation("{}");
    AddSignatureFeed(*indicator);

    auto entries = Run(*indicator, FlowEvent(bad));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(TrueAttrs(entries[0]), (Flags{"malware", "spam"}));
    EXPECT_EQ(entries[0].data_source, "velbor_api");
    EXPECT_EQ(entries[0].data_feed, "sig");
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(2, 2));

    EXPECT_EQ(TrueAttrs(Run(*indicator, FlowEvent(DomainFlow("spam.example"))).at(0)), Flags{"spam"});
    EXPECT_TRUE(Run(*indicator, FlowEvent(DomainFlow("good.example"))).empty());
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(6, 3));
    EXPECT_EQ(LookupLine(), "");
}

TEST_F(ReputationFeedTest, ConfiguredTypesAreTheOnlyLookups)
{
    auto indicator = MakeReputation(R"({"types": ["spam", "phishing"]})");
    AddSignatureFeed(*indicator, "first");
    AddSignatureFeed(*indicator, "second");

    auto entries = Run(*indicator, FlowEvent(bad));
    ASSERT_EQ(entries.size(), 2u);
    for (const vppIntel::Entry &entry : entries)
        EXPECT_EQ(TrueAttrs(entry), Flags{"spam"});
    EXPECT_EQ(Counts(*indicator, "first"), std::make_pair(2, 1));
    EXPECT_EQ(Counts(*indicator, "second"), std::make_pair(2, 1));

    auto one_type = MakeReputation(R"({"types": ["malware"]})");
    auto table = std::make_shared<TableFeed>("table");
    std::shared_ptr<vppDataFeed::Base> base = table;
    one_type->AddDataFeed("table", base);
    Run(*one_type, FlowEvent(bad));
    EXPECT_EQ(table->asked, Flags{"domain_reputation_malware"});
}

// A cloud feed answers later through LOOKUP events: on a FLOW event it gets
// no lookup and no counts; a cloud answer asks no signature feed.
TEST_F(ReputationFeedTest, OnlySignatureFeedsAreAskedOnFlows)
{
    class CloudStandIn : public vppDataFeed::Base
    {
    public:
        CloudStandIn() : Base("cloud", "", vppDataFeed::DataSource::cloud_intel, vppDataFeed::DataType::invalid) {}
        using vppDataFeed::Base::Lookup;
        bool Lookup(const vdFlow::Ptr &, vppIntel::Entry &, const std::string &) override
        {
            asked++;
            return true;
        }
        int asked = 0;
    };
    for (const char *criteria : {"{}", R"({"types": ["malware"]})"}) {
        SCOPED_TRACE(criteria);
        auto indicator = MakeReputation(criteria);
        auto cloud = std::make_shared<CloudStandIn>();
        std::shared_ptr<vppDataFeed::Base> base = cloud;
        indicator->AddDataFeed("cloud_intel", base);
        auto signatures = AddSignatureFeed(*indicator);

        EXPECT_EQ(Run(*indicator, FlowEvent(bad)).size(), 1u);
        EXPECT_EQ(cloud->asked, 0);
        EXPECT_EQ(Counts(*indicator, "cloud_intel"), std::make_pair(-1, -1));

        const auto before = Counts(*indicator, "sig");
        Run(*indicator, Answer(bad, AnswerDocument(bad, Types({{"malware", true}}))));
        EXPECT_EQ(Counts(*indicator, "sig"), before);
    }
}

// The feed's reputation tags are listed again only when its tags_version
// moves: a tag the host offers later counts after the poll that registers
// it, and a change the version does not announce goes unseen.
TEST_F(ReputationFeedTest, TheTagListingIsKeptUntilTheFeedsTagsChange)
{
    auto indicator = MakeReputation("{}");
    auto feed = AddSignatureFeed(*indicator);
    Run(*indicator, FlowEvent(bad));
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(2, 2));

    Offer("domain_reputation_phishing", "domain_list", {"bad.example"});
    Run(*indicator, FlowEvent(bad));
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(4, 4)) << "offered, not yet polled";

    const uint32_t version = feed->tags_version;
    feed->Poll();
    ASSERT_NE(feed->tags_version, version);
    auto entries = Run(*indicator, FlowEvent(bad));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(TrueAttrs(entries[0]), (Flags{"malware", "phishing", "spam"}));
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(7, 7));

    // Withdrawn behind the version's back: still asked for (and missed).
    feed->tags.erase("domain_reputation_spam");
    Run(*indicator, FlowEvent(bad));
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(10, 9));
    feed->tags_version++;
    Run(*indicator, FlowEvent(bad));
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(12, 11));
}

TEST_F(ReputationFeedTest, AddressReputationUsesItsOwnPrefix)
{
    Offer("ip_reputation_scanner", "ip_list", {"198.51.100.0/24"}, 55);
    auto indicator = MakeReputation("{}", Driver::reputation_ip);
    AddSignatureFeed(*indicator);

    auto entries = Run(*indicator, FlowEvent(Flow()));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(TrueAttrs(entries[0]), Flags{"scanner"});
    EXPECT_EQ(entries[0].score, 55u);
    EXPECT_EQ(Counts(*indicator, "sig"), std::make_pair(1, 1));
}

TEST_F(ReputationTest, ATypeListMustHoldStrings)
{
    EXPECT_EQ(MakeError(Driver::reputation_domain, R"({"criteria": {"types": [1]}})"),
              "t: criteria: types must be an array of strings.");
    EXPECT_EQ(ErrorText([&] { vpiReputation(queue, Driver::geo, "t", 0, json::object(), json::object()); }),
              "t: not a reputation driver: geo");
}

}  // namespace
