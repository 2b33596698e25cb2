#include "common/stats_counters.h"

namespace vppStats {

void Counters::ToJson(json &j, const std::string &name) const
{
    j[name] = Get();
    // Read again: a raise between the two reads counts in this interval and
    // in the next report's value.
    const uint64_t current = Get();
    const uint64_t interval = current >= last ? current - last : current;
    last = current;
    j[name + "_interval"] = interval;
}

}  // namespace vppStats
