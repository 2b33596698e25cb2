// Scores of TLS cipher suites and versions.
#pragma once

#include "indicators/drivers/feed_lookup.h"

class vpiTLSCipherScore : public vpiFixedDriverLookup<vpiTLSCipherScore, vppIndicator::Driver::tls_cipher_score>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};

class vpiTLSVersionScore : public vpiFixedDriverLookup<vpiTLSVersionScore, vppIndicator::Driver::tls_version_score>
{
public:
    using vpiFixedDriverLookup::vpiFixedDriverLookup;
};
