// The flows the replay host holds between events, keyed by digest, as a
// host's flow table does: a flow lives here until it expires or the run ends.
#pragma once

#include <unordered_map>

#include "vd_flow.h"

class FlowTable
{
public:
    // Holds the flow under its digest; a flow held under the same digest
    // before is let go.
    void Hold(const vdFlow::Ptr &flow);
    // Lets go of the flow held under the digest, if any.
    void Release(vdDigest digest);

private:
    std::unordered_map<vdDigest, vdFlow::Ptr> flows;
};
