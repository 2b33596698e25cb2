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
    records.push_back({event.flow.get(), event.event, passed.size(), 0});
    // The host's packet threads update the flow under its lock: held once
    // for all indicators rather than taken by each.
    std::unique_lock<std::recursive_mutex> guard;
    if (event.flow)
        guard = std::unique_lock<std::recursive_mutex>(event.flow->lock);
    for (const auto &[name, indicator] : indicators) {
        std::string detail;
        const char *reason = indicator->FilterReasonLocked(event, with_reasons ? &detail : nullptr);
        Add(reason, std::move(detail), with_reasons);
    }
    return SpanOf(records.back());
}

void FilterVerdicts::Add(const char *reason, std::string &&detail, bool with_reasons)
{
    if (with_reasons) {
        reasons.resize(passed.size());
        reasons.emplace_back(reason, std::move(detail));
    }
    passed.push_back(reason == nullptr);
    records.back().count++;
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
