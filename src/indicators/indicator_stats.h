// Per-indicator and per-feed counters, read by the status document.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

#include "common/stats_counters.h"

namespace vppStats {

struct DataFeedStats {
    Counters lookups;
    Counters matches;
};

struct IndicatorStats {
    Counters hits;
    Counters flows_evaluated;
    Counters min_score;
    Counters cache_hit;
    // Entries are added only through GetDataFeedStats and never removed, so a
    // returned reference stays valid for the indicator's life.
    std::unordered_map<std::string, DataFeedStats> data_feeds;
    // Guards the structure of data_feeds; the status document holds it while
    // it walks the table (after the plug-in mutex, never before).
    std::mutex lock;

    DataFeedStats &GetDataFeedStats(const std::string &name);
};

}  // namespace vppStats
