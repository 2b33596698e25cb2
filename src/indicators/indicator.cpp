#include "indicators/indicator.h"

#include <utility>

#include "common/name_tables.h"

namespace vppIndicator {

Base::Base(std::shared_ptr<vppEventQueue::Queue> queue, Driver driver, const std::string &tag, unsigned priority,
           const json &conf, const json &defaults, const CriteriaTypes &criteria_types)
    : queue(std::move(queue)), driver(driver), category(vppNames::GetDriverCategory(driver)), tag(tag),
      criteria(criteria_types), priority(priority)
{
    if (!this->queue)
        throw vdException("%s: no event queue for the indicator's intel", tag.c_str());
    LoadConfig(conf, defaults);
    shared_criteria = std::make_shared<const vppIntel::AttrMap>(criteria.values);
}

Base::~Base() = default;

void Base::AddDataFeed(const std::string &name, std::shared_ptr<vppDataFeed::Base> &feed)
{
    if (data_feeds.try_emplace(name, feed).second)
        vd_dprintf("%s: added data feed: %s\n", tag.c_str(), name.c_str());
    else
        vd_dprintf("%s: duplicate data feed: %s\n", tag.c_str(), name.c_str());
}

std::string Base::GetDriverName() const
{
    return vppNames::GetDriverName(driver);
}

std::string Base::GetDriverName(Driver driver)
{
    return vppNames::GetDriverName(driver);
}

std::string Base::GetCategoryName() const
{
    return vppNames::GetCategoryName(category);
}

std::string Base::GetCategoryName(Category category)
{
    return vppNames::GetCategoryName(category);
}

Driver Base::GetDriver(const std::string &name)
{
    return vppNames::GetDriver(name);
}

std::string Base::GetEventName(vdPluginProcessor::Event event)
{
    return vppNames::GetEventName(event);
}

std::string Base::GetFlowId(const vdFlow::Ptr &flow)
{
    return flow ? vd_xxh64_to_string(flow->digest) : std::string();
}

}  // namespace vppIndicator
