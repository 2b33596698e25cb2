// The one instantiation of the flow encoder that the plug-in uses.
#include "common/flow_encoder.h"

template void vdFlow::Encode<json>(json &out, const vdFlowStats &stats, vdFlags<vdFlow::EncodeFlags> flags) const;
