// DNS-over-TLS and DNS-over-QUIC servers: the feed lookup, for TLS and DoQ
// flows only.
#pragma once

#include "indicators/drivers/feed_lookup.h"

class vpiDOXServer : public vpiFixedDriverLookup<vpiDOXServer, vppIndicator::Driver::dox_server>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;

    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev) override;
};
