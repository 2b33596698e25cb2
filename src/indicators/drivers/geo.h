// The geography driver: flows in the signature data set "geo", and flows
// whose cloud answer places the remote party in a wanted country, tagged
// with the country's and continent's codes and names.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>

#include "indicators/drivers/answer_lookup.h"

class vpiGeo : public vpiAnswerLookup
{
public:
    // FLOW events are looked up in each feed's data set "geo".
    vpiGeo(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority, const json &conf,
           const json &defaults);

    // The codes of the criteria key "countries", compared exactly (letter
    // case too); empty: any country.
    const std::unordered_set<std::string> countries;

private:
    // A cloud answer's "country": its code against "countries".
    void ReadMember(const std::shared_ptr<vppEventQueue::Event> &ev, const json &country,
                    std::string &reading) override;
    std::string Wanted() const override;
    // The country's code; throws vdException when it is not a string.
    const std::string *CountryCode(const json &country) const;
};
