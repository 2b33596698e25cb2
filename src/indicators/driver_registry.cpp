#include "indicators/driver_registry.h"

#include <unordered_map>

#include "indicators/drivers/crypto.h"
#include "indicators/drivers/custom.h"
#include "indicators/drivers/dox_server.h"
#include "indicators/drivers/insecure_protocol.h"
#include "indicators/drivers/risk.h"
#include "indicators/drivers/tls_score.h"
#include "indicators/drivers/tor_node.h"
#include "indicators/drivers/vpn.h"

namespace vppIndicator {

namespace {

template <class T>
std::shared_ptr<Base> CreateFixed(const std::shared_ptr<vppEventQueue::Queue> &queue, Driver, const std::string &tag,
                                  unsigned ordinal, const json &conf, const json &defaults)
{
    return T::Create(queue, tag, ordinal, conf, defaults);
}

template <class T>
std::shared_ptr<Base> CreateChosen(const std::shared_ptr<vppEventQueue::Queue> &queue, Driver driver,
                                   const std::string &tag, unsigned ordinal, const json &conf, const json &defaults)
{
    return T::Create(queue, tag, ordinal, conf, defaults, driver);
}

using DriverTable = std::unordered_map<Driver, CreateFunction, vdEnumHasher>;

// The category, geography, reputation and encrypted-DNS prober drivers have
// no row yet.
const DriverTable &Drivers()
{
    static const DriverTable table = {
        {Driver::credentials_cleartext, CreateChosen<vpiRisk>},
        {Driver::crypto_application, CreateFixed<vpiCryptoApplication>},
        {Driver::crypto_protocol, CreateFixed<vpiCryptoProtocol>},
        {Driver::crypto_server, CreateFixed<vpiCryptoServer>},
        {Driver::custom, CreateFixed<vpiCustom>},
        {Driver::dox_server, CreateFixed<vpiDOXServer>},
        {Driver::protocol_insecure, CreateFixed<vpiInsecureProtocol>},
        {Driver::tls_cert_expired, CreateChosen<vpiRisk>},
        {Driver::tls_cert_mismatch, CreateChosen<vpiRisk>},
        {Driver::tls_cert_self_signed, CreateChosen<vpiRisk>},
        {Driver::tls_cert_validity_too_long, CreateChosen<vpiRisk>},
        {Driver::tls_cipher_score, CreateFixed<vpiTLSCipherScore>},
        {Driver::tls_version_score, CreateFixed<vpiTLSVersionScore>},
        {Driver::tor_bridge, CreateChosen<vpiTorNode>},
        {Driver::tor_exit, CreateChosen<vpiTorNode>},
        {Driver::tor_relay, CreateChosen<vpiTorNode>},
        {Driver::vpn_application_business, CreateChosen<vpiVPNApplication>},
        {Driver::vpn_application_consumer, CreateChosen<vpiVPNApplication>},
        {Driver::vpn_protocol, CreateFixed<vpiVPNProtocol>},
        {Driver::vpn_server_consumer, CreateFixed<vpiVPNServer>},
    };
    return table;
}

}  // namespace

CreateFunction FindCreateFunction(Driver driver)
{
    const DriverTable &table = Drivers();
    auto row = table.find(driver);
    return row == table.end() ? nullptr : row->second;
}

}  // namespace vppIndicator
