#include "common/intel_event.h"

namespace vppIntel {

void Event::Merge(const Event &other)
{
    entries.insert(entries.end(), other.entries.begin(), other.entries.end());
    proc_targets.insert(other.proc_targets.begin(), other.proc_targets.end());
    sink_targets.insert(other.sink_targets.begin(), other.sink_targets.end());
}

}  // namespace vppIntel
