// The category driver: flows in the signature data set named after the
// indicator itself, and flows whose cloud answer gives a wanted domain
// category.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "indicators/drivers/feed_lookup.h"

class vpiCategory : public vpiFeedLookup
{
public:
    vpiCategory(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority,
                const json &conf, const json &defaults);

    static std::shared_ptr<vpiCategory> Create(const std::shared_ptr<vppEventQueue::Queue> &queue,
                                               const std::string &tag, unsigned ordinal, const json &conf,
                                               const json &defaults);

    // FLOW: each feed's data set named as the indicator's tag; a cloud
    // answer: its domain category against "categories".
    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev) override;

    // The ids of the criteria key "categories"; empty: any category.
    const std::unordered_set<int32_t> categories;

private:
    void LookupOwnDataSet(vppEventQueue::Event &ev) const;
    void ReadAnswer(const std::shared_ptr<vppEventQueue::Event> &ev);
    void ReadCategory(const std::shared_ptr<vppEventQueue::Event> &ev, const json &answer, std::string &reading);
};
