#include "indicators/event_set.h"

#include <ostream>

namespace vppIndicator {

std::ostream &operator<<(std::ostream &out, const EventSet &set)
{
    out << '{';
    const char *separator = "";
    for (unsigned code = 0; code <= vdPluginProcessor::status_update; code++) {
        if (!set.Contains(static_cast<vdPluginProcessor::Event>(code)))
            continue;
        out << separator << code;
        separator = ", ";
    }
    return out << '}';
}

}  // namespace vppIndicator
