#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/stats_counters.h"

namespace {

TEST(StatsCounters, ReportsValueAndIncreaseSincePreviousReport)
{
    struct Step {
        enum { add, replace, report } action;
        uint64_t n;
        uint64_t interval = 0;  // for report: the expected interval; n is the value
    };
    struct Case {
        std::string what;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"never raised", {{Step::report, 0, 0}}},
        {"raised five times, reported twice",
         {{Step::add, 1},
          {Step::add, 1},
          {Step::add, 1},
          {Step::add, 1},
          {Step::add, 1},
          {Step::report, 5, 5},
          {Step::report, 5, 0}}},
        {"raised between reports", {{Step::add, 3}, {Step::report, 3, 3}, {Step::add, 4}, {Step::report, 7, 4}}},
        {"replaced by a larger value",
         {{Step::replace, 10}, {Step::report, 10, 10}, {Step::replace, 25}, {Step::report, 25, 15}}},
        {"replaced by a smaller value",
         {{Step::add, 10}, {Step::report, 10, 10}, {Step::replace, 4}, {Step::report, 4, 4}, {Step::report, 4, 0}}},
    };
    for (const auto &c : cases) {
        vppStats::Counters counter;
        for (size_t i = 0; i < c.steps.size(); i++) {
            const Step &step = c.steps[i];
            if (step.action == Step::add) {
                counter.Add(step.n);
            } else if (step.action == Step::replace) {
                counter.Replace(step.n);
            } else {
                json j;
                counter.ToJson(j, "hits");
                SCOPED_TRACE(c.what + ", step " + std::to_string(i) + ": " + j.dump());
                ASSERT_EQ(j.size(), 2u);
                EXPECT_TRUE(j["hits"].is_number_unsigned());
                EXPECT_TRUE(j["hits_interval"].is_number_unsigned());
                EXPECT_EQ(j["hits"], step.n);
                EXPECT_EQ(j["hits_interval"], step.interval);
            }
        }
    }
}

}  // namespace
