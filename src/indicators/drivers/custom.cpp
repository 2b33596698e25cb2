#include "indicators/drivers/custom.h"

vpiCustom::vpiCustom(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority,
                     const json &conf, const json &defaults)
    : vppIndicator::Base(std::move(queue), vppIndicator::Driver::custom, tag, priority, conf, defaults, {})
{
}

std::shared_ptr<vpiCustom> vpiCustom::Create(const std::shared_ptr<vppEventQueue::Queue> &queue, const std::string &tag,
                                             unsigned ordinal, const json &conf, const json &defaults)
{
    unsigned priority = LoadPriority(tag, conf, ordinal);
    return std::make_shared<vpiCustom>(queue, tag, priority, conf, defaults);
}

void vpiCustom::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    // A cloud answer for the same flow is not a second match.
    if (ev->type == vppEventQueue::Event::FLOW)
        ev->Write().entries.push_back(std::make_shared<vppIntel::Entry>());
    vppIndicator::Base::ProcessFlow(ev);
}
