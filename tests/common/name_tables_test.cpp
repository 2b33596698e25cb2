#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/name_tables.h"

using vppDataFeed::DataSource;
using vppDataFeed::DataType;
using vppIndicator::Category;
using vppIndicator::Driver;

namespace {

// Configuration names by value; the position in each list is the value.
const std::vector<std::string> driver_names = {
    "invalid",
    "category",
    "credentials_cleartext",
    "crypto_application",
    "crypto_protocol",
    "crypto_server",
    "custom",
    "doh_scanner",
    "dox_server",
    "geo",
    "protocol_insecure",
    "reputation_domain",
    "reputation_ip",
    "tls_cert_expired",
    "tls_cert_mismatch",
    "tls_cert_self_signed",
    "tls_cert_validity_too_long",
    "tls_cipher_score",
    "tls_version_score",
    "tor_bridge",
    "tor_exit",
    "tor_relay",
    "vpn_application_business",
    "vpn_application_consumer",
    "vpn_protocol",
    "vpn_server_consumer",
};
const std::vector<uint8_t> driver_categories = {0, 5, 10, 1, 1, 1, 2, 3, 3, 5,  6,  7,  7,
                                                8, 8, 8,  8, 4, 4, 9, 9, 9, 11, 11, 11, 11};
const std::vector<std::string> category_names = {
    "none",
    "cryptocurrency_detection",
    "custom",
    "encrypted_dns_detection",
    "encryption_audit",
    "flow_enrichment",
    "insecure_protocol",
    "reputation",
    "tls_certificate_audit",
    "tor_detection",
    "unencrypted_credentials",
    "vpn_detection",
};
const std::vector<std::string> data_source_names = {"none", "velbor_api", "cloud_intel", "geo_maxmind"};
const std::vector<std::string> data_type_names = {
    "invalid",       "application_list",      "domain_list",
    "ip_list",       "ip_port_list",          "risk",
    "protocol_list", "tls_cipher_score_list", "tls_version_score_list",
};
// Flow keys by bit: "none" is 0, then one bit each.
const std::vector<std::string> flow_key_names = {
    "local_mac", "other_mac", "local_ip", "other_ip", "local_port", "other_port",    "src_mac",
    "dst_mac",   "src_ip",    "dst_ip",   "src_port", "dst_port",   "dns_host_name", "host_server_name",
};

const std::vector<std::pair<unsigned, std::string>> event_names = {
    {1, "flow_stats"}, {2, "flow_new"},   {3, "flow_expiring"}, {4, "flow_expired"},
    {6, "dpi_new"},    {7, "dpi_update"}, {8, "dpi_complete"},
};

TEST(NameTables, EveryListedValueResolvesBothWays)
{
    for (size_t v = 0; v < driver_names.size(); v++) {
        SCOPED_TRACE(driver_names[v]);
        auto driver = static_cast<Driver>(v);
        EXPECT_EQ(vppNames::GetDriverName(driver), driver_names[v]);
        EXPECT_EQ(vppNames::GetDriver(driver_names[v]), driver);
        EXPECT_EQ(vppNames::GetDriverCategory(driver), static_cast<Category>(driver_categories[v]));
    }
    for (size_t v = 0; v < category_names.size(); v++)
        EXPECT_EQ(vppNames::GetCategoryName(static_cast<Category>(v)), category_names[v]);
    for (size_t v = 0; v < data_source_names.size(); v++) {
        EXPECT_EQ(vppNames::GetDataSourceName(static_cast<DataSource>(v)), data_source_names[v]);
        EXPECT_EQ(vppNames::GetDataSource(data_source_names[v]), static_cast<DataSource>(v));
    }
    for (size_t v = 0; v < data_type_names.size(); v++) {
        EXPECT_EQ(vppNames::GetDataTypeName(static_cast<DataType>(v)), data_type_names[v]);
        EXPECT_EQ(vppNames::GetDataType(data_type_names[v]), static_cast<DataType>(v));
    }
    for (const auto &[code, name] : event_names)
        EXPECT_EQ(vppNames::GetEventName(static_cast<vdPluginProcessor::Event>(code)), name);
    EXPECT_EQ(vppNames::FindFlowKey("none"), vppCache::FlowKey::none);
    for (size_t bit = 0; bit < flow_key_names.size(); bit++)
        EXPECT_EQ(vppNames::FindFlowKey(flow_key_names[bit]), static_cast<vppCache::FlowKey>(1u << bit))
            << flow_key_names[bit];
}

TEST(NameTables, MissesAliasAndUnnamedCodes)
{
    struct Case {
        std::string what;
        std::string got;
        std::string expected;
    };
    auto driver = [](const std::string &name) { return std::to_string(int(vppNames::GetDriver(name))); };
    auto event = [](unsigned code) { return vppNames::GetEventName(static_cast<vdPluginProcessor::Event>(code)); };
    const std::vector<Case> cases = {
        {"driver name is case-sensitive", driver("Category"), "0"},
        {"driver name is not trimmed", driver("category "), "0"},
        {"empty driver name", driver(""), "0"},
        {"driver past the table", vppNames::GetDriverName(static_cast<Driver>(26)), "invalid"},
        {"category past the table", vppNames::GetCategoryName(static_cast<Category>(12)), "none"},
        {"data source past the table", vppNames::GetDataSourceName(static_cast<DataSource>(4)), "none"},
        {"empty data source name", std::to_string(int(vppNames::GetDataSource(""))), "0"},
        {"data type past the table", vppNames::GetDataTypeName(static_cast<DataType>(9)), "invalid"},
        {"unknown data type name", std::to_string(int(vppNames::GetDataType("Risk"))), "0"},
        {"dpi_risk is risk", std::to_string(int(vppNames::GetDataType("dpi_risk"))), "5"},
        {"risk keeps its own name", vppNames::GetDataTypeName(DataType::risk), "risk"},
        {"event 0", event(0), "unknown"},
        {"intel_record has no name", event(vdPluginProcessor::intel_record), "unknown"},
        {"periodic_update has no name", event(vdPluginProcessor::periodic_update), "unknown"},
        {"event past the table", event(0xffff), "unknown"},
        {"category of driver 0", std::to_string(int(vppNames::GetDriverCategory(Driver::invalid))), "0"},
        {"category past the table", std::to_string(int(vppNames::GetDriverCategory(static_cast<Driver>(26)))), "0"},
        {"category of driver 255", std::to_string(int(vppNames::GetDriverCategory(static_cast<Driver>(255)))), "0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.got, c.expected) << c.what;

    EXPECT_FALSE(vppNames::FindFlowKey("Local_ip"));
    EXPECT_FALSE(vppNames::FindFlowKey(""));
}

}  // namespace
