// The table of flow fields that flow expressions can name.
#include "vd_flow_expr_members.h"

namespace vd_flow_expr {

namespace {

constexpr Member U8(std::string_view name, uint8_t vdFlow::*field)
{
    Member member{name, Type::number, {}};
    member.field.source = Source::u8_field;
    member.field.u8 = field;
    return member;
}
constexpr Member U16(std::string_view name, uint16_t vdFlow::*field)
{
    Member member{name, Type::number, {}};
    member.field.source = Source::u16_field;
    member.field.u16 = field;
    return member;
}
constexpr Member U32(std::string_view name, uint32_t vdFlow::*field)
{
    Member member{name, Type::number, {}};
    member.field.source = Source::u32_field;
    member.field.u32 = field;
    return member;
}
constexpr Member U64(std::string_view name, uint64_t vdFlow::*field)
{
    Member member{name, Type::number, {}};
    member.field.source = Source::u64_field;
    member.field.u64 = field;
    return member;
}
constexpr Member Bool(std::string_view name, bool vdFlow::*field)
{
    Member member{name, Type::boolean, {}};
    member.field.source = Source::bool_field;
    member.field.boolean = field;
    return member;
}
constexpr Member String(std::string_view name, std::string vdFlow::*field)
{
    Member member{name, Type::string, {}};
    member.field.source = Source::string_field;
    member.field.string = field;
    return member;
}
// type: Type::address or Type::mac. Source::address or Source::port.
constexpr Member Pair(std::string_view name, Type type, Source source, vdAddr vdFlow::*first,
                      vdAddr vdFlow::*second)
{
    Member member{name, type, {}};
    member.field.source = source;
    member.field.pair = {first, second};
    return member;
}
constexpr Member Address(std::string_view name, Type type, vdAddr vdFlow::*field)
{
    return Pair(name, type, Source::address, field, field);
}
constexpr Member Port(std::string_view name, vdAddr vdFlow::*first, vdAddr vdFlow::*second)
{
    return Pair(name, Type::number, Source::port, first, second);
}
constexpr Member Computed(std::string_view name, Type type, Source source)
{
    Member member{name, type, {}};
    member.field.source = source;
    return member;
}

// local_* is the lower endpoint and other_* the upper one, unless the host
// mapped the lower endpoint to the other side (lower_map 2).
constexpr Member members[] = {
    U64("digest", &vdFlow::digest),
    U64("first_seen_at", &vdFlow::first_seen_at),
    U64("last_seen_at", &vdFlow::last_seen_at),

    Address("lower_mac", Type::mac, &vdFlow::lower_mac),
    Address("upper_mac", Type::mac, &vdFlow::upper_mac),
    Address("lower_addr", Type::address, &vdFlow::lower_addr),
    Address("upper_addr", Type::address, &vdFlow::upper_addr),
    Port("lower_port", &vdFlow::lower_addr, &vdFlow::lower_addr),
    Port("upper_port", &vdFlow::upper_addr, &vdFlow::upper_addr),
    Pair("local_ip", Type::address, Source::address, &vdFlow::lower_addr, &vdFlow::upper_addr),
    Pair("other_ip", Type::address, Source::address, &vdFlow::upper_addr, &vdFlow::lower_addr),
    Port("local_port", &vdFlow::lower_addr, &vdFlow::upper_addr),
    Port("other_port", &vdFlow::upper_addr, &vdFlow::lower_addr),
    Pair("local_mac", Type::mac, Source::address, &vdFlow::lower_mac, &vdFlow::upper_mac),
    Pair("other_mac", Type::mac, Source::address, &vdFlow::upper_mac, &vdFlow::lower_mac),
    U8("lower_map", &vdFlow::lower_map),
    U8("origin", &vdFlow::origin),
    U8("other_type", &vdFlow::other_type),
    U8("privacy_mask", &vdFlow::privacy_mask),

    U8("ip_version", &vdFlow::ip_version),
    U8("ip_dscp", &vdFlow::ip_dscp),
    U8("ip_protocol", &vdFlow::ip_protocol),
    U16("vlan_id", &vdFlow::vlan_id),
    Bool("ip_nat", &vdFlow::ip_nat),
    Bool("dhc_hit", &vdFlow::dhc_hit),
    Bool("fhc_hit", &vdFlow::fhc_hit),
    Bool("soft_dissector", &vdFlow::soft_dissector),
    Bool("app_ip_override", &vdFlow::app_ip_override),
    Bool("app_proto_twins", &vdFlow::app_proto_twins),
    U8("tunnel_type", &vdFlow::tunnel_type),

    U32("detected_protocol", &vdFlow::detected_protocol),
    Computed("master_protocol", Type::number, Source::master_protocol),
    U32("detected_application", &vdFlow::detected_application),
    String("detected_protocol_name", &vdFlow::detected_protocol_name),
    String("detected_application_name", &vdFlow::detected_application_name),
    Bool("detection_guessed", &vdFlow::detection_guessed),
    Bool("detection_updated", &vdFlow::detection_updated),
    U16("dpi_risk_score", &vdFlow::dpi_risk_score),
    U16("dpi_risk_score_client", &vdFlow::dpi_risk_score_client),
    U16("dpi_risk_score_server", &vdFlow::dpi_risk_score_server),

    String("dns_host_name", &vdFlow::dns_host_name),
    String("host_server_name", &vdFlow::host_server_name),
    String("user_agent", &vdFlow::user_agent),
    String("http_url", &vdFlow::http_url),
    String("dhcp_fingerprint", &vdFlow::dhcp_fingerprint),
    String("dhcp_class_ident", &vdFlow::dhcp_class_ident),
    String("ssh_client_agent", &vdFlow::ssh_client_agent),
    String("ssh_server_agent", &vdFlow::ssh_server_agent),
    U16("ssl_version", &vdFlow::ssl_version),
    U16("ssl_cipher_suite", &vdFlow::ssl_cipher_suite),
    U16("ssl_encrypted_ch_version", &vdFlow::ssl_encrypted_ch_version),
    String("ssl_server_cn", &vdFlow::ssl_server_cn),
    String("ssl_issuer_dn", &vdFlow::ssl_issuer_dn),
    String("ssl_subject_dn", &vdFlow::ssl_subject_dn),
    String("ssl_client_ja4", &vdFlow::ssl_client_ja4),
    String("mdns_answer", &vdFlow::mdns_answer),
    Address("stun_mapped", Type::address, &vdFlow::stun_mapped),
    Address("stun_peer", Type::address, &vdFlow::stun_peer),
    Address("stun_relayed", Type::address, &vdFlow::stun_relayed),
    Address("stun_response", Type::address, &vdFlow::stun_response),
    Address("stun_other", Type::address, &vdFlow::stun_other),

    Computed("total_bytes", Type::number, Source::total_bytes),
    Computed("total_packets", Type::number, Source::total_packets),
    Computed("iface_role", Type::number, Source::iface_role),
    Computed("ifname", Type::string, Source::ifname),
    Bool("flowmap_eligible", &vdFlow::flowmap_eligible),
    Bool("flowmap_excluded", &vdFlow::flowmap_excluded),
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

std::span<const Member> AllMembers()
{
    return members;
}

Value ReadValue(const Member &member, const vdFlow &flow)
{
    switch (member.type) {
    case Type::boolean:
        return Value::Boolean(ReadNumber(member.field, flow) != 0);
    case Type::number:
        return Value::Number(ReadNumber(member.field, flow));
    case Type::string:
        return Value::String(ReadText(member.field, flow));
    case Type::address:
    case Type::mac:
        return Value::Address(member.field.pair.Pick(flow), member.type);
    }
    return {};
}

}  // namespace vd_flow_expr
