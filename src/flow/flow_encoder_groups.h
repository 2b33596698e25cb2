// The groups of members that vdFlow::Encode writes. Each one expects the
// flow's lock to be held by the caller.
#pragma once

#include <cstdint>

#include "flow/flow_document.h"
#include "vd_flow.h"

namespace vdFlowEncoding {

// The key paths of one side's per-endpoint values: local or other.
struct EndpointKeys;

// Which key paths the flow's lower and upper endpoints write under.
struct EndpointChoice {
    const EndpointKeys *lower;
    const EndpointKeys *upper;
};

// The lower endpoint is the local one unless lower_map is 2.
EndpointChoice ChooseEndpointKeys(uint8_t lower_map);

// "digest", "digest_prev" and "last_seen_at".
void EncodeIdentity(const vdFlow &flow, Members &out);

// Addresses, detection, host names, protocol details, risks and tags.
// Reads the host configuration for the dhc/fhc members, so it throws when
// that singleton is missing.
void EncodeMetadata(const vdFlow &flow, const EndpointChoice &keys, Members &out);

// The "gtp" object; the caller checks that the flow is GTP-tunnelled.
void EncodeTunnel(const vdFlow &flow, const EndpointChoice &keys, Members &out);

// The counters of stats, with the TCP group for TCP flows.
void EncodeStats(const vdFlow &flow, const vdFlowStats &stats, const EndpointChoice &keys, Members &out);

}  // namespace vdFlowEncoding
