#include "support/remote_flow.h"

#include <memory>

vdFlow::Ptr BenchRemoteFlow(uint64_t digest, uint16_t other_port)
{
    auto flow = std::make_shared<vdFlow>();
    flow->digest = digest;
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    vdAddr::Create(flow->lower_addr, "192.0.2.10", 40000);
    vdAddr::Create(flow->upper_addr, "198.51.100.20", other_port);
    flow->lower_map = 1;
    flow->other_type = vdFlow::other_remote;
    flow->stats.total_bytes = 4096;
    flow->iface = std::make_shared<vdInterface>();
    flow->iface->role = vdInterface::lan;
    return flow;
}
