// Tor bridges, exits and relays, each driver with its own data set.
#pragma once

#include "indicators/drivers/feed_lookup.h"

class vpiTorNode : public vpiChosenDriverLookup<vpiTorNode>
{
public:
    using vpiChosenDriverLookup::vpiChosenDriverLookup;
};
