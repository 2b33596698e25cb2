// The statistics document the host collects into its status output.
#include "core/plugin.h"

namespace {

json DataFeedCounters(vppStats::IndicatorStats &stats)
{
    json feeds = json::object();
    std::lock_guard<std::mutex> guard(stats.lock);
    for (const auto &[name, feed] : stats.data_feeds) {
        json counters = json::object();
        feed.lookups.ToJson(counters, "lookups");
        feed.matches.ToJson(counters, "matches");
        feeds[name] = std::move(counters);
    }
    return feeds;
}

json IndicatorCounters(vppIndicator::Base &indicator)
{
    json object = json::object();
    object["driver"] = indicator.GetDriverName();
    object["priority"] = indicator.priority;
    indicator.stats.hits.ToJson(object, "hits");
    indicator.stats.flows_evaluated.ToJson(object, "flows_evaluated");

    json discards = json::object();
    indicator.stats.min_score.ToJson(discards, "min_score");
    indicator.stats.cache_hit.ToJson(discards, "cache_hit");
    object["discards"] = std::move(discards);

    json feeds = DataFeedCounters(indicator.stats);
    if (!feeds.empty())
        object["data_feeds"] = std::move(feeds);
    return object;
}

}  // namespace

void vppPlugin::GetStats(json &out)
{
    if (!out.is_object())
        out = json::object();

    stats->flows_processed.ToJson(out, "total_flows_processed");

    // Always the sum over the indicators in force: it falls when a reload
    // replaces them.
    uint64_t hits = 0;
    for (const auto &[name, indicator] : indicators)
        hits += indicator->stats.hits.Get();
    stats->intelligence_hits.Replace(hits);
    stats->intelligence_hits.ToJson(out, "total_intelligence_hits");

    json &members = out["indicators"];
    members = nullptr;
    for (const auto &[name, indicator] : indicators)
        members[name] = IndicatorCounters(*indicator);
}
