#include "core/filter_verdicts.h"

#include <mutex>

namespace vppWorker {

namespace {
const std::string no_detail;
}

const char *FilterVerdicts::Span::Reason(size_t position) const
{
    size_t index = first + position;
    if (index < owner->reasons.size())
        return owner->reasons[index].first;
    return nullptr;
}

const std::string &FilterVerdicts::Span::Detail(size_t position) const
{
    size_t index = first + position;
    return index < owner->reasons.size() ? owner->reasons[index].second : no_detail;
}

FilterVerdicts::Span FilterVerdicts::Take(const vppEventQueue::Event &event, const Indicators &indicators,
                                          bool with_reasons)
{
    Record &record = records.emplace_back(Record{event.flow.get(), event.event, passed.size(), 0});
    passed.resize(record.first + indicators.size());
    if (with_reasons)
        reasons.resize(record.first + indicators.size());
    // The host's packet threads update the flow under its lock: held once
    // for all indicators rather than taken by each.
    std::unique_lock<std::recursive_mutex> guard;
    if (event.flow)
        guard = std::unique_lock<std::recursive_mutex>(event.flow->lock);
    try {
        for (const auto &[name, indicator] : indicators) {
            const size_t index = record.first + record.count;
            if (with_reasons) {
                auto &[reason, detail] = reasons[index];
                reason = indicator->FilterReasonLocked(event, &detail);
                passed[index] = reason == nullptr;
            } else {
                passed[index] = indicator->FilterReasonLocked(event, nullptr) == nullptr;
            }
            record.count++;
        }
    } catch (...) {
        // The verdicts taken stand; the others are taken again when needed.
        passed.resize(record.first + record.count);
        throw;
    }
    return SpanOf(record);
}

FilterVerdicts::Span FilterVerdicts::Next(const vppEventQueue::Event &event)
{
    if (next >= records.size())
        return Span();
    const Record &record = records[next];
    if (record.flow != event.flow.get() || record.code != event.event)
        return Span();
    next++;
    return SpanOf(record);
}

FilterVerdicts::Span FilterVerdicts::SpanOf(const Record &record) const
{
    Span span;
    span.owner = this;
    span.first = record.first;
    span.count = record.count;
    return span;
}

}  // namespace vppWorker
