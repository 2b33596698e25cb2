// The common base of every indicator driver: its configuration (criteria,
// attributes, score, event filter, targets, data feeds, priority), its
// filter, and the last step that turns a driver's findings into intel.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "velbord.h"

#include "common/attr_value.h"
#include "common/enums.h"
#include "common/intel_entry.h"
#include "common/event_queue.h"
#include "feeds/data_feed.h"
#include "indicators/criteria.h"
#include "indicators/event_set.h"
#include "indicators/indicator_stats.h"

namespace vppCache {
class Store;
}

namespace vppIndicator {

class Base
{
public:
    using CriteriaTypes = std::map<std::string, vppCriteria::Type>;
    using Targets = std::unordered_set<std::string>;

    // Reads the whole configuration; any failure is a vdException and no
    // indicator exists.
    Base(std::shared_ptr<vppEventQueue::Queue> queue, Driver driver, const std::string &tag, unsigned priority,
         const json &conf, const json &defaults, const CriteriaTypes &criteria_types);
    virtual ~Base();

    Base(const Base &) = delete;
    Base &operator=(const Base &) = delete;

    // The driver's step attaches its findings to ev, then calls this base
    // step, which scores, completes and queues them as one INTEL event.
    // Afterwards ev keeps its flow, code and entries; the rest of it (the
    // lookup answer, targets, marks) has moved into the queued event.
    // Threads: called on the worker thread, and also on an indicator's own
    // prober thread. An override and this base step may therefore change
    // only thread-safe state (atomic counters, the queue) and read only what
    // stays fixed after construction.
    virtual void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev);

    // True when the indicator skips the event; log writes the reason (at
    // verbosity 2 and up). Reads the flow under its lock, as host threads
    // update flows under it.
    bool Filtered(const vppEventQueue::Event &ev, bool log) const;
    // The first test the event fails (its name), or nullptr when the
    // indicator looks at it; detail (when given) receives the reason's
    // detail text. FilterReason takes the flow's lock; FilterReasonLocked
    // is for a caller that holds it, to filter many indicators at once.
    const char *FilterReason(const vppEventQueue::Event &ev, std::string *detail) const;
    const char *FilterReasonLocked(const vppEventQueue::Event &ev, std::string *detail) const;
    // The filter's line for a verdict of FilterReason.
    void LogFilter(const vppEventQueue::Event &ev, const char *reason, const std::string &detail) const;

    void AddDataFeed(const std::string &name, std::shared_ptr<vppDataFeed::Base> &feed);

    // Helpers of the drivers that read cloud answers.
    void LogLookup(const std::shared_ptr<vppEventQueue::Event> &ev, const std::string &found, const std::string &want,
                   bool match) const;
    // Adopts the answer's "score" while the indicator has none.
    void SetDataFeedScore(const json &answer);
    template <class C> static std::string Join(const C &items);

    // The priority a driver's Create passes to its constructor.
    static unsigned LoadPriority(const std::string &tag, const json &conf, unsigned ordinal);
    static void LoadProcessors(const std::string &tag, const json &conf, Targets &out);
    static void LoadSinks(const std::string &tag, const json &conf, Targets &out);

    static std::string GetFlowId(const vdFlow::Ptr &flow);

    std::string GetDriverName() const;
    static std::string GetDriverName(Driver driver);
    std::string GetCategoryName() const;
    static std::string GetCategoryName(Category category);
    static Driver GetDriver(const std::string &name);
    static std::string GetEventName(vdPluginProcessor::Event event);

    // Compiles every indicator's flow expression.
    static std::unique_ptr<vdFlowParser> FlowExpr;

    const std::shared_ptr<vppEventQueue::Queue> queue;
    const Driver driver;
    const Category category;
    const std::string tag;
    // 0: unset; a cloud answer may set it once (SetDataFeedScore) on the
    // worker while a prober thread reads it in the base step: atomic.
    std::atomic<uint32_t> score{0};
    std::unordered_map<std::string, std::shared_ptr<vppDataFeed::Base>> data_feeds;
    vppCriteria criteria;
    // The configured attributes live where every completed entry shares
    // them; like criteria.values' shared copy, fixed after construction.
    const std::shared_ptr<vppIntel::AttrMap> shared_attrs = std::make_shared<vppIntel::AttrMap>();
    vppIntel::AttrMap &attrs = *shared_attrs;
    std::shared_ptr<const vppIntel::AttrMap> shared_criteria;
    EventSet event_filter;
    Targets proc_targets;
    Targets sink_targets;
    // The intel this indicator completed, by the flow fields its "cache"
    // names; empty without one. Held by the indicator alone, so the cache
    // is saved when the indicator goes.
    std::shared_ptr<vppCache::Store> cache;
    vppStats::IndicatorStats stats;
    const unsigned priority;

protected:
    void LoadConfig(const json &conf, const json &defaults);
    void LoadAttrs(const json &j, bool defaults);
    void AddEventFilter(const json &j, bool defaults);

private:
    void LoadScore(const json &conf);
    void LoadCache(const json &conf);
    // Compiles criteria.flow_expr; a bad one is reported and never matches.
    void LoadFlowProgram();
    // The filters of the event itself (code, flow) and of its flow's state.
    const char *EventReason(const vppEventQueue::Event &ev, std::string *detail) const;
    const char *FlowReason(const vdFlow &flow, std::string *detail) const;
    bool FlowExprMatches(const vdFlow &flow) const;
    // The failures' texts, kept out of the filter's common path.
    [[gnu::cold]] static const char *NotInFilter(vdPluginProcessor::Event code, std::string *detail);
    [[gnu::cold]] const char *TooFewBytes(uint64_t bytes, std::string *detail) const;
    [[gnu::cold]] bool ReportBrokenExpression(const char *error) const;
    // Scores the entries, drops those below min_score; true when any remain.
    bool ScoreEntries(vppEventQueue::Event &ev);
    void Complete(vppIntel::Entry &entry, vdPluginProcessor::Event code) const;

    // criteria.flow_expr compiled at load; null without an expression or
    // when it does not compile (flow_program_error then says why).
    vdFlowParser::Handle flow_program;
    std::string flow_program_error;
};

template <class C> std::string Base::Join(const C &items)
{
    std::string text;
    bool first = true;
    for (const auto &item : items) {
        if (!first)
            text += ", ";
        first = false;
        if constexpr (std::is_integral_v<std::decay_t<decltype(item)>>)
            text += std::to_string(item);
        else
            text += item;
    }
    return text;
}

}  // namespace vppIndicator
