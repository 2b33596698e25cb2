// Which class serves each indicator driver and whether it needs data feeds:
// one immutable table, its rows in driver_registry.cpp.
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

struct DriverRow {
    // nullptr while no class serves the driver: a configuration naming it
    // is invalid.
    CreateFunction create;
    // An indicator of the driver must list "data_feeds".
    bool needs_data_feeds;
};

// The row of a driver, or nullptr.
const DriverRow *FindDriver(Driver driver);

// The create function of a driver; nullptr when no class serves it, which
// makes a configuration naming that driver invalid.
CreateFunction FindCreateFunction(Driver driver);

// Whether an indicator of the driver must list "data_feeds". A driver
// without a row needs them, so that a configuration naming no real driver
// reports the missing feeds first.
bool NeedsDataFeeds(Driver driver);

}  // namespace vppIndicator
