// Cryptocurrency applications, protocols and servers.
#pragma once

#include "indicators/drivers/feed_lookup.h"

class vpiCryptoApplication : public vpiFixedDriverLookup<vpiCryptoApplication, vppIndicator::Driver::crypto_application>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};

class vpiCryptoProtocol : public vpiFixedDriverLookup<vpiCryptoProtocol, vppIndicator::Driver::crypto_protocol>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};

class vpiCryptoServer : public vpiFixedDriverLookup<vpiCryptoServer, vppIndicator::Driver::crypto_server>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};
