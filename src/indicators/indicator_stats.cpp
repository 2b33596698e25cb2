#include "indicators/indicator_stats.h"

namespace vppStats {

DataFeedStats &IndicatorStats::GetDataFeedStats(const std::string &name)
{
    std::lock_guard<std::mutex> guard(lock);
    return data_feeds.try_emplace(name).first->second;
}

}  // namespace vppStats
