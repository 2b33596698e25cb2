#include "soak/flow_plan.h"

#include <memory>
#include <stdexcept>
#include <string>

const std::vector<StableIndicator> &StableIndicators()
{
    static const std::vector<StableIndicator> table = {
        {"stable_wide", "other_port >= 10000 && other_port < 30000 && total_bytes >= 100", 10000, 30000, 0, false,
         true},
        {"stable_low", "other_port >= 10000 && other_port < 16000", 10000, 16000, 0, false, false},
        {"stable_tcp", "other_port >= 14000 && other_port < 22000 && ip_protocol == 6", 14000, 22000, 6, false,
         false},
        {"stable_cached", "other_port >= 20000 && other_port < 30000", 20000, 30000, 0, true, false},
    };
    return table;
}

FlowPlan FlowPlan::For(uint64_t seq, const ProbeTargets &targets)
{
    FlowPlan plan;
    plan.seq = seq;
    plan.other_port = static_cast<uint16_t>(marker_first_port + (seq * 7919) % marker_ports);
    plan.ip_protocol = seq % 7 == 0 ? 17 : 6;
    plan.code = seq % 10 == 9 ? vdPluginProcessor::dpi_update : vdPluginProcessor::dpi_complete;
    plan.map_excluded = seq % 13 == 0;
    plan.map_ineligible = seq % 17 == 0;
    if (seq % probe_flow_interval == 0 && targets.doh_port != 0) {
        plan.probed = true;
        plan.code = vdPluginProcessor::dpi_complete;
        plan.ip_protocol = 6;
        plan.other_port = (seq / probe_flow_interval) % 4 == 3 ? targets.closed_port : targets.doh_port;
    }
    return plan;
}

uint8_t FlowPlan::OwedMask(bool in_map) const
{
    if (code != vdPluginProcessor::dpi_complete || (in_map && (map_excluded || map_ineligible)))
        return 0;
    uint8_t mask = 0;
    const auto &stable = StableIndicators();
    for (size_t index = 0; index < stable.size(); index++)
        if (stable[index].Matches(other_port, ip_protocol))
            mask |= static_cast<uint8_t>(1u << index);
    return mask;
}

namespace {

void SetAddress(vdAddr &out, const std::string &text, uint16_t port)
{
    if (!vdAddr::Create(out, text, port))
        throw std::runtime_error("bad flow address: " + text);
}

}  // namespace

vdFlow::Ptr FlowPlan::Build() const
{
    auto flow = std::make_shared<vdFlow>();
    flow->digest = digest_tag | seq;
    flow->ip_version = 4;
    flow->ip_protocol = ip_protocol;
    flow->lower_map = 1;
    flow->origin = 1;
    flow->other_type = vdFlow::other_remote;
    flow->stats.total_bytes = 1000;
    flow->stats.total_packets = 10;
    flow->iface = std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan});
    flow->flowmap_excluded = map_excluded;
    flow->flowmap_eligible = !map_ineligible;
    if (probed) {
        SetAddress(flow->lower_addr, "127.0.0.1", 40000);
        SetAddress(flow->upper_addr, "127.0.0.1", other_port);
        flow->detected_protocol = vdProto::TLS;
        flow->master_protocol = vdProto::TLS;
    } else {
        SetAddress(flow->lower_addr, "192.0.2.10", static_cast<uint16_t>(40000 + seq % 20000));
        SetAddress(flow->upper_addr, "198.51.100." + std::to_string(seq % 200 + 1), other_port);
    }
    return flow;
}
