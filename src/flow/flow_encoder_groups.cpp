// The member groups of the flow document: identity, metadata, GTP tunnel and
// counters. Key names and value forms are the wire format of sink payloads
// and cloud lookups.
#include "flow/flow_encoder_groups.h"

#include <arpa/inet.h>

#include <utility>

#include "vd_config.h"

namespace vdFlowEncoding {

// Keys are named after the side: "local_ip", "category.local_network", ...
struct EndpointKeys {
    EndpointKeys(KeyTable &table, const std::string &side)
        : mac(table.Add(side + "_mac")), ip(table.Add(side + "_ip")), port(table.Add(side + "_port")),
          network(table.Add("category", side + "_network")), tunnel_ip(table.Add("gtp", side + "_ip")),
          tunnel_port(table.Add("gtp", side + "_port")), tunnel_teid(table.Add("gtp", side + "_teid")),
          bytes(table.Add(side + "_bytes")), total_bytes(table.Add("total_" + side + "_bytes")),
          packets(table.Add(side + "_packets")), total_packets(table.Add("total_" + side + "_packets")),
          rate(table.Add(side + "_rate"))
    {
    }

    const Key &mac, &ip, &port, &network;
    const Key &tunnel_ip, &tunnel_port, &tunnel_teid;
    const Key &bytes, &total_bytes, &packets, &total_packets, &rate;
};

}  // namespace vdFlowEncoding

namespace {

using vdFlowEncoding::EndpointChoice;
using vdFlowEncoding::EndpointKeys;
using vdFlowEncoding::Key;
using vdFlowEncoding::KeyTable;
using vdFlowEncoding::Members;

// Every key of the document, ranked once: the paths are handed to every
// encoding of every flow.
struct Schema {
    Schema() { table.Rank(); }

    KeyTable table;
    const EndpointKeys local{table, "local"};
    const EndpointKeys other{table, "other"};
    const Key &digest = table.Add("digest");
    const Key &digest_prev = table.Add("digest_prev");
    const Key &last_seen_at = table.Add("last_seen_at");
    const Key &first_seen_at = table.Add("first_seen_at");
    const Key &ip_nat = table.Add("ip_nat");
    const Key &dhc_hit = table.Add("dhc_hit");
    const Key &fhc_hit = table.Add("fhc_hit");
    const Key &soft_dissector = table.Add("soft_dissector");
    const Key &app_ip_override = table.Add("app_ip_override");
    const Key &app_proto_twins = table.Add("app_proto_twins");
    const Key &ip_version = table.Add("ip_version");
    const Key &ip_dscp = table.Add("ip_dscp");
    const Key &ip_protocol = table.Add("ip_protocol");
    const Key &vlan_id = table.Add("vlan_id");
    const Key &other_type = table.Add("other_type");
    const Key &local_origin = table.Add("local_origin");
    const Key &detected_protocol = table.Add("detected_protocol");
    const Key &detected_protocol_name = table.Add("detected_protocol_name");
    const Key &detected_application = table.Add("detected_application");
    const Key &detected_application_name = table.Add("detected_application_name");
    const Key &detection_guessed = table.Add("detection_guessed");
    const Key &detection_updated = table.Add("detection_updated");
    const Key &category_application = table.Add("category", "application");
    const Key &category_protocol = table.Add("category", "protocol");
    const Key &category_domain = table.Add("category", "domain");
    const Key &category_overlay = table.Add("category", "overlay");
    const Key &dns_host_name = table.Add("dns_host_name");
    const Key &host_server_name = table.Add("host_server_name");
    const Key &http_user_agent = table.Add("http", "user_agent");
    const Key &http_url = table.Add("http", "url");
    const Key &dhcp_fingerprint = table.Add("dhcp", "fingerprint");
    const Key &dhcp_class_ident = table.Add("dhcp", "class_ident");
    const Key &ssh_client = table.Add("ssh", "client");
    const Key &ssh_server = table.Add("ssh", "server");
    const Key &ssl_version = table.Add("ssl", "version");
    const Key &ssl_cipher_suite = table.Add("ssl", "cipher_suite");
    const Key &ssl_client_sni = table.Add("ssl", "client_sni");
    const Key &ssl_encrypted_ch_version = table.Add("ssl", "encrypted_ch_version");
    const Key &ssl_server_cn = table.Add("ssl", "server_cn");
    const Key &ssl_issuer_dn = table.Add("ssl", "issuer_dn");
    const Key &ssl_subject_dn = table.Add("ssl", "subject_dn");
    const Key &ssl_client_ja4 = table.Add("ssl", "client_ja4");
    const Key &ssl_fingerprint = table.Add("ssl", "fingerprint");
    const Key &ssl_alpn = table.Add("ssl", "alpn");
    const Key &ssl_alpn_server = table.Add("ssl", "alpn_server");
    const Key &bt_info_hash = table.Add("bt", "info_hash");
    const Key &ssdp_user_agent = table.Add("ssdp", "user_agent");
    const Key &mdns_answer = table.Add("mdns", "answer");
    const Key &stun_mapped = table.Add("stun", "mapped");
    const Key &stun_peer = table.Add("stun", "peer");
    const Key &stun_relayed = table.Add("stun", "relayed");
    const Key &stun_response = table.Add("stun", "response");
    const Key &stun_other = table.Add("stun", "other");
    const Key &risks = table.Add("risks", "risks");
    const Key &dpi_risk_score = table.Add("risks", "dpi_risk_score");
    const Key &dpi_risk_score_client = table.Add("risks", "dpi_risk_score_client");
    const Key &dpi_risk_score_server = table.Add("risks", "dpi_risk_score_server");
    const Key &tags = table.Add("tags");
    const Key &gtp_version = table.Add("gtp", "version");
    const Key &gtp_ip_version = table.Add("gtp", "ip_version");
    const Key &gtp_ip_dscp = table.Add("gtp", "ip_dscp");
    const Key &gtp_other_type = table.Add("gtp", "other_type");
    const Key &total_packets = table.Add("total_packets");
    const Key &total_bytes = table.Add("total_bytes");
    const Key &detection_packets = table.Add("detection_packets");
    const Key &tcp_seq_errors = table.Add("tcp", "seq_errors");
    const Key &tcp_resets = table.Add("tcp", "resets");
    const Key &tcp_retrans = table.Add("tcp", "retrans");
};

const Schema &Path()
{
    static const Schema schema;
    return schema;
}

const EndpointKeys &LocalKeys()
{
    return Path().local;
}

const EndpointKeys &OtherKeys()
{
    return Path().other;
}

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

// Appends value's lowest digits hexadecimal digits, lower case, with leading
// zeros: formatting by hand spares a printf per value.
void AppendHex(std::string &text, uint64_t value, size_t digits)
{
    static constexpr char hex[] = "0123456789abcdef";
    const size_t end = text.size() + digits;
    text.resize(end);
    for (size_t at = end; at > end - digits; value >>= 4)
        text[--at] = hex[value & 0xf];
}

std::string Hex16(uint16_t value)
{
    std::string text = "0x";
    AppendHex(text, value, 4);
    return text;
}

// As the host writes a digest: sixteen digits.
std::string DigestText(uint64_t digest)
{
    std::string text;
    AppendHex(text, digest, 16);
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

void EncodeFlowFlags(const vdFlow &flow, Members &out)
{
    const Schema &path = Path();
    out.Put(path.ip_nat, flow.ip_nat);
    const auto &global_flags = vdGlobalConfig::GetInstance().flags;
    if (global_flags.test(vdGlobalFlags::dhc_enabled))
        out.Put(path.dhc_hit, flow.dhc_hit);
    if (global_flags.test(vdGlobalFlags::fhc_enabled))
        out.Put(path.fhc_hit, flow.fhc_hit);
    out.Put(path.soft_dissector, flow.soft_dissector);
    out.Put(path.app_ip_override, flow.app_ip_override);
    out.Put(path.app_proto_twins, flow.app_proto_twins);
    out.Put(path.ip_version, flow.ip_version);
    out.Put(path.ip_dscp, flow.ip_dscp);
    out.Put(path.ip_protocol, flow.ip_protocol);
    out.Put(path.vlan_id, flow.vlan_id);
    out.Put(path.other_type, OtherTypeName(flow.other_type));
    out.Put(path.local_origin, LocalOrigin(flow));
}

void EncodeEndpoints(const vdFlow &flow, const EndpointChoice &keys, Members &out)
{
    static const std::string lower_mac_mask = "00:52:14:00:00:00", upper_mac_mask = "00:52:ff:00:00:00";
    static const std::string lower_ipv4_mask = "127.255.0.253", upper_ipv4_mask = "127.255.0.254";
    static const std::string lower_ipv6_mask = "fe:80::ffff:7fff:fd", upper_ipv6_mask = "fe:80::ffff:7fff:fe";
    const uint8_t mask = flow.privacy_mask;
    const bool ipv4 = flow.ip_version == 4;

    out.Put(keys.lower->mac, MacText(flow.lower_mac, mask & 0x1, lower_mac_mask));
    out.Put(keys.upper->mac, MacText(flow.upper_mac, mask & 0x2, upper_mac_mask));
    out.Put(keys.lower->ip, IpText(flow.lower_addr, mask & 0x8, ipv4 ? lower_ipv4_mask : lower_ipv6_mask));
    out.Put(keys.upper->ip, IpText(flow.upper_addr, mask & 0x4, ipv4 ? upper_ipv4_mask : upper_ipv6_mask));
    out.Put(keys.lower->port, flow.lower_addr.GetPort(true));
    out.Put(keys.upper->port, flow.upper_addr.GetPort(true));
}

void EncodeDetection(const vdFlow &flow, const EndpointChoice &keys, Members &out)
{
    const Schema &path = Path();
    out.Put(path.detected_protocol, flow.detected_protocol);
    out.Put(path.detected_protocol_name, NameOrUnknown(flow.detected_protocol_name));
    out.Put(path.detected_application, flow.detected_application);
    out.Put(path.detected_application_name, NameOrUnknown(flow.detected_application_name));
    out.Put(path.detection_guessed, flow.detection_guessed);
    out.Put(path.detection_updated, flow.detection_updated);
    out.Put(path.category_application, flow.category.application);
    out.Put(path.category_protocol, flow.category.protocol);
    out.Put(path.category_domain, flow.category.domain);
    out.Put(keys.lower->network, flow.category.lower_network);
    out.Put(keys.upper->network, flow.category.upper_network);
    out.Put(path.category_overlay, flow.category.overlay);
}

void EncodeTLS(const vdFlow &flow, Members &out)
{
    const Schema &path = Path();
    out.Put(path.ssl_version, Hex16(flow.ssl_version));
    out.Put(path.ssl_cipher_suite, Hex16(flow.ssl_cipher_suite));
    if (flow.HasTLSClientSNI())
        out.Put(path.ssl_client_sni, flow.host_server_name);
    if (flow.HasTLSEncryptedCH())
        out.Put(path.ssl_encrypted_ch_version, Hex16(flow.ssl_encrypted_ch_version));
    if (flow.HasTLSServerCN())
        out.Put(path.ssl_server_cn, flow.ssl_server_cn);
    if (flow.HasTLSIssuerDN())
        out.Put(path.ssl_issuer_dn, flow.ssl_issuer_dn);
    if (flow.HasTLSSubjectDN())
        out.Put(path.ssl_subject_dn, flow.ssl_subject_dn);
    if (flow.HasTLSClientJA4())
        out.Put(path.ssl_client_ja4, flow.ssl_client_ja4);
    if (!flow.ssl_cert_fingerprint.empty())
        out.Put(path.ssl_fingerprint, Sha1Text(flow.ssl_cert_fingerprint));
    out.Put(path.ssl_alpn, flow.ssl_alpn);
    out.Put(path.ssl_alpn_server, flow.ssl_alpn_server);
}

void EncodeSTUN(const vdFlow &flow, Members &out)
{
    const Schema &path = Path();
    const std::pair<const vdAddr *, const Key *> addresses[] = {
        {&flow.stun_mapped, &path.stun_mapped},   {&flow.stun_peer, &path.stun_peer},
        {&flow.stun_relayed, &path.stun_relayed}, {&flow.stun_response, &path.stun_response},
        {&flow.stun_other, &path.stun_other},
    };
    for (const auto &[addr, keys] : addresses) {
        if (addr->IsValid())
            out.Put(*keys, addr->GetString(vdAddr::MakeFlags::port));
    }
}

void EncodeProtocolDetails(const vdFlow &flow, Members &out)
{
    const Schema &path = Path();
    out.Put(path.dns_host_name, flow.dns_host_name);
    out.Put(path.host_server_name, flow.host_server_name);
    if (flow.HasHttpUserAgent())
        out.Put(path.http_user_agent, flow.user_agent);
    if (flow.HasHttpURL())
        out.Put(path.http_url, flow.http_url);
    if (flow.HasDhcpFingerprint())
        out.Put(path.dhcp_fingerprint, flow.dhcp_fingerprint);
    if (flow.HasDhcpClassIdent())
        out.Put(path.dhcp_class_ident, flow.dhcp_class_ident);
    if (flow.HasSSHClientAgent())
        out.Put(path.ssh_client, flow.ssh_client_agent);
    if (flow.HasSSHServerAgent())
        out.Put(path.ssh_server, flow.ssh_server_agent);
    if (flow.GetMasterProtocol() == vdProto::TLS || flow.detected_protocol == vdProto::QUIC)
        EncodeTLS(flow, out);
    if (flow.HasBTInfoHash())
        out.Put(path.bt_info_hash, Sha1Text(flow.bt_info_hash));
    if (flow.HasSSDPUserAgent())
        out.Put(path.ssdp_user_agent, flow.user_agent);
    if (flow.HasMDNSDomainName())
        out.Put(path.mdns_answer, flow.mdns_answer);
    if (flow.HasSTUNAddress())
        EncodeSTUN(flow, out);
}

void EncodeRisksAndTags(const vdFlow &flow, Members &out)
{
    const Schema &path = Path();
    if (!flow.risks.empty()) {
        json risks = json::array();
        for (vdRisk::Id id : flow.risks)
            risks.push_back(id);
        out.Put(path.risks, std::move(risks));
    }
    out.Put(path.dpi_risk_score, flow.dpi_risk_score);
    out.Put(path.dpi_risk_score_client, flow.dpi_risk_score_client);
    out.Put(path.dpi_risk_score_server, flow.dpi_risk_score_server);
    out.Put(path.tags, flow.tags);
}

}  // namespace

namespace vdFlowEncoding {

EndpointChoice ChooseEndpointKeys(uint8_t lower_map)
{
    if (lower_map == 2)
        return {&OtherKeys(), &LocalKeys()};
    return {&LocalKeys(), &OtherKeys()};
}

void EncodeIdentity(const vdFlow &flow, Members &out)
{
    const Schema &path = Path();
    // Made as JSON text values at once: a list of texts would be copied again.
    json::array_t history;
    if (flow.digest_prev.empty()) {
        history.emplace_back(DigestText(flow.digest));
    } else {
        history.reserve(flow.digest_prev.size());
        for (uint64_t digest : flow.digest_prev)
            history.emplace_back(DigestText(digest));
    }
    out.Put(path.digest, history.back());
    out.Put(path.digest_prev, json(std::move(history)));
    out.Put(path.last_seen_at, flow.last_seen_at);
}

void EncodeMetadata(const vdFlow &flow, const EndpointChoice &keys, Members &out)
{
    EncodeFlowFlags(flow, out);
    EncodeEndpoints(flow, keys, out);
    EncodeDetection(flow, keys, out);
    EncodeProtocolDetails(flow, out);
    out.Put(Path().first_seen_at, flow.first_seen_at);
    EncodeRisksAndTags(flow, out);
}

void EncodeTunnel(const vdFlow &flow, const EndpointChoice &keys, Members &out)
{
    const Schema &path = Path();
    const vdFlow::GTP &gtp = flow.gtp;

    // The tunnel says which of its endpoints is local; when it does not, its
    // addresses follow the flow's own choice and its TEIDs stay lower-local.
    EndpointChoice addr_keys = keys;
    EndpointChoice teid_keys = {&LocalKeys(), &OtherKeys()};
    if (gtp.lower_map == 1)
        addr_keys = teid_keys;
    else if (gtp.lower_map == 2)
        addr_keys = teid_keys = {&OtherKeys(), &LocalKeys()};

    out.Put(path.gtp_version, gtp.version);
    out.Put(path.gtp_ip_version, gtp.ip_version);
    out.Put(path.gtp_ip_dscp, gtp.ip_dscp);
    out.Put(addr_keys.lower->tunnel_ip, gtp.lower_addr.GetString(vdAddr::MakeFlags::plain));
    out.Put(addr_keys.upper->tunnel_ip, gtp.upper_addr.GetString(vdAddr::MakeFlags::plain));
    out.Put(addr_keys.lower->tunnel_port, gtp.lower_addr.GetPort(true));
    out.Put(addr_keys.upper->tunnel_port, gtp.upper_addr.GetPort(true));
    out.Put(teid_keys.lower->tunnel_teid, static_cast<uint32_t>(ntohl(gtp.lower_teid)));
    out.Put(teid_keys.upper->tunnel_teid, static_cast<uint32_t>(ntohl(gtp.upper_teid)));
    out.Put(path.gtp_other_type, TunnelOtherTypeName(gtp.other_type));
}

void EncodeStats(const vdFlow &flow, const vdFlowStats &stats, const EndpointChoice &keys, Members &out)
{
    const Schema &path = Path();
    out.Put(keys.lower->bytes, stats.lower_bytes);
    out.Put(keys.upper->bytes, stats.upper_bytes);
    out.Put(keys.lower->total_bytes, stats.total_lower_bytes);
    out.Put(keys.upper->total_bytes, stats.total_upper_bytes);
    out.Put(keys.lower->packets, stats.lower_packets);
    out.Put(keys.lower->total_packets, stats.total_lower_packets);
    out.Put(keys.upper->packets, stats.upper_packets);
    out.Put(keys.upper->total_packets, stats.total_upper_packets);
    out.Put(path.total_packets, stats.total_packets);
    out.Put(path.total_bytes, stats.total_bytes);
    out.Put(path.detection_packets, stats.detection_packets);
    out.Put(keys.lower->rate, static_cast<double>(stats.lower_rate));
    out.Put(keys.upper->rate, static_cast<double>(stats.upper_rate));
    if (flow.ip_protocol == IPPROTO_TCP) {
        out.Put(path.tcp_seq_errors, stats.tcp_seq_errors);
        out.Put(path.tcp_resets, stats.tcp_resets);
        out.Put(path.tcp_retrans, stats.tcp_retrans);
    }
}

}  // namespace vdFlowEncoding
