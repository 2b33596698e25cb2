// Flow risks: cleartext credentials and the TLS certificate audits, each
// driver with its own data set.
#pragma once

#include "indicators/drivers/feed_lookup.h"

class vpiRisk : public vpiChosenDriverLookup<vpiRisk>
{
public:
    using vpiChosenDriverLookup::vpiChosenDriverLookup;
};
