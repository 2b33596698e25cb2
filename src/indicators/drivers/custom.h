// User-written flow expressions: the indicator's filter tests the expression,
// so every event that reaches the driver is a match.
#pragma once

#include <memory>
#include <string>

#include "indicators/indicator.h"

class vpiCustom : public vppIndicator::Base
{
public:
    vpiCustom(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority, const json &conf,
              const json &defaults);

    static std::shared_ptr<vpiCustom> Create(const std::shared_ptr<vppEventQueue::Queue> &queue, const std::string &tag,
                                             unsigned ordinal, const json &conf, const json &defaults);

    // One empty entry per FLOW event; the base step fills it in.
    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev) override;
};
