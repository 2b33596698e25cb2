// vdFlow::Encode: a flow record as the JSON document that sinks and the cloud
// lookup receive. Instantiated for json in flow_encoder.cpp.
#pragma once

#include <mutex>

#include "common/flow_encoder_groups.h"
#include "vd_flow.h"

template <class J> void vdFlow::Encode(J &out, const vdFlowStats &stats, vdFlags<EncodeFlags> flags) const
{
    // Recursive, so a caller that already holds the flow may encode it.
    std::lock_guard<std::recursive_mutex> guard(lock);

    // Gathered first, then written in key order (see flow_document.h).
    vdFlowEncoding::Members members;
    vdFlowEncoding::EncodeIdentity(*this, members);
    const vdFlowEncoding::EndpointChoice keys = vdFlowEncoding::ChooseEndpointKeys(lower_map);

    if (flags.test(EncodeFlags::encode_metadata))
        vdFlowEncoding::EncodeMetadata(*this, keys, members);
    if (flags.test(EncodeFlags::encode_tunnel) && tunnel_type == tunnel_gtp)
        vdFlowEncoding::EncodeTunnel(*this, keys, members);
    if (flags.test(EncodeFlags::encode_stats))
        vdFlowEncoding::EncodeStats(*this, stats, keys, members);
    members.MoveInto(out);
}

extern template void vdFlow::Encode<json>(json &out, const vdFlowStats &stats,
                                          vdFlags<vdFlow::EncodeFlags> flags) const;
