// Protocols that carry their traffic insecurely.
#pragma once

#include "indicators/drivers/feed_lookup.h"

class vpiInsecureProtocol : public vpiFixedDriverLookup<vpiInsecureProtocol, vppIndicator::Driver::protocol_insecure>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};
