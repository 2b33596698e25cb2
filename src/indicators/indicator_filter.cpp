// Whether an indicator looks at an event at all: event filter, minimum
// bytes, LAN and WAN triggers and the flow expression, in that order, all
// read under the flow's lock.
#include <mutex>
#include <string>

#include "indicators/indicator.h"

namespace vppIndicator {

std::unique_ptr<vdFlowParser> Base::FlowExpr = std::make_unique<vdFlowParser>();

namespace {

const vdFlowParser::Variables no_variables;

// A flow without a capture interface counts as role unknown.
uint8_t InterfaceRole(const vdFlow &flow)
{
    return flow.iface ? flow.iface->role : static_cast<uint8_t>(vdInterface::unknown);
}

}  // namespace

bool Base::Filtered(const vppEventQueue::Event &ev, bool log) const
{
    // The host configuration is consulted only when the caller wants a line.
    bool logging = log && vdGlobalConfig::GetInstance().verbosity >= 2;
    std::string detail;
    const char *reason = FilterReason(ev, logging ? &detail : nullptr);
    if (logging)
        LogFilter(ev, reason, detail);
    return reason != nullptr;
}

// The common case (nothing to say) stays small: the texts of a failed test
// are built apart.
inline const char *Base::EventReason(const vppEventQueue::Event &ev, std::string *detail) const
{
    if (!event_filter.Contains(ev.event)) [[unlikely]]
        return NotInFilter(ev.event, detail);
    if (!ev.flow) [[unlikely]]
        return "no flow";
    return nullptr;
}

inline const char *Base::FlowReason(const vdFlow &flow, std::string *detail) const
{
    if (flow.stats.total_bytes < criteria.min_bytes) [[unlikely]]
        return TooFewBytes(flow.stats.total_bytes, detail);
    if (flow.other_type == vdFlow::other_local && !criteria.trigger_on_east_west)
        return "LAN traffic (trigger east/west)";
    if (InterfaceRole(flow) == vdInterface::wan && !criteria.trigger_on_wan)
        return "WAN traffic (trigger wan)";
    if (!criteria.flow_expr.empty() && !FlowExprMatches(flow))
        return "criteria flow expr didn't match";
    return nullptr;
}

inline bool Base::FlowExprMatches(const vdFlow &flow) const
{
    if (!flow_program) [[unlikely]]
        return ReportBrokenExpression(flow_program_error.c_str());
    try {
        return vdFlowParser::Evaluate(*flow_program, flow, no_variables);
    } catch (const std::exception &e) {
        return ReportBrokenExpression(e.what());
    }
}

const char *Base::FilterReason(const vppEventQueue::Event &ev, std::string *detail) const
{
    if (const char *reason = EventReason(ev, detail))
        return reason;
    // The host's packet threads update the flow (counters, interface, names)
    // under its lock; the expression reads those fields too.
    std::lock_guard<std::recursive_mutex> guard(ev.flow->lock);
    return FlowReason(*ev.flow, detail);
}

const char *Base::FilterReasonLocked(const vppEventQueue::Event &ev, std::string *detail) const
{
    if (const char *reason = EventReason(ev, detail))
        return reason;
    return FlowReason(*ev.flow, detail);
}

const char *Base::NotInFilter(vdPluginProcessor::Event code, std::string *detail)
{
    if (detail != nullptr)
        *detail = GetEventName(code) + " not in filter";
    return "event_filter";
}

const char *Base::TooFewBytes(uint64_t bytes, std::string *detail) const
{
    if (detail != nullptr)
        *detail = std::to_string(bytes) + " < " + std::to_string(criteria.min_bytes);
    return "min_bytes";
}

bool Base::ReportBrokenExpression(const char *error) const
{
    // A broken expression is a mismatch, and always worth a line.
    vd_dprintf("%s: %s: %s\n", tag.c_str(), criteria.flow_expr.c_str(), error);
    return false;
}

void Base::LogFilter(const vppEventQueue::Event &ev, const char *reason, const std::string &detail) const
{
    std::string flow_id = GetFlowId(ev.flow);
    std::string event_name = GetEventName(ev.event);
    const char *lookup = ev.type == vppEventQueue::Event::LOOKUP ? " (lookup)" : "";

    if (reason == nullptr)
        vd_dprintf("%s: %s: evaluating: %s%s\n", tag.c_str(), flow_id.c_str(), event_name.c_str(), lookup);
    else if (detail.empty())
        vd_dprintf("%s: %s: filtered: %s%s: %s\n", tag.c_str(), flow_id.c_str(), event_name.c_str(), lookup, reason);
    else
        vd_dprintf("%s: %s: filtered: %s%s: %s: %s\n", tag.c_str(), flow_id.c_str(), event_name.c_str(), lookup, reason,
                   detail.c_str());
}

}  // namespace vppIndicator
