#include "indicators/driver_registry.h"

#include <unordered_map>

#include "indicators/drivers/category.h"
#include "indicators/drivers/crypto.h"
#include "indicators/drivers/custom.h"
#include "indicators/drivers/doh/prober.h"
#include "indicators/drivers/dox_server.h"
#include "indicators/drivers/geo.h"
#include "indicators/drivers/insecure_protocol.h"
#include "indicators/drivers/reputation.h"
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

template <class T>
std::shared_ptr<Base> CreateAnswerLookup(const std::shared_ptr<vppEventQueue::Queue> &queue, Driver,
                                         const std::string &tag, unsigned ordinal, const json &conf,
                                         const json &defaults)
{
    return vpiCreateAnswerLookup<T>(queue, tag, ordinal, conf, defaults);
}

template <class T>
std::shared_ptr<Base> CreateChosenAnswerLookup(const std::shared_ptr<vppEventQueue::Queue> &queue, Driver driver,
                                               const std::string &tag, unsigned ordinal, const json &conf,
                                               const json &defaults)
{
    return vpiCreateAnswerLookup<T>(queue, tag, ordinal, conf, defaults, driver);
}

using DriverTable = std::unordered_map<Driver, DriverRow, vdEnumHasher>;

constexpr bool needs_feeds = true;
constexpr bool own_data = false;

// Custom indicators judge the flow alone and the encrypted-DNS prober probes
// servers itself; every other driver asks feeds.
const DriverTable &Drivers()
{
    static const DriverTable table = {
        {Driver::category, {CreateAnswerLookup<vpiCategory>, needs_feeds}},
        {Driver::credentials_cleartext, {CreateChosen<vpiRisk>, needs_feeds}},
        {Driver::crypto_application, {CreateFixed<vpiCryptoApplication>, needs_feeds}},
        {Driver::crypto_protocol, {CreateFixed<vpiCryptoProtocol>, needs_feeds}},
        {Driver::crypto_server, {CreateFixed<vpiCryptoServer>, needs_feeds}},
        {Driver::custom, {CreateFixed<vpiCustom>, own_data}},
        {Driver::doh_scanner, {CreateFixed<vpiDOHScanner>, own_data}},
        {Driver::dox_server, {CreateFixed<vpiDOXServer>, needs_feeds}},
        {Driver::geo, {CreateAnswerLookup<vpiGeo>, needs_feeds}},
        {Driver::protocol_insecure, {CreateFixed<vpiInsecureProtocol>, needs_feeds}},
        {Driver::reputation_domain, {CreateChosenAnswerLookup<vpiReputation>, needs_feeds}},
        {Driver::reputation_ip, {CreateChosenAnswerLookup<vpiReputation>, needs_feeds}},
        {Driver::tls_cert_expired, {CreateChosen<vpiRisk>, needs_feeds}},
        {Driver::tls_cert_mismatch, {CreateChosen<vpiRisk>, needs_feeds}},
        {Driver::tls_cert_self_signed, {CreateChosen<vpiRisk>, needs_feeds}},
        {Driver::tls_cert_validity_too_long, {CreateChosen<vpiRisk>, needs_feeds}},
        {Driver::tls_cipher_score, {CreateFixed<vpiTLSCipherScore>, needs_feeds}},
        {Driver::tls_version_score, {CreateFixed<vpiTLSVersionScore>, needs_feeds}},
        {Driver::tor_bridge, {CreateChosen<vpiTorNode>, needs_feeds}},
        {Driver::tor_exit, {CreateChosen<vpiTorNode>, needs_feeds}},
        {Driver::tor_relay, {CreateChosen<vpiTorNode>, needs_feeds}},
        {Driver::vpn_application_business, {CreateChosen<vpiVPNApplication>, needs_feeds}},
        {Driver::vpn_application_consumer, {CreateChosen<vpiVPNApplication>, needs_feeds}},
        {Driver::vpn_protocol, {CreateFixed<vpiVPNProtocol>, needs_feeds}},
        {Driver::vpn_server_consumer, {CreateFixed<vpiVPNServer>, needs_feeds}},
    };
    return table;
}

}  // namespace

const DriverRow *FindDriver(Driver driver)
{
    const DriverTable &table = Drivers();
    auto row = table.find(driver);
    return row == table.end() ? nullptr : &row->second;
}

CreateFunction FindCreateFunction(Driver driver)
{
    const DriverRow *row = FindDriver(driver);
    return row == nullptr ? nullptr : row->create;
}

bool NeedsDataFeeds(Driver driver)
{
    const DriverRow *row = FindDriver(driver);
    return row == nullptr || row->needs_data_feeds;
}

}  // namespace vppIndicator
