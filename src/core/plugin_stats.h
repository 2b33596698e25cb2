// The plug-in's own totals, reported by the status document.
#pragma once

#include "common/stats_counters.h"

namespace vppStats {

struct PluginStats {
    // Flows the host handed in and that were queued.
    Counters flows_processed;
    // The sum of the indicators' hits, refreshed at each status read.
    Counters intelligence_hits;
};

}  // namespace vppStats
