// The indicators' filter verdicts on a batch's FLOW events: taken once, as
// the worker starts an event's lookups, and read back when it evaluates the
// event, so that each indicator filters each FLOW event once.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/event_queue.h"
#include "indicators/indicator.h"

namespace vppWorker {

// Worker thread only. The indicators stay the same for a whole batch (a
// reload runs between batches), so a verdict is known by the indicator's
// position.
class FilterVerdicts
{
public:
    using Indicators = std::vector<std::pair<std::string, std::shared_ptr<vppIndicator::Base>>>;

    // One event's verdicts, by indicator position. Positions from Size() on
    // have none (taking them failed part way): those indicators are
    // filtered anew.
    class Span
    {
    public:
        size_t Size() const { return count; }
        bool Passed(size_t position) const { return owner->passed[first + position]; }
        // The test failed (nullptr when passed) and its detail; kept only
        // when taken with reasons.
        const char *Reason(size_t position) const;
        const std::string &Detail(size_t position) const;

    private:
        friend class FilterVerdicts;
        const FilterVerdicts *owner = nullptr;
        size_t first = 0;
        size_t count = 0;
    };

    // Filters event for every indicator under one hold of the flow's lock;
    // with_reasons keeps each failed test and its detail for the log.
    Span Take(const vppEventQueue::Event &event, const Indicators &indicators, bool with_reasons);
    // The verdicts on the next FLOW event to evaluate, in the order taken;
    // empty when event is not the one they were taken on.
    Span Next(const vppEventQueue::Event &event);

private:
    struct Record {
        const vdFlow *flow;
        vdPluginProcessor::Event code;
        size_t first;
        size_t count;
    };
    Span SpanOf(const Record &record) const;

    std::vector<Record> records;
    // One bit per indicator and event, the records' slices end to end.
    std::vector<bool> passed;
    // Beside passed, for the records taken with reasons; empty otherwise.
    std::vector<std::pair<const char *, std::string>> reasons;
    size_t next = 0;
};

}  // namespace vppWorker
