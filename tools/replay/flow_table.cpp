#include "flow_table.h"

void FlowTable::Hold(const vdFlow::Ptr &flow)
{
    flows.insert_or_assign(flow->digest, flow);
}

void FlowTable::Release(vdDigest digest)
{
    flows.erase(digest);
}
