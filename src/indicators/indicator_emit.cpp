// The last step of every driver: scoring, completion and emission of the
// entries it found, and the helpers of the drivers that read cloud answers.
#include <utility>

#include "common/json_reader.h"
#include "indicators/cache/intel_cache.h"
#include "indicators/indicator.h"

namespace vppIndicator {

void Base::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->Read().entries.empty() || !ScoreEntries(*ev))
        return;

    vppEventQueue::Event::Details &details = ev->Write();
    for (const auto &entry : details.entries) {
        Complete(*entry, ev->event);
        // The first entry completed for a key is the one the cache keeps.
        if (cache)
            cache->Insert(ev->flow, *entry);
    }

    stats.hits.Add(details.entries.size());
    details.proc_targets.insert(proc_targets.begin(), proc_targets.end());
    details.sink_targets.insert(sink_targets.begin(), sink_targets.end());

    // The event is the indicator's own: what the caller may still read
    // (flow, code, entries) stays, the rest moves.
    vppEventQueue::Event intel(std::move(*ev));
    ev->flow = intel.flow;
    ev->Write().entries = intel.Read().entries;
    intel.type = vppEventQueue::Event::INTEL;
    intel.Write().indicator = tag;
    queue->Push(std::move(intel));
}

bool Base::ScoreEntries(vppEventQueue::Event &ev)
{
    auto &entries = ev.Write().entries;
    for (auto it = entries.begin(); it != entries.end();) {
        vppIntel::Entry *entry = it->get();
        if (entry == nullptr) {
            it = entries.erase(it);
            continue;
        }
        if (entry->score == 0)
            entry->score = score.load();
        if (entry->score < criteria.min_score) {
            if (vdGlobalConfig::GetInstance().verbosity >= 2)
                vd_dprintf("%s: %s: filtered: min_score (%u < %u)\n", tag.c_str(), GetFlowId(ev.flow).c_str(),
                           entry->score, criteria.min_score);
            stats.min_score.Add();
            it = entries.erase(it);
            continue;
        }
        ++it;
    }
    return !entries.empty();
}

void Base::Complete(vppIntel::Entry &entry, vdPluginProcessor::Event code) const
{
    entry.indicator = tag;
    entry.indicator_driver = GetDriverName();
    // Shared, not copied: an indicator may configure millions of attributes.
    // The driver's attributes win over configured ones of the same key.
    entry.criteria.clear();
    entry.indicator_criteria = shared_criteria;
    entry.indicator_attrs = shared_attrs;
    entry.category = GetCategoryName();
    entry.event = GetEventName(code);
}

void Base::LogLookup(const std::shared_ptr<vppEventQueue::Event> &ev, const std::string &found, const std::string &want,
                     bool match) const
{
    if (vdGlobalConfig::GetInstance().verbosity < 2)
        return;
    vd_dprintf("%s: %s: %s: %s; want: %s: %s\n", tag.c_str(), GetFlowId(ev->flow).c_str(), ev->Read().data_feed.c_str(),
               found.c_str(), want.empty() ? "any" : want.c_str(), match ? "match" : "no match");
}

void Base::SetDataFeedScore(const json &answer)
{
    if (score.load() != 0)
        return;
    const json *value = vppJson::FindMember(answer, "score");
    if (value == nullptr)
        return;
    // Only a score a 32-bit field can hold: a -1 must not become the highest.
    // Only the first score counts, also if two threads answered at once.
    uint32_t unset = 0;
    if (auto number = vppJson::Lenient::Unsigned32Truncated(*value))
        score.compare_exchange_strong(unset, *number);
}

}  // namespace vppIndicator
