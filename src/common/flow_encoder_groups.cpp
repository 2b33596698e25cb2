// The member groups of the flow document: identity, metadata, GTP tunnel and
// counters. Key names and value forms are the wire format of sink payloads
// and cloud lookups.
#include "common/flow_encoder_groups.h"

#include <arpa/inet.h>

#include <cstdio>

#include "vd_config.h"

namespace vdFlowEncoding {

using Keys = vdSerializer::Keys;

struct EndpointKeys {
    Keys mac, ip, port, network;
    Keys tunnel_ip, tunnel_port, tunnel_teid;
    Keys bytes, total_bytes, packets, total_packets, rate;
};

}  // namespace vdFlowEncoding

namespace {

using vdFlowEncoding::EndpointChoice;
using vdFlowEncoding::EndpointKeys;
using vdFlowEncoding::Keys;

// Built once: the paths are handed to every serialize call of every flow.
const EndpointKeys &LocalKeys()
{
    static const EndpointKeys keys{
        {"local_mac"},         {"local_ip"},          {"local_port"},          {"category", "local_network"},
        {"gtp", "local_ip"},   {"gtp", "local_port"}, {"gtp", "local_teid"},   {"local_bytes"},
        {"total_local_bytes"}, {"local_packets"},     {"total_local_packets"}, {"local_rate"},
    };
    return keys;
}

const EndpointKeys &OtherKeys()
{
    static const EndpointKeys keys{
        {"other_mac"},         {"other_ip"},          {"other_port"},          {"category", "other_network"},
        {"gtp", "other_ip"},   {"gtp", "other_port"}, {"gtp", "other_teid"},   {"other_bytes"},
        {"total_other_bytes"}, {"other_packets"},     {"total_other_packets"}, {"other_rate"},
    };
    return keys;
}

struct Paths {
    Keys digest{"digest"}, digest_prev{"digest_prev"}, last_seen_at{"last_seen_at"}, first_seen_at{"first_seen_at"};
    Keys ip_nat{"ip_nat"}, dhc_hit{"dhc_hit"}, fhc_hit{"fhc_hit"}, soft_dissector{"soft_dissector"};
    Keys app_ip_override{"app_ip_override"}, app_proto_twins{"app_proto_twins"};
    Keys ip_version{"ip_version"}, ip_dscp{"ip_dscp"}, ip_protocol{"ip_protocol"}, vlan_id{"vlan_id"};
    Keys other_type{"other_type"}, local_origin{"local_origin"};
    Keys detected_protocol{"detected_protocol"}, detected_protocol_name{"detected_protocol_name"};
    Keys detected_application{"detected_application"}, detected_application_name{"detected_application_name"};
    Keys detection_guessed{"detection_guessed"}, detection_updated{"detection_updated"};
    Keys category_application{"category", "application"}, category_protocol{"category", "protocol"};
    Keys category_domain{"category", "domain"}, category_overlay{"category", "overlay"};
    Keys dns_host_name{"dns_host_name"}, host_server_name{"host_server_name"};
    Keys http_user_agent{"http", "user_agent"}, http_url{"http", "url"};
    Keys dhcp_fingerprint{"dhcp", "fingerprint"}, dhcp_class_ident{"dhcp", "class_ident"};
    Keys ssh_client{"ssh", "client"}, ssh_server{"ssh", "server"};
    Keys ssl_version{"ssl", "version"}, ssl_cipher_suite{"ssl", "cipher_suite"}, ssl_client_sni{"ssl", "client_sni"};
    Keys ssl_encrypted_ch_version{"ssl", "encrypted_ch_version"}, ssl_server_cn{"ssl", "server_cn"};
    Keys ssl_issuer_dn{"ssl", "issuer_dn"}, ssl_subject_dn{"ssl", "subject_dn"}, ssl_client_ja4{"ssl", "client_ja4"};
    Keys ssl_fingerprint{"ssl", "fingerprint"}, ssl_alpn{"ssl", "alpn"}, ssl_alpn_server{"ssl", "alpn_server"};
    Keys bt_info_hash{"bt", "info_hash"}, ssdp_user_agent{"ssdp", "user_agent"}, mdns_answer{"mdns", "answer"};
    Keys stun_mapped{"stun", "mapped"}, stun_peer{"stun", "peer"}, stun_relayed{"stun", "relayed"};
    Keys stun_response{"stun", "response"}, stun_other{"stun", "other"};
    Keys risks{"risks", "risks"}, dpi_risk_score{"risks", "dpi_risk_score"};
    Keys dpi_risk_score_client{"risks", "dpi_risk_score_client"};
    Keys dpi_risk_score_server{"risks", "dpi_risk_score_server"};
    Keys tags{"tags"};
    Keys gtp_version{"gtp", "version"}, gtp_ip_version{"gtp", "ip_version"}, gtp_ip_dscp{"gtp", "ip_dscp"};
    Keys gtp_other_type{"gtp", "other_type"};
    Keys total_packets{"total_packets"}, total_bytes{"total_bytes"}, detection_packets{"detection_packets"};
    Keys tcp_seq_errors{"tcp", "seq_errors"}, tcp_resets{"tcp", "resets"}, tcp_retrans{"tcp", "retrans"};
};

const Paths &Path()
{
    static const Paths paths;
    return paths;
}

const std::string no_separator;

const char *OtherTypeName(uint8_t other_type)
{
    switch (other_type) {
    case vdFlow::other_unsupported:
        return "unsupported";
    case vdFlow::other_local:
        return "local";
    case vdFlow::other_multicast:
        return "multicast";
    case vdFlow::other_broadcast:
        return "broadcast";
    case vdFlow::other_remote:
        return "remote";
    case vdFlow::other_error:
        return "error";
    default:
        return "unknown";
    }
}

// The tunnel knows fewer kinds of other side than the flow itself.
const char *TunnelOtherTypeName(uint8_t other_type)
{
    switch (other_type) {
    case vdFlow::other_local:
        return "local";
    case vdFlow::other_remote:
        return "remote";
    case vdFlow::other_error:
        return "error";
    default:
        return "unsupported";
    }
}

std::string Hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04hx", value);
    return text;
}

std::string Sha1Text(const std::vector<uint8_t> &bytes)
{
    std::string text;
    vd_sha1_to_string(bytes, text);
    return text;
}

std::string NameOrUnknown(const std::string &name)
{
    return name.empty() ? std::string("Unknown") : name;
}

bool LocalOrigin(const vdFlow &flow)
{
    const bool lower_is_local = flow.lower_map != 2;
    return flow.origin == 2 ? !lower_is_local : lower_is_local;
}

// The privacy bit wins over an absent address.
const std::string &MacText(const vdAddr &mac, bool masked, const std::string &placeholder)
{
    static const std::string no_address = "00:00:00:00:00:00";
    if (masked)
        return placeholder;
    if (!mac.IsValid())
        return no_address;
    return mac.GetString(vdAddr::MakeFlags::plain);
}

const std::string &IpText(const vdAddr &addr, bool masked, const std::string &placeholder)
{
    return masked ? placeholder : addr.GetString(vdAddr::MakeFlags::plain);
}

void EncodeFlowFlags(const vdFlow &flow, json &out)
{
    const Paths &path = Path();
    flow.serialize(out, path.ip_nat, flow.ip_nat);
    const auto &global_flags = vdGlobalConfig::GetInstance().flags;
    if (global_flags.test(vdGlobalFlags::dhc_enabled))
        flow.serialize(out, path.dhc_hit, flow.dhc_hit);
    if (global_flags.test(vdGlobalFlags::fhc_enabled))
        flow.serialize(out, path.fhc_hit, flow.fhc_hit);
    flow.serialize(out, path.soft_dissector, flow.soft_dissector);
    flow.serialize(out, path.app_ip_override, flow.app_ip_override);
    flow.serialize(out, path.app_proto_twins, flow.app_proto_twins);
    flow.serialize(out, path.ip_version, flow.ip_version);
    flow.serialize(out, path.ip_dscp, flow.ip_dscp);
    flow.serialize(out, path.ip_protocol, flow.ip_protocol);
    flow.serialize(out, path.vlan_id, flow.vlan_id);
    flow.serialize(out, path.other_type, OtherTypeName(flow.other_type));
    flow.serialize(out, path.local_origin, LocalOrigin(flow));
}

void EncodeEndpoints(const vdFlow &flow, const EndpointChoice &keys, json &out)
{
    static const std::string lower_mac_mask = "00:52:14:00:00:00", upper_mac_mask = "00:52:ff:00:00:00";
    static const std::string lower_ipv4_mask = "127.255.0.253", upper_ipv4_mask = "127.255.0.254";
    static const std::string lower_ipv6_mask = "fe:80::ffff:7fff:fd", upper_ipv6_mask = "fe:80::ffff:7fff:fe";
    const uint8_t mask = flow.privacy_mask;
    const bool ipv4 = flow.ip_version == 4;

    flow.serialize(out, keys.lower->mac, MacText(flow.lower_mac, mask & 0x1, lower_mac_mask));
    flow.serialize(out, keys.upper->mac, MacText(flow.upper_mac, mask & 0x2, upper_mac_mask));
    flow.serialize(out, keys.lower->ip, IpText(flow.lower_addr, mask & 0x8, ipv4 ? lower_ipv4_mask : lower_ipv6_mask));
    flow.serialize(out, keys.upper->ip, IpText(flow.upper_addr, mask & 0x4, ipv4 ? upper_ipv4_mask : upper_ipv6_mask));
    flow.serialize(out, keys.lower->port, flow.lower_addr.GetPort(true));
    flow.serialize(out, keys.upper->port, flow.upper_addr.GetPort(true));
}

void EncodeDetection(const vdFlow &flow, const EndpointChoice &keys, json &out)
{
    const Paths &path = Path();
    flow.serialize(out, path.detected_protocol, flow.detected_protocol);
    flow.serialize(out, path.detected_protocol_name, NameOrUnknown(flow.detected_protocol_name));
    flow.serialize(out, path.detected_application, flow.detected_application);
    flow.serialize(out, path.detected_application_name, NameOrUnknown(flow.detected_application_name));
    flow.serialize(out, path.detection_guessed, flow.detection_guessed);
    flow.serialize(out, path.detection_updated, flow.detection_updated);
    flow.serialize(out, path.category_application, flow.category.application);
    flow.serialize(out, path.category_protocol, flow.category.protocol);
    flow.serialize(out, path.category_domain, flow.category.domain);
    flow.serialize(out, keys.lower->network, flow.category.lower_network);
    flow.serialize(out, keys.upper->network, flow.category.upper_network);
    flow.serialize(out, path.category_overlay, flow.category.overlay);
}

void EncodeTLS(const vdFlow &flow, json &out)
{
    const Paths &path = Path();
    flow.serialize(out, path.ssl_version, Hex16(flow.ssl_version));
    flow.serialize(out, path.ssl_cipher_suite, Hex16(flow.ssl_cipher_suite));
    if (flow.HasTLSClientSNI())
        flow.serialize(out, path.ssl_client_sni, flow.host_server_name);
    if (flow.HasTLSEncryptedCH())
        flow.serialize(out, path.ssl_encrypted_ch_version, Hex16(flow.ssl_encrypted_ch_version));
    if (flow.HasTLSServerCN())
        flow.serialize(out, path.ssl_server_cn, flow.ssl_server_cn);
    if (flow.HasTLSIssuerDN())
        flow.serialize(out, path.ssl_issuer_dn, flow.ssl_issuer_dn);
    if (flow.HasTLSSubjectDN())
        flow.serialize(out, path.ssl_subject_dn, flow.ssl_subject_dn);
    if (flow.HasTLSClientJA4())
        flow.serialize(out, path.ssl_client_ja4, flow.ssl_client_ja4);
    if (!flow.ssl_cert_fingerprint.empty())
        flow.serialize(out, path.ssl_fingerprint, Sha1Text(flow.ssl_cert_fingerprint));
    flow.serialize(out, path.ssl_alpn, flow.ssl_alpn, no_separator);
    flow.serialize(out, path.ssl_alpn_server, flow.ssl_alpn_server, no_separator);
}

void EncodeSTUN(const vdFlow &flow, json &out)
{
    const Paths &path = Path();
    const std::pair<const vdAddr *, const Keys *> addresses[] = {
        {&flow.stun_mapped, &path.stun_mapped},   {&flow.stun_peer, &path.stun_peer},
        {&flow.stun_relayed, &path.stun_relayed}, {&flow.stun_response, &path.stun_response},
        {&flow.stun_other, &path.stun_other},
    };
    for (const auto &[addr, keys] : addresses) {
        if (addr->IsValid())
            flow.serialize(out, *keys, addr->GetString(vdAddr::MakeFlags::port));
    }
}

void EncodeProtocolDetails(const vdFlow &flow, json &out)
{
    const Paths &path = Path();
    flow.serialize(out, path.dns_host_name, flow.dns_host_name);
    flow.serialize(out, path.host_server_name, flow.host_server_name);
    if (flow.HasHttpUserAgent())
        flow.serialize(out, path.http_user_agent, flow.user_agent);
    if (flow.HasHttpURL())
        flow.serialize(out, path.http_url, flow.http_url);
    if (flow.HasDhcpFingerprint())
        flow.serialize(out, path.dhcp_fingerprint, flow.dhcp_fingerprint);
    if (flow.HasDhcpClassIdent())
        flow.serialize(out, path.dhcp_class_ident, flow.dhcp_class_ident);
    if (flow.HasSSHClientAgent())
        flow.serialize(out, path.ssh_client, flow.ssh_client_agent);
    if (flow.HasSSHServerAgent())
        flow.serialize(out, path.ssh_server, flow.ssh_server_agent);
    if (flow.GetMasterProtocol() == vdProto::TLS || flow.detected_protocol == vdProto::QUIC)
        EncodeTLS(flow, out);
    if (flow.HasBTInfoHash())
        flow.serialize(out, path.bt_info_hash, Sha1Text(flow.bt_info_hash));
    if (flow.HasSSDPUserAgent())
        flow.serialize(out, path.ssdp_user_agent, flow.user_agent);
    if (flow.HasMDNSDomainName())
        flow.serialize(out, path.mdns_answer, flow.mdns_answer);
    if (flow.HasSTUNAddress())
        EncodeSTUN(flow, out);
}

void EncodeRisksAndTags(const vdFlow &flow, json &out)
{
    const Paths &path = Path();
    if (!flow.risks.empty()) {
        json risks = json::array();
        for (vdRisk::Id id : flow.risks)
            risks.push_back(id);
        flow.serialize(out, path.risks, risks);
    }
    flow.serialize(out, path.dpi_risk_score, flow.dpi_risk_score);
    flow.serialize(out, path.dpi_risk_score_client, flow.dpi_risk_score_client);
    flow.serialize(out, path.dpi_risk_score_server, flow.dpi_risk_score_server);
    if (!flow.tags.empty())
        flow.serialize(out, path.tags, std::vector<std::string>(flow.tags.begin(), flow.tags.end()), no_separator);
}

}  // namespace

namespace vdFlowEncoding {

EndpointChoice ChooseEndpointKeys(uint8_t lower_map)
{
    if (lower_map == 2)
        return {&OtherKeys(), &LocalKeys()};
    return {&LocalKeys(), &OtherKeys()};
}

void EncodeIdentity(const vdFlow &flow, json &out)
{
    const Paths &path = Path();
    std::vector<std::string> history;
    if (flow.digest_prev.empty()) {
        history.push_back(vd_xxh64_to_string(flow.digest));
    } else {
        history.reserve(flow.digest_prev.size());
        for (uint64_t digest : flow.digest_prev)
            history.push_back(vd_xxh64_to_string(digest));
    }
    flow.serialize(out, path.digest, history.back());
    flow.serialize(out, path.digest_prev, history, no_separator);
    flow.serialize(out, path.last_seen_at, flow.last_seen_at);
}

void EncodeMetadata(const vdFlow &flow, const EndpointChoice &keys, json &out)
{
    EncodeFlowFlags(flow, out);
    EncodeEndpoints(flow, keys, out);
    EncodeDetection(flow, keys, out);
    EncodeProtocolDetails(flow, out);
    flow.serialize(out, Path().first_seen_at, flow.first_seen_at);
    EncodeRisksAndTags(flow, out);
}

void EncodeTunnel(const vdFlow &flow, const EndpointChoice &keys, json &out)
{
    const Paths &path = Path();
    const vdFlow::GTP &gtp = flow.gtp;

    // The tunnel says which of its endpoints is local; when it does not, its
    // addresses follow the flow's own choice and its TEIDs stay lower-local.
    EndpointChoice addr_keys = keys;
    EndpointChoice teid_keys = {&LocalKeys(), &OtherKeys()};
    if (gtp.lower_map == 1)
        addr_keys = teid_keys;
    else if (gtp.lower_map == 2)
        addr_keys = teid_keys = {&OtherKeys(), &LocalKeys()};

    flow.serialize(out, path.gtp_version, gtp.version);
    flow.serialize(out, path.gtp_ip_version, gtp.ip_version);
    flow.serialize(out, path.gtp_ip_dscp, gtp.ip_dscp);
    flow.serialize(out, addr_keys.lower->tunnel_ip, gtp.lower_addr.GetString(vdAddr::MakeFlags::plain));
    flow.serialize(out, addr_keys.upper->tunnel_ip, gtp.upper_addr.GetString(vdAddr::MakeFlags::plain));
    flow.serialize(out, addr_keys.lower->tunnel_port, gtp.lower_addr.GetPort(true));
    flow.serialize(out, addr_keys.upper->tunnel_port, gtp.upper_addr.GetPort(true));
    flow.serialize(out, teid_keys.lower->tunnel_teid, static_cast<uint32_t>(ntohl(gtp.lower_teid)));
    flow.serialize(out, teid_keys.upper->tunnel_teid, static_cast<uint32_t>(ntohl(gtp.upper_teid)));
    flow.serialize(out, path.gtp_other_type, TunnelOtherTypeName(gtp.other_type));
}

void EncodeStats(const vdFlow &flow, const vdFlowStats &stats, const EndpointChoice &keys, json &out)
{
    const Paths &path = Path();
    flow.serialize(out, keys.lower->bytes, stats.lower_bytes);
    flow.serialize(out, keys.upper->bytes, stats.upper_bytes);
    flow.serialize(out, keys.lower->total_bytes, stats.total_lower_bytes);
    flow.serialize(out, keys.upper->total_bytes, stats.total_upper_bytes);
    flow.serialize(out, keys.lower->packets, stats.lower_packets);
    flow.serialize(out, keys.lower->total_packets, stats.total_lower_packets);
    flow.serialize(out, keys.upper->packets, stats.upper_packets);
    flow.serialize(out, keys.upper->total_packets, stats.total_upper_packets);
    flow.serialize(out, path.total_packets, stats.total_packets);
    flow.serialize(out, path.total_bytes, stats.total_bytes);
    flow.serialize(out, path.detection_packets, stats.detection_packets);
    flow.serialize(out, keys.lower->rate, static_cast<double>(stats.lower_rate));
    flow.serialize(out, keys.upper->rate, static_cast<double>(stats.upper_rate));
    if (flow.ip_protocol == IPPROTO_TCP) {
        flow.serialize(out, path.tcp_seq_errors, stats.tcp_seq_errors);
        flow.serialize(out, path.tcp_resets, stats.tcp_resets);
        flow.serialize(out, path.tcp_retrans, stats.tcp_retrans);
    }
}

}  // namespace vdFlowEncoding
