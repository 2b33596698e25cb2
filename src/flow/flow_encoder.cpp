// The one instantiation of the flow encoder that the plug-in uses (the
// definition of vdFlow::Encode, which the host's vd_flow.h declares), and the
// gathering of a flow's members.
#include "flow/flow_encoder.h"

#include <mutex>

namespace vdFlowEncoding {

void Gather(const vdFlow &flow, const vdFlowStats &stats, vdFlags<vdFlow::EncodeFlags> flags, Members &out)
{
    std::lock_guard<std::recursive_mutex> guard(flow.lock);
    EncodeIdentity(flow, out);
    const EndpointChoice keys = ChooseEndpointKeys(flow.lower_map);

    if (flags.test(vdFlow::EncodeFlags::encode_metadata))
        EncodeMetadata(flow, keys, out);
    if (flags.test(vdFlow::EncodeFlags::encode_tunnel) && flow.tunnel_type == vdFlow::tunnel_gtp)
        EncodeTunnel(flow, keys, out);
    if (flags.test(vdFlow::EncodeFlags::encode_stats))
        EncodeStats(flow, stats, keys, out);
}

}  // namespace vdFlowEncoding

template void vdFlow::Encode<json>(json &out, const vdFlowStats &stats, vdFlags<vdFlow::EncodeFlags> flags) const;
