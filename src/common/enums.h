// Enumerations whose values appear by name in the configuration, the intel
// entries, the log lines and the status document (see name_tables.h).
#pragma once

#include <cstdint>

namespace vppIndicator {

enum class Driver : uint8_t {
    invalid = 0,
    category = 1,
    credentials_cleartext = 2,
    crypto_application = 3,
    crypto_protocol = 4,
    crypto_server = 5,
    custom = 6,
    doh_scanner = 7,
    dox_server = 8,
    geo = 9,
    protocol_insecure = 10,
    reputation_domain = 11,
    reputation_ip = 12,
    tls_cert_expired = 13,
    tls_cert_mismatch = 14,
    tls_cert_self_signed = 15,
    tls_cert_validity_too_long = 16,
    tls_cipher_score = 17,
    tls_version_score = 18,
    tor_bridge = 19,
    tor_exit = 20,
    tor_relay = 21,
    vpn_application_business = 22,
    vpn_application_consumer = 23,
    vpn_protocol = 24,
    vpn_server_consumer = 25,
};

enum class Category : uint8_t {
    none = 0,
    cryptocurrency_detection = 1,
    custom = 2,
    encrypted_dns_detection = 3,
    encryption_audit = 4,
    flow_enrichment = 5,
    insecure_protocol = 6,
    reputation = 7,
    tls_certificate_audit = 8,
    tor_detection = 9,
    unencrypted_credentials = 10,
    vpn_detection = 11,
};

}  // namespace vppIndicator

namespace vppDataFeed {

enum class DataSource : uint8_t {
    none = 0,
    velbor_api = 1,
    cloud_intel = 2,
    geo_maxmind = 3,
};

enum class DataType : uint8_t {
    invalid = 0,
    application_list = 1,
    domain_list = 2,
    ip_list = 3,
    ip_port_list = 4,
    risk = 5,
    protocol_list = 6,
    tls_cipher_score_list = 7,
    tls_version_score_list = 8,
};

}  // namespace vppDataFeed

namespace vppCache {

// Flow fields that make an intel-cache key; combined as vdFlags<FlowKey>.
enum class FlowKey : uint32_t {
    none = 0x0,
    local_mac = 0x1,
    other_mac = 0x2,
    local_ip = 0x4,
    other_ip = 0x8,
    local_port = 0x10,
    other_port = 0x20,
    src_mac = 0x40,
    dst_mac = 0x80,
    src_ip = 0x100,
    dst_ip = 0x200,
    src_port = 0x400,
    dst_port = 0x800,
    dns_host_name = 0x1000,
    host_server_name = 0x2000,
};

}  // namespace vppCache
