// The table of flow fields that flow expressions can name.
#include "vd_flow_expr_members.h"

#include <iterator>

namespace vd_flow_expr {

namespace {

template <auto field> Value ReadNumber(const vdFlow &flow)
{
    return Value::Number(flow.*field);
}
template <auto field> Value ReadBool(const vdFlow &flow)
{
    return Value::Boolean(flow.*field);
}
template <auto field> Value ReadString(const vdFlow &flow)
{
    return Value::String(flow.*field);
}
template <auto field> Value ReadAddress(const vdFlow &flow)
{
    return Value::Address(flow.*field, Type::address);
}
template <auto field> Value ReadMAC(const vdFlow &flow)
{
    return Value::Address(flow.*field, Type::mac);
}

// The lower endpoint is the local one unless the host mapped it to the other side.
bool LowerIsLocal(const vdFlow &flow)
{
    return flow.lower_map != 2;
}

const vdAddr &LocalAddr(const vdFlow &flow)
{
    return LowerIsLocal(flow) ? flow.lower_addr : flow.upper_addr;
}
const vdAddr &OtherAddr(const vdFlow &flow)
{
    return LowerIsLocal(flow) ? flow.upper_addr : flow.lower_addr;
}
const vdAddr &LocalMAC(const vdFlow &flow)
{
    return LowerIsLocal(flow) ? flow.lower_mac : flow.upper_mac;
}
const vdAddr &OtherMAC(const vdFlow &flow)
{
    return LowerIsLocal(flow) ? flow.upper_mac : flow.lower_mac;
}

const std::string no_name;

constexpr Member members[] = {
    {"digest", Type::number, ReadNumber<&vdFlow::digest>},
    {"first_seen_at", Type::number, ReadNumber<&vdFlow::first_seen_at>},
    {"last_seen_at", Type::number, ReadNumber<&vdFlow::last_seen_at>},

    {"lower_mac", Type::mac, ReadMAC<&vdFlow::lower_mac>},
    {"upper_mac", Type::mac, ReadMAC<&vdFlow::upper_mac>},
    {"lower_addr", Type::address, ReadAddress<&vdFlow::lower_addr>},
    {"upper_addr", Type::address, ReadAddress<&vdFlow::upper_addr>},
    {"lower_port", Type::number, [](const vdFlow &f) { return Value::Number(f.lower_addr.GetPort()); }},
    {"upper_port", Type::number, [](const vdFlow &f) { return Value::Number(f.upper_addr.GetPort()); }},
    {"local_ip", Type::address, [](const vdFlow &f) { return Value::Address(LocalAddr(f), Type::address); }},
    {"other_ip", Type::address, [](const vdFlow &f) { return Value::Address(OtherAddr(f), Type::address); }},
    {"local_port", Type::number, [](const vdFlow &f) { return Value::Number(LocalAddr(f).GetPort()); }},
    {"other_port", Type::number, [](const vdFlow &f) { return Value::Number(OtherAddr(f).GetPort()); }},
    {"local_mac", Type::mac, [](const vdFlow &f) { return Value::Address(LocalMAC(f), Type::mac); }},
    {"other_mac", Type::mac, [](const vdFlow &f) { return Value::Address(OtherMAC(f), Type::mac); }},
    {"lower_map", Type::number, ReadNumber<&vdFlow::lower_map>},
    {"origin", Type::number, ReadNumber<&vdFlow::origin>},
    {"other_type", Type::number, ReadNumber<&vdFlow::other_type>},
    {"privacy_mask", Type::number, ReadNumber<&vdFlow::privacy_mask>},

    {"ip_version", Type::number, ReadNumber<&vdFlow::ip_version>},
    {"ip_dscp", Type::number, ReadNumber<&vdFlow::ip_dscp>},
    {"ip_protocol", Type::number, ReadNumber<&vdFlow::ip_protocol>},
    {"vlan_id", Type::number, ReadNumber<&vdFlow::vlan_id>},
    {"ip_nat", Type::boolean, ReadBool<&vdFlow::ip_nat>},
    {"dhc_hit", Type::boolean, ReadBool<&vdFlow::dhc_hit>},
    {"fhc_hit", Type::boolean, ReadBool<&vdFlow::fhc_hit>},
    {"soft_dissector", Type::boolean, ReadBool<&vdFlow::soft_dissector>},
    {"app_ip_override", Type::boolean, ReadBool<&vdFlow::app_ip_override>},
    {"app_proto_twins", Type::boolean, ReadBool<&vdFlow::app_proto_twins>},
    {"tunnel_type", Type::number, ReadNumber<&vdFlow::tunnel_type>},

    {"detected_protocol", Type::number, ReadNumber<&vdFlow::detected_protocol>},
    {"master_protocol", Type::number, [](const vdFlow &f) { return Value::Number(f.GetMasterProtocol()); }},
    {"detected_application", Type::number, ReadNumber<&vdFlow::detected_application>},
    {"detected_protocol_name", Type::string, ReadString<&vdFlow::detected_protocol_name>},
    {"detected_application_name", Type::string, ReadString<&vdFlow::detected_application_name>},
    {"detection_guessed", Type::boolean, ReadBool<&vdFlow::detection_guessed>},
    {"detection_updated", Type::boolean, ReadBool<&vdFlow::detection_updated>},
    {"dpi_risk_score", Type::number, ReadNumber<&vdFlow::dpi_risk_score>},
    {"dpi_risk_score_client", Type::number, ReadNumber<&vdFlow::dpi_risk_score_client>},
    {"dpi_risk_score_server", Type::number, ReadNumber<&vdFlow::dpi_risk_score_server>},

    {"dns_host_name", Type::string, ReadString<&vdFlow::dns_host_name>},
    {"host_server_name", Type::string, ReadString<&vdFlow::host_server_name>},
    {"user_agent", Type::string, ReadString<&vdFlow::user_agent>},
    {"http_url", Type::string, ReadString<&vdFlow::http_url>},
    {"dhcp_fingerprint", Type::string, ReadString<&vdFlow::dhcp_fingerprint>},
    {"dhcp_class_ident", Type::string, ReadString<&vdFlow::dhcp_class_ident>},
    {"ssh_client_agent", Type::string, ReadString<&vdFlow::ssh_client_agent>},
    {"ssh_server_agent", Type::string, ReadString<&vdFlow::ssh_server_agent>},
    {"ssl_version", Type::number, ReadNumber<&vdFlow::ssl_version>},
    {"ssl_cipher_suite", Type::number, ReadNumber<&vdFlow::ssl_cipher_suite>},
    {"ssl_encrypted_ch_version", Type::number, ReadNumber<&vdFlow::ssl_encrypted_ch_version>},
    {"ssl_server_cn", Type::string, ReadString<&vdFlow::ssl_server_cn>},
    {"ssl_issuer_dn", Type::string, ReadString<&vdFlow::ssl_issuer_dn>},
    {"ssl_subject_dn", Type::string, ReadString<&vdFlow::ssl_subject_dn>},
    {"ssl_client_ja4", Type::string, ReadString<&vdFlow::ssl_client_ja4>},
    {"mdns_answer", Type::string, ReadString<&vdFlow::mdns_answer>},
    {"stun_mapped", Type::address, ReadAddress<&vdFlow::stun_mapped>},
    {"stun_peer", Type::address, ReadAddress<&vdFlow::stun_peer>},
    {"stun_relayed", Type::address, ReadAddress<&vdFlow::stun_relayed>},
    {"stun_response", Type::address, ReadAddress<&vdFlow::stun_response>},
    {"stun_other", Type::address, ReadAddress<&vdFlow::stun_other>},

    {"total_bytes", Type::number, [](const vdFlow &f) { return Value::Number(f.stats.total_bytes); }},
    {"total_packets", Type::number, [](const vdFlow &f) { return Value::Number(f.stats.total_packets); }},
    {"iface_role", Type::number, [](const vdFlow &f) { return Value::Number(f.iface ? f.iface->role : 0); }},
    {"ifname", Type::string, [](const vdFlow &f) { return Value::String(f.iface ? f.iface->ifname : no_name); }},
    {"flowmap_eligible", Type::boolean, ReadBool<&vdFlow::flowmap_eligible>},
    {"flowmap_excluded", Type::boolean, ReadBool<&vdFlow::flowmap_excluded>},
};

}  // namespace

const Member *FindMember(std::string_view name)
{
    for (const Member &member : members) {
        if (member.name == name)
            return &member;
    }
    return nullptr;
}

}  // namespace vd_flow_expr
