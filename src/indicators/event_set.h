// A set of the host's processor event codes, one bit per code: an
// indicator's event filter, tested for every indicator and event.
#pragma once

#include <bitset>
#include <cstddef>
#include <initializer_list>
#include <iosfwd>

#include "vd_plugin.h"

namespace vppIndicator {

class EventSet
{
public:
    EventSet() = default;
    EventSet(std::initializer_list<vdPluginProcessor::Event> codes)
    {
        for (auto code : codes)
            Insert(code);
    }

    // Throws std::out_of_range for a code the host does not define.
    void Insert(vdPluginProcessor::Event code) { bits.set(code); }
    // A code the host does not define is in no set.
    bool Contains(vdPluginProcessor::Event code) const { return code < code_count && bits[code]; }
    size_t Size() const { return bits.count(); }
    bool Empty() const { return bits.none(); }

    bool operator==(const EventSet &other) const = default;

private:
    // The host's codes run from none (0) to status_update.
    static constexpr size_t code_count = size_t(vdPluginProcessor::status_update) + 1;
    std::bitset<code_count> bits;
};

// The codes in ascending order, as "{2, 8}".
std::ostream &operator<<(std::ostream &out, const EventSet &set);

}  // namespace vppIndicator
