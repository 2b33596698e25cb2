#include "common/name_tables.h"

#include <array>
#include <unordered_map>
#include <utility>

#include "vd_common.h"

namespace vppNames {
namespace {

using vppCache::FlowKey;
using vppDataFeed::DataSource;
using vppDataFeed::DataType;
using vppIndicator::Category;
using vppIndicator::Driver;

template <typename E> using NameByValue = std::unordered_map<E, std::string, vdEnumHasher>;
template <typename E> using ValueByName = std::unordered_map<std::string, E>;
template <typename E, size_t N> using Pairs = std::array<std::pair<E, const char *>, N>;

constexpr Pairs<Driver, 26> driver_names = {{
    {Driver::invalid, "invalid"},
    {Driver::category, "category"},
    {Driver::credentials_cleartext, "credentials_cleartext"},
    {Driver::crypto_application, "crypto_application"},
    {Driver::crypto_protocol, "crypto_protocol"},
    {Driver::crypto_server, "crypto_server"},
    {Driver::custom, "custom"},
    {Driver::doh_scanner, "doh_scanner"},
    {Driver::dox_server, "dox_server"},
    {Driver::geo, "geo"},
    {Driver::protocol_insecure, "protocol_insecure"},
    {Driver::reputation_domain, "reputation_domain"},
    {Driver::reputation_ip, "reputation_ip"},
    {Driver::tls_cert_expired, "tls_cert_expired"},
    {Driver::tls_cert_mismatch, "tls_cert_mismatch"},
    {Driver::tls_cert_self_signed, "tls_cert_self_signed"},
    {Driver::tls_cert_validity_too_long, "tls_cert_validity_too_long"},
    {Driver::tls_cipher_score, "tls_cipher_score"},
    {Driver::tls_version_score, "tls_version_score"},
    {Driver::tor_bridge, "tor_bridge"},
    {Driver::tor_exit, "tor_exit"},
    {Driver::tor_relay, "tor_relay"},
    {Driver::vpn_application_business, "vpn_application_business"},
    {Driver::vpn_application_consumer, "vpn_application_consumer"},
    {Driver::vpn_protocol, "vpn_protocol"},
    {Driver::vpn_server_consumer, "vpn_server_consumer"},
}};

// Category of drivers 1 to 25, indexed by driver value minus 1.
constexpr std::array<uint8_t, 25> driver_categories = {5, 10, 1, 1, 1, 2, 3, 3, 5,  6,  7,  7, 8,
                                                       8, 8,  8, 4, 4, 9, 9, 9, 11, 11, 11, 11};

constexpr Pairs<Category, 12> category_names = {{
    {Category::none, "none"},
    {Category::cryptocurrency_detection, "cryptocurrency_detection"},
    {Category::custom, "custom"},
    {Category::encrypted_dns_detection, "encrypted_dns_detection"},
    {Category::encryption_audit, "encryption_audit"},
    {Category::flow_enrichment, "flow_enrichment"},
    {Category::insecure_protocol, "insecure_protocol"},
    {Category::reputation, "reputation"},
    {Category::tls_certificate_audit, "tls_certificate_audit"},
    {Category::tor_detection, "tor_detection"},
    {Category::unencrypted_credentials, "unencrypted_credentials"},
    {Category::vpn_detection, "vpn_detection"},
}};

constexpr Pairs<DataSource, 4> data_source_names = {{
    {DataSource::none, "none"},
    {DataSource::velbor_api, "velbor_api"},
    {DataSource::cloud_intel, "cloud_intel"},
    {DataSource::geo_maxmind, "geo_maxmind"},
}};

constexpr Pairs<DataType, 9> data_type_names = {{
    {DataType::invalid, "invalid"},
    {DataType::application_list, "application_list"},
    {DataType::domain_list, "domain_list"},
    {DataType::ip_list, "ip_list"},
    {DataType::ip_port_list, "ip_port_list"},
    {DataType::risk, "risk"},
    {DataType::protocol_list, "protocol_list"},
    {DataType::tls_cipher_score_list, "tls_cipher_score_list"},
    {DataType::tls_version_score_list, "tls_version_score_list"},
}};

constexpr Pairs<FlowKey, 15> flow_key_names = {{
    {FlowKey::none, "none"},
    {FlowKey::local_mac, "local_mac"},
    {FlowKey::other_mac, "other_mac"},
    {FlowKey::local_ip, "local_ip"},
    {FlowKey::other_ip, "other_ip"},
    {FlowKey::local_port, "local_port"},
    {FlowKey::other_port, "other_port"},
    {FlowKey::src_mac, "src_mac"},
    {FlowKey::dst_mac, "dst_mac"},
    {FlowKey::src_ip, "src_ip"},
    {FlowKey::dst_ip, "dst_ip"},
    {FlowKey::src_port, "src_port"},
    {FlowKey::dst_port, "dst_port"},
    {FlowKey::dns_host_name, "dns_host_name"},
    {FlowKey::host_server_name, "host_server_name"},
}};

constexpr Pairs<vdPluginProcessor::Event, 7> event_names = {{
    {vdPluginProcessor::flow_stats, "flow_stats"},
    {vdPluginProcessor::flow_new, "flow_new"},
    {vdPluginProcessor::flow_expiring, "flow_expiring"},
    {vdPluginProcessor::flow_expired, "flow_expired"},
    {vdPluginProcessor::dpi_new, "dpi_new"},
    {vdPluginProcessor::dpi_update, "dpi_update"},
    {vdPluginProcessor::dpi_complete, "dpi_complete"},
}};

template <typename E, size_t N> NameByValue<E> MakeNameByValue(const Pairs<E, N> &pairs)
{
    NameByValue<E> table;
    for (const auto &[value, name] : pairs)
        table.emplace(value, name);
    return table;
}

template <typename E, size_t N> ValueByName<E> MakeValueByName(const Pairs<E, N> &pairs)
{
    ValueByName<E> table;
    for (const auto &[value, name] : pairs)
        table.emplace(name, value);
    return table;
}

template <typename E> std::string NameOf(const NameByValue<E> &table, E value, const char *miss)
{
    auto it = table.find(value);
    return it != table.end() ? it->second : std::string(miss);
}

template <typename E> E ValueOf(const ValueByName<E> &table, const std::string &name)
{
    auto it = table.find(name);
    return it != table.end() ? it->second : E{};
}

// Built on first use (thread-safe) so that no other static initialiser can
// see them half-built; read-only afterwards.
const NameByValue<Driver> &DriverNames()
{
    static const auto table = MakeNameByValue(driver_names);
    return table;
}

const ValueByName<Driver> &DriversByName()
{
    static const auto table = MakeValueByName(driver_names);
    return table;
}

const NameByValue<Category> &CategoryNames()
{
    static const auto table = MakeNameByValue(category_names);
    return table;
}

const NameByValue<DataSource> &DataSourceNames()
{
    static const auto table = MakeNameByValue(data_source_names);
    return table;
}

const ValueByName<DataSource> &DataSourcesByName()
{
    static const auto table = MakeValueByName(data_source_names);
    return table;
}

const NameByValue<DataType> &DataTypeNames()
{
    static const auto table = MakeNameByValue(data_type_names);
    return table;
}

const ValueByName<DataType> &DataTypesByName()
{
    static const auto table = [] {
        auto names = MakeValueByName(data_type_names);
        names.emplace("dpi_risk", DataType::risk);
        return names;
    }();
    return table;
}

const ValueByName<FlowKey> &FlowKeysByName()
{
    static const auto table = MakeValueByName(flow_key_names);
    return table;
}

const NameByValue<vdPluginProcessor::Event> &EventNames()
{
    static const auto table = MakeNameByValue(event_names);
    return table;
}

}  // namespace

std::string GetDriverName(Driver driver)
{
    return NameOf(DriverNames(), driver, "invalid");
}

Driver GetDriver(const std::string &name)
{
    return ValueOf(DriversByName(), name);
}

Category GetDriverCategory(Driver driver)
{
    auto value = static_cast<size_t>(driver);
    if (value == 0 || value > driver_categories.size())
        return Category::none;
    return static_cast<Category>(driver_categories[value - 1]);
}

std::string GetCategoryName(Category category)
{
    return NameOf(CategoryNames(), category, "none");
}

std::string GetDataSourceName(DataSource source)
{
    return NameOf(DataSourceNames(), source, "none");
}

DataSource GetDataSource(const std::string &name)
{
    return ValueOf(DataSourcesByName(), name);
}

std::string GetDataTypeName(DataType type)
{
    return NameOf(DataTypeNames(), type, "invalid");
}

DataType GetDataType(const std::string &name)
{
    return ValueOf(DataTypesByName(), name);
}

std::string GetEventName(vdPluginProcessor::Event event)
{
    return NameOf(EventNames(), event, "unknown");
}

std::optional<FlowKey> FindFlowKey(const std::string &name)
{
    auto it = FlowKeysByName().find(name);
    if (it == FlowKeysByName().end())
        return std::nullopt;
    return it->second;
}

}  // namespace vppNames
