// vdFlow::Encode, which the host's vd_flow.h declares and the plug-in defines:
// a flow record as the JSON document that sinks and the cloud lookup receive.
// Instantiated for json in flow_encoder.cpp.
#pragma once

#include "flow/flow_encoder_groups.h"
#include "vd_flow.h"

namespace vdFlowEncoding {

// The members of the flow's document at the level flags: the identity, then
// the groups flagged. Holds the flow's lock (recursive, so a caller that
// already holds it may encode) while it reads.
void Gather(const vdFlow &flow, const vdFlowStats &stats, vdFlags<vdFlow::EncodeFlags> flags, Members &out);

}  // namespace vdFlowEncoding

template <class J> void vdFlow::Encode(J &out, const vdFlowStats &stats, vdFlags<EncodeFlags> flags) const
{
    // Gathered first, then written in key order (see flow_document.h).
    vdFlowEncoding::Members members;
    vdFlowEncoding::Gather(*this, stats, flags, members);
    members.MoveInto(out);
}

extern template void vdFlow::Encode<json>(json &out, const vdFlowStats &stats,
                                          vdFlags<vdFlow::EncodeFlags> flags) const;
