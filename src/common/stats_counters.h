// A statistics counter any thread may raise, reported with its increase since
// the previous report.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "vd_common.h"

namespace vppStats {

struct Counters {
    std::atomic<uint64_t> value{0};
    // value at the previous report; touched only by ToJson, whose callers
    // report one at a time (under the plug-in mutex).
    mutable uint64_t last = 0;

    void Add(uint64_t n = 1) { value.fetch_add(n, std::memory_order_relaxed); }
    // Returns the value replaced.
    uint64_t Replace(uint64_t v) { return value.exchange(v, std::memory_order_relaxed); }
    uint64_t Get() const { return value.load(std::memory_order_relaxed); }

    // Sets j[name] to the value and j[name + "_interval"] to the increase
    // since the previous report; a value that went down reports itself.
    void ToJson(json &j, const std::string &name) const;
};

}  // namespace vppStats
