// A TCP flow from a LAN host to a remote server port, as the end-to-end and
// worker benchmarks hand in.
#pragma once

#include <cstdint>

#include "vd_flow.h"

vdFlow::Ptr BenchRemoteFlow(uint64_t digest, uint16_t other_port);
