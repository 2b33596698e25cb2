// The flows of the soak and the indicators that must report them: every flow
// is derived from its sequence number, and a stable indicator's expression
// has a twin predicate here, so what is owed is known without the plug-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vd_flow.h"
#include "vd_plugin.h"

// A stable indicator: in every configuration the storm writes, matching
// flows by a port range (the marker) and, for some, the IP protocol.
struct StableIndicator {
    const char *name;
    const char *flow_expr;
    uint16_t first_port;  // the other port, from
    uint16_t end_port;    // up to, not included
    uint8_t ip_protocol;  // 0: any
    bool cached;          // answers repeated flows from an intel cache kept in a file
    bool to_sink;         // also sent to the sink target
    bool Matches(uint16_t other_port, uint8_t protocol) const
    {
        return other_port >= first_port && other_port < end_port && (ip_protocol == 0 || ip_protocol == protocol);
    }
};

const std::vector<StableIndicator> &StableIndicators();

// Marker ports of the flows: every stable range lies inside.
inline constexpr uint16_t marker_first_port = 10000;
inline constexpr uint16_t marker_ports = 20000;
// Flows the cloud lookups are asked about: the last marker ports, 0.5%.
inline constexpr uint16_t cloud_first_port = 29900;
// Digests are this tag above the sequence number.
inline constexpr uint64_t digest_tag = 0x50AC000000000000ull;
inline constexpr uint64_t sequence_mask = 0x0000FFFFFFFFFFFFull;
// One flow in this many goes to a probed server (the DoH server or a closed
// port) instead of a marker port.
inline constexpr uint64_t probe_flow_interval = 400;

// Where probed flows go.
struct ProbeTargets {
    uint16_t doh_port = 0;
    uint16_t closed_port = 0;
};

struct FlowPlan {
    uint64_t seq = 0;
    uint16_t other_port = 0;
    uint8_t ip_protocol = 6;
    vdPluginProcessor::Event code = vdPluginProcessor::dpi_complete;
    bool probed = false;         // a TLS flow to a loopback server
    bool map_excluded = false;   // left out when handed in a flow map
    bool map_ineligible = false;

    static FlowPlan For(uint64_t seq, const ProbeTargets &targets);
    // The stable indicators (bits by table order) that owe the flow intel
    // when it is handed in alone (in_map false) or in a flow map.
    uint8_t OwedMask(bool in_map) const;
    vdFlow::Ptr Build() const;
};
