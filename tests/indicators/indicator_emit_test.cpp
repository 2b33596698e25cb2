#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "indicator_fixture.h"
#include "indicators/cache/intel_cache.h"

namespace {

std::shared_ptr<vppIntel::Entry> EntryScored(uint32_t score)
{
    auto entry = std::make_shared<vppIntel::Entry>();
    entry->score = score;
    return entry;
}

class EmitTest : public IndicatorTest
{
protected:
    // Runs only the common last step over entries a driver would have found.
    std::shared_ptr<Event> Emit(vppIndicator::Base &indicator, std::vector<uint32_t> scores)
    {
        auto ev = FlowEvent(Flow());
        for (uint32_t score : scores)
            ev->Write().entries.push_back(EntryScored(score));
        indicator.vppIndicator::Base::ProcessFlow(ev);
        return ev;
    }

    static std::vector<uint32_t> Scores(const Event &ev)
    {
        std::vector<uint32_t> scores;
        for (const auto &entry : ev.Read().entries)
            scores.push_back(entry->score);
        return scores;
    }
};

TEST_F(EmitTest, MinimumScoreDiscardsAndCounters)
{
    config.verbosity = 2;
    auto indicator =
        Make(Driver::tor_exit,
             R"({"score": 60, "criteria": {"min_score": 50}, "proc_targets": ["p"], "sink_targets": ["s"]})");

    auto ev = Emit(*indicator, {0, 10, 70});

    EXPECT_EQ(indicator->stats.hits.Get(), 2u);
    EXPECT_EQ(indicator->stats.min_score.Get(), 1u);
    EXPECT_TRUE(log.Contains("t: 0000000000001234: filtered: min_score (10 < 50)\n"));
    auto queued = Drain();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].type, Event::INTEL);
    EXPECT_EQ(queued[0].Read().indicator, "t");
    EXPECT_EQ(queued[0].flow, ev->flow);
    EXPECT_EQ(Scores(queued[0]), (std::vector<uint32_t>{60, 70}));
    // The queued event shares the completed entries.
    EXPECT_EQ(queued[0].Read().entries[1], ev->Read().entries[1]);
    EXPECT_EQ(queued[0].Read().proc_targets, (std::unordered_set<std::string>{"p"}));
    EXPECT_EQ(queued[0].Read().sink_targets, (std::unordered_set<std::string>{"s"}));
}

TEST_F(EmitTest, NothingLeftQueuesNothing)
{
    auto indicator = Make(Driver::tor_exit, R"({"criteria": {"min_score": 50}, "proc_targets": ["p"]})");

    auto ev = Emit(*indicator, {10, 49});
    EXPECT_TRUE(ev->Read().entries.empty());
    EXPECT_TRUE(ev->Read().proc_targets.empty());
    EXPECT_EQ(indicator->stats.hits.Get(), 0u);
    EXPECT_EQ(indicator->stats.min_score.Get(), 2u);

    Emit(*indicator, {});
    EXPECT_EQ(indicator->stats.min_score.Get(), 2u);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(EmitTest, UnscoredEntryOfAnUnscoredIndicatorPasses)
{
    auto indicator = Make(Driver::tor_exit, "{}");
    Emit(*indicator, {0});
    auto queued = Drain();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(Scores(queued[0]), (std::vector<uint32_t>{0}));
}

TEST_F(EmitTest, CompletionKeepsTheDriversValues)
{
    auto indicator = Make(Driver::tor_exit, R"({"attrs": {"site": "conf", "owner": "me"}})");
    auto ev = FlowEvent(Flow(), vdPluginProcessor::dpi_update);
    auto entry = EntryScored(5);
    entry->data_source = "velbor_api";
    entry->data_feed = "feed";
    entry->attrs = {{"site", std::string("driver")}, {"domain_category", 12}};
    entry->criteria = {{"stale", true}};
    ev->Write().entries.push_back(entry);

    indicator->vppIndicator::Base::ProcessFlow(ev);

    EXPECT_EQ(entry->indicator, "t");
    EXPECT_EQ(entry->indicator_driver, "tor_exit");
    EXPECT_EQ(entry->category, "tor_detection");
    EXPECT_EQ(entry->event, "dpi_update");
    EXPECT_EQ(entry->score, 5u);
    EXPECT_EQ(entry->data_source, "velbor_api");
    EXPECT_EQ(entry->data_feed, "feed");
    EXPECT_EQ(entry->Criteria(), indicator->criteria.values);
    EXPECT_EQ(std::get<std::string>(entry->Attrs().at("site")), "driver");
    EXPECT_EQ(std::get<std::string>(entry->Attrs().at("owner")), "me");
    EXPECT_EQ(std::get<int32_t>(entry->Attrs().at("domain_category")), 12);
}

TEST_F(EmitTest, TheFirstCompletedEntryOfAFlowIsCached)
{
    auto indicator = Make(Driver::tor_exit, R"({"score": 60, "criteria": {"min_score": 50},
        "cache": {"flow_keys": ["local_ip", "other_ip"], "max_size": 4}})");
    vppIntel::Entry found;

    // Discarded below min_score: nothing to cache.
    Emit(*indicator, {10});
    EXPECT_FALSE(indicator->cache->Lookup(Flow(), found));

    auto ev = Emit(*indicator, {0, 70});
    ASSERT_EQ(ev->Read().entries.size(), 2u);
    ASSERT_TRUE(indicator->cache->Lookup(Flow(), found));
    // Cached completed, as the worker will send it out again.
    EXPECT_EQ(found, *ev->Read().entries[0]);
    EXPECT_EQ(found.indicator, "t");
    EXPECT_EQ(found.score, 60u);

    // A later finding for the same key leaves the first in place.
    Emit(*indicator, {90});
    ASSERT_TRUE(indicator->cache->Lookup(Flow(), found));
    EXPECT_EQ(found.score, 60u);
}

TEST_F(EmitTest, DataFeedScore)
{
    struct Case {
        const char *conf;
        std::vector<const char *> answers;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {"{}", {R"({"score": 40})"}, 40},
        {"{}", {R"({"score": 40})", R"({"score": 90})"}, 40},
        {R"({"score": 10})", {R"({"score": 40})"}, 10},
        {"{}", {R"({"score": 12.7})"}, 12},
        {"{}", {R"({"score": 4294967295})"}, 4294967295u},
        // Nothing a 32-bit score cannot hold; a later sound answer still counts.
        {"{}", {R"({"score": -1})", R"({"score": 7})"}, 7},
        {"{}", {R"({"score": 4294967296})"}, 0},
        {"{}", {R"({"score": -0.5})"}, 0},
        {"{}", {R"({"score": 1e300})"}, 0},
        {"{}", {R"({"score": "40"})", R"({"other": 40})", "[40]", "40"}, 0},
    };
    for (const Case &c : cases) {
        auto indicator = Make(Driver::tor_exit, c.conf);
        for (const char *answer : c.answers)
            indicator->SetDataFeedScore(json::parse(answer));
        EXPECT_EQ(indicator->score, c.expected) << c.conf << " " << c.answers[0];
    }
}

TEST_F(EmitTest, LookupLineAndJoin)
{
    config.verbosity = 2;
    auto indicator = Make(Driver::tor_exit, "{}");
    auto ev = FlowEvent(Flow(), vdPluginProcessor::dpi_complete, Event::LOOKUP);
    ev->Write().data_feed = "cloud-1";

    indicator->LogLookup(ev, "ca", vppIndicator::Base::Join(std::unordered_set<std::string>{}), false);
    indicator->LogLookup(ev, "ca", vppIndicator::Base::Join(std::vector<std::string>{"ca", "de"}), true);

    EXPECT_TRUE(log.Contains("t: 0000000000001234: cloud-1: ca; want: any: no match\n"));
    EXPECT_TRUE(log.Contains("t: 0000000000001234: cloud-1: ca; want: ca, de: match\n"));
    EXPECT_EQ(vppIndicator::Base::Join(std::unordered_set<int>{42}), "42");
}

}  // namespace
