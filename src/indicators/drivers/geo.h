// The geography driver: flows in the signature data set "geo", and flows
// whose cloud answer places the remote party in a wanted country, tagged
// with the country's and continent's codes and names.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>

#include "indicators/drivers/feed_lookup.h"

class vpiGeo : public vpiFeedLookup
{
public:
    vpiGeo(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority, const json &conf,
           const json &defaults);

    static std::shared_ptr<vpiGeo> Create(const std::shared_ptr<vppEventQueue::Queue> &queue, const std::string &tag,
                                          unsigned ordinal, const json &conf, const json &defaults);

    // FLOW: each feed's data set "geo"; a cloud answer: its country code
    // against "countries".
    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev) override;

    // The codes of the criteria key "countries", compared exactly (letter
    // case too); empty: any country.
    const std::unordered_set<std::string> countries;

private:
    void ReadAnswer(const std::shared_ptr<vppEventQueue::Event> &ev);
    void ReadCountry(const std::shared_ptr<vppEventQueue::Event> &ev, const json &answer, std::string &reading);
    // The country's code; throws vdException when it is not a string.
    const std::string *CountryCode(const json &country) const;
};
