// The intel of one flow within one batch of the worker: its entries in
// arrival order and the union of the targets that receive them.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/intel_entry.h"

namespace vppIntel {

struct Event {
    // Shared with the INTEL events that brought them: stamping an id through
    // one holder is seen by all.
    std::vector<std::shared_ptr<Entry>> entries;
    std::unordered_set<std::string> proc_targets;
    std::unordered_set<std::string> sink_targets;

    // Appends the other bundle's entries and adds its targets.
    void Merge(const Event &other);
    // A bundle without targets is dropped without output.
    bool HasTargets() const { return !proc_targets.empty() || !sink_targets.empty(); }
};

}  // namespace vppIntel
