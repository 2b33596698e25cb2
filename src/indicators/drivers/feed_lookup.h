// The drivers that ask every feed of the indicator for the data set named
// after their driver; each yes becomes an intel entry.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "indicators/indicator.h"

class vpiFeedLookup : public vppIndicator::Base
{
public:
    using vppIndicator::Base::Base;

    // Intel comes from FLOW events only: a cloud answer for the same flow
    // would find the same data again.
    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev) override;

protected:
    // Each feed's data set named key (the driver's name, for most drivers).
    void LookupFeeds(vppEventQueue::Event &ev, const std::string &key) const;
};

// A family member that serves one driver.
template <class Self, vppIndicator::Driver FixedDriver> class vpiFixedDriverLookup : public vpiFeedLookup
{
public:
    vpiFixedDriverLookup(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority,
                         const json &conf, const json &defaults)
        : vpiFeedLookup(std::move(queue), FixedDriver, tag, priority, conf, defaults, {})
    {
    }

    static std::shared_ptr<Self> Create(const std::shared_ptr<vppEventQueue::Queue> &queue, const std::string &tag,
                                        unsigned ordinal, const json &conf, const json &defaults)
    {
        unsigned priority = LoadPriority(tag, conf, ordinal);
        return std::make_shared<Self>(queue, tag, priority, conf, defaults);
    }
};

// A family member that serves several drivers, each looking up its own data
// set; the configuration names the driver.
template <class Self> class vpiChosenDriverLookup : public vpiFeedLookup
{
public:
    vpiChosenDriverLookup(std::shared_ptr<vppEventQueue::Queue> queue, vppIndicator::Driver driver,
                          const std::string &tag, unsigned priority, const json &conf, const json &defaults)
        : vpiFeedLookup(std::move(queue), driver, tag, priority, conf, defaults, {})
    {
    }

    static std::shared_ptr<Self> Create(const std::shared_ptr<vppEventQueue::Queue> &queue, const std::string &tag,
                                        unsigned ordinal, const json &conf, const json &defaults,
                                        vppIndicator::Driver driver)
    {
        unsigned priority = LoadPriority(tag, conf, ordinal);
        return std::make_shared<Self>(queue, driver, tag, priority, conf, defaults);
    }
};
