// The category driver: flows in the signature data set named after the
// indicator itself, and flows whose cloud answer gives a wanted domain
// category.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "indicators/drivers/answer_lookup.h"

class vpiCategory : public vpiAnswerLookup
{
public:
    vpiCategory(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority,
                const json &conf, const json &defaults);

    // The ids of the criteria key "categories"; empty: any category.
    const std::unordered_set<int32_t> categories;

private:
    // FLOW: each feed's data set named as the indicator's tag.
    void LookupFlow(vppEventQueue::Event &ev) override;
    // A cloud answer's "category": its domain category against "categories".
    void ReadMember(const std::shared_ptr<vppEventQueue::Event> &ev, const json &category,
                    std::string &reading) override;
    std::string Wanted() const override;
};
