// The resident size of this process as the kernel reports it, for the
// benchmarks that measure what a build or a load holds.
#pragma once

struct ProcessMemory {
    long rss_kib = 0;  // VmRSS
    long hwm_kib = 0;  // VmHWM, the peak resident size
};

// Reads VmRSS and VmHWM from /proc/self/status; a field it does not find
// stays 0.
ProcessMemory ReadMemory();
