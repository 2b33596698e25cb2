// Which class serves each indicator driver: one row per driver value, added
// by the file that brings the class.
#pragma once

#include <memory>
#include <string>

#include "indicators/indicator.h"

namespace vppIndicator {

// Builds an indicator of the given driver; the arguments are those of the
// drivers' Create (queue, tag, default priority, own object, defaults).
using CreateFunction = std::shared_ptr<Base> (*)(const std::shared_ptr<vppEventQueue::Queue> &queue, Driver driver,
                                                 const std::string &tag, unsigned ordinal, const json &conf,
                                                 const json &defaults);

// The create function of a driver; nullptr when no class serves it, which
// makes a configuration naming that driver invalid.
CreateFunction FindCreateFunction(Driver driver);

}  // namespace vppIndicator
