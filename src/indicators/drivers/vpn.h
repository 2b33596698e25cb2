// VPN applications (business and consumer, each with its own data set),
// protocols and servers.
#pragma once

#include "indicators/drivers/feed_lookup.h"

class vpiVPNApplication : public vpiChosenDriverLookup<vpiVPNApplication>
{
public:
    using vpiChosenDriverLookup::vpiChosenDriverLookup;
};

class vpiVPNProtocol : public vpiFixedDriverLookup<vpiVPNProtocol, vppIndicator::Driver::vpn_protocol>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};

class vpiVPNServer : public vpiFixedDriverLookup<vpiVPNServer, vppIndicator::Driver::vpn_server_consumer>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};
