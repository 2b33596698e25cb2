// The flow's members by name, each with the setter that checks and converts
// its JSON value. Setters are generic over the owning type so that the same
// ones serve vdFlow and its nested structures.
#include "flow_reader.h"

#include <arpa/inet.h>

#include <cfloat>
#include <map>
#include <memory>
#include <string_view>

#include "vd_addr.h"
#include "vd_common.h"

namespace {

template <typename T> using Setter = void (*)(T &target, const json &value, const std::string &path);
template <typename T> using MemberTable = std::map<std::string_view, Setter<T>>;

template <typename T>
void ReadMembers(T &target, const json &object, const std::string &path, const MemberTable<T> &table)
{
    RequireObject(object, path);
    for (const auto &[name, value] : object.items()) {
        std::string member = MemberPath(path, name);
        auto entry = table.find(name);
        if (entry == table.end())
            throw InputError(member, "unknown member");
        entry->second(target, value, member);
    }
}

template <typename Member> using MemberOf = std::remove_reference_t<Member>;

template <auto member, typename T> void Integer(T &target, const json &value, const std::string &path)
{
    auto &field = target.*member;
    field = ReadInteger<MemberOf<decltype(field)>>(value, path);
}

template <auto member, typename T> void Bool(T &target, const json &value, const std::string &path)
{
    target.*member = ReadBool(value, path);
}

template <auto member, typename T> void String(T &target, const json &value, const std::string &path)
{
    target.*member = ReadString(value, path);
}

template <auto member, typename T> void Float(T &target, const json &value, const std::string &path)
{
    target.*member = static_cast<float>(ReadNumber(value, path, -FLT_MAX, FLT_MAX));
}

// Strings into a vector (kept in order) or a set.
template <auto member, typename T> void Strings(T &target, const json &value, const std::string &path)
{
    RequireArray(value, path);
    auto &field = target.*member;
    field.clear();
    for (size_t index = 0; index < value.size(); index++)
        field.insert(field.end(), ReadString(value[index], ElementPath(path, index)));
}

template <auto member, typename T> void Integers(T &target, const json &value, const std::string &path)
{
    RequireArray(value, path);
    auto &field = target.*member;
    using Element = typename MemberOf<decltype(field)>::value_type;
    field.clear();
    for (size_t index = 0; index < value.size(); index++)
        field.insert(field.end(), ReadInteger<Element>(value[index], ElementPath(path, index)));
}

template <auto member, typename T> void Digest(T &target, const json &value, const std::string &path)
{
    target.*member = ReadDigest(value, path);
}

template <auto member, typename T> void Digests(T &target, const json &value, const std::string &path)
{
    RequireArray(value, path);
    auto &field = target.*member;
    field.clear();
    for (size_t index = 0; index < value.size(); index++)
        field.push_back(ReadDigest(value[index], ElementPath(path, index)));
}

template <auto member, typename T> void HexBytes(T &target, const json &value, const std::string &path)
{
    std::string text = ReadString(value, path);
    if (!vd_string_to_sha1(text, target.*member))
        throw InputError(path, "expected an even number of hexadecimal digits, got " + DescribeValue(value));
}

// Network byte order in the flow, host order in the text.
template <auto member, typename T> void NetworkOrder32(T &target, const json &value, const std::string &path)
{
    target.*member = htonl(ReadInteger<uint32_t>(value, path));
}

vdAddr ParseIpAddress(const json &value, const std::string &path)
{
    vdAddr address;
    if (!vdAddr::Create(address, ReadString(value, path)) || address.IsMAC())
        throw InputError(path, "expected an IPv4 or IPv6 address, got " + DescribeValue(value));
    return address;
}

// Keeps a port set by the matching "_port" member, whichever comes first.
template <auto member, typename T> void IpAddress(T &target, const json &value, const std::string &path)
{
    vdAddr &field = target.*member;
    uint16_t port = field.port;
    field = ParseIpAddress(value, path);
    field.port = port;
}

template <auto member, typename T> void Port(T &target, const json &value, const std::string &path)
{
    (target.*member).SetPort(htons(ReadInteger<uint16_t>(value, path)));
}

template <auto member, typename T> void MacAddress(T &target, const json &value, const std::string &path)
{
    vdAddr address;
    if (!vdAddr::Create(address, ReadString(value, path)) || !address.IsMAC())
        throw InputError(path, "expected a MAC address, got " + DescribeValue(value));
    target.*member = address;
}

struct AddressWithPort {
    vdAddr address;
    bool has_address = false;
};

const MemberTable<AddressWithPort> &AddressWithPortMembers()
{
    static const MemberTable<AddressWithPort> table{
        {"addr",
         [](AddressWithPort &target, const json &value, const std::string &path) {
             IpAddress<&AddressWithPort::address>(target, value, path);
             target.has_address = true;
         }},
        {"port", Port<&AddressWithPort::address>},
    };
    return table;
}

// "a.b.c.d", or {"addr": "a.b.c.d", "port": N}.
template <auto member, typename T> void StunAddress(T &target, const json &value, const std::string &path)
{
    if (!value.is_object()) {
        target.*member = ParseIpAddress(value, path);
        return;
    }
    AddressWithPort parsed;
    ReadMembers(parsed, value, path, AddressWithPortMembers());
    if (!parsed.has_address)
        throw InputError(MemberPath(path, "addr"), "missing");
    target.*member = parsed.address;
}

const MemberTable<vdFlowStats> &StatsMembers()
{
    using S = vdFlowStats;
    static const MemberTable<S> table{
        {"lower_bytes", Integer<&S::lower_bytes>},
        {"upper_bytes", Integer<&S::upper_bytes>},
        {"total_bytes", Integer<&S::total_bytes>},
        {"total_lower_bytes", Integer<&S::total_lower_bytes>},
        {"total_upper_bytes", Integer<&S::total_upper_bytes>},
        {"lower_packets", Integer<&S::lower_packets>},
        {"upper_packets", Integer<&S::upper_packets>},
        {"total_packets", Integer<&S::total_packets>},
        {"total_lower_packets", Integer<&S::total_lower_packets>},
        {"total_upper_packets", Integer<&S::total_upper_packets>},
        {"detection_packets", Integer<&S::detection_packets>},
        {"lower_rate", Float<&S::lower_rate>},
        {"upper_rate", Float<&S::upper_rate>},
        {"tcp_seq_errors", Integer<&S::tcp_seq_errors>},
        {"tcp_resets", Integer<&S::tcp_resets>},
        {"tcp_retrans", Integer<&S::tcp_retrans>},
    };
    return table;
}

const MemberTable<vdFlow::GTP> &GtpMembers()
{
    using G = vdFlow::GTP;
    static const MemberTable<G> table{
        {"version", Integer<&G::version>},
        {"ip_version", Integer<&G::ip_version>},
        {"ip_dscp", Integer<&G::ip_dscp>},
        {"lower_teid", NetworkOrder32<&G::lower_teid>},
        {"upper_teid", NetworkOrder32<&G::upper_teid>},
        {"lower_addr", IpAddress<&G::lower_addr>},
        {"upper_addr", IpAddress<&G::upper_addr>},
        {"lower_port", Port<&G::lower_addr>},
        {"upper_port", Port<&G::upper_addr>},
        {"lower_map", Integer<&G::lower_map>},
        {"other_type", Integer<&G::other_type>},
    };
    return table;
}

const MemberTable<vdFlow::Category> &CategoryMembers()
{
    using C = vdFlow::Category;
    static const MemberTable<C> table{
        {"application", Integer<&C::application>},
        {"protocol", Integer<&C::protocol>},
        {"domain", Integer<&C::domain>},
        {"lower_network", Integer<&C::lower_network>},
        {"upper_network", Integer<&C::upper_network>},
        {"overlay", Integer<&C::overlay>},
    };
    return table;
}

const MemberTable<vdInterface> &InterfaceMembers()
{
    static const MemberTable<vdInterface> table{
        {"ifname", String<&vdInterface::ifname>},
        {"role", Integer<&vdInterface::role>},
    };
    return table;
}

void Stats(vdFlow &flow, const json &value, const std::string &path)
{
    ReadMembers(flow.stats, value, path, StatsMembers());
}

void Gtp(vdFlow &flow, const json &value, const std::string &path)
{
    ReadMembers(flow.gtp, value, path, GtpMembers());
}

void Category(vdFlow &flow, const json &value, const std::string &path)
{
    ReadMembers(flow.category, value, path, CategoryMembers());
}

void Interface(vdFlow &flow, const json &value, const std::string &path)
{
    auto iface = std::make_shared<vdInterface>();
    ReadMembers(*iface, value, path, InterfaceMembers());
    flow.iface = std::move(iface);
}

const MemberTable<vdFlow> &FlowMembers()
{
    using F = vdFlow;
    static const MemberTable<F> table{
        {"digest", Digest<&F::digest>},
        {"digest_prev", Digests<&F::digest_prev>},
        {"first_seen_at", Integer<&F::first_seen_at>},
        {"last_seen_at", Integer<&F::last_seen_at>},
        {"lower_mac", MacAddress<&F::lower_mac>},
        {"upper_mac", MacAddress<&F::upper_mac>},
        {"lower_addr", IpAddress<&F::lower_addr>},
        {"upper_addr", IpAddress<&F::upper_addr>},
        {"lower_port", Port<&F::lower_addr>},
        {"upper_port", Port<&F::upper_addr>},
        {"lower_map", Integer<&F::lower_map>},
        {"origin", Integer<&F::origin>},
        {"other_type", Integer<&F::other_type>},
        {"privacy_mask", Integer<&F::privacy_mask>},
        {"ip_version", Integer<&F::ip_version>},
        {"ip_dscp", Integer<&F::ip_dscp>},
        {"ip_protocol", Integer<&F::ip_protocol>},
        {"vlan_id", Integer<&F::vlan_id>},
        {"ip_nat", Bool<&F::ip_nat>},
        {"dhc_hit", Bool<&F::dhc_hit>},
        {"fhc_hit", Bool<&F::fhc_hit>},
        {"soft_dissector", Bool<&F::soft_dissector>},
        {"app_ip_override", Bool<&F::app_ip_override>},
        {"app_proto_twins", Bool<&F::app_proto_twins>},
        {"tunnel_type", Integer<&F::tunnel_type>},
        {"gtp", Gtp},
        {"detected_protocol", Integer<&F::detected_protocol>},
        {"master_protocol", Integer<&F::master_protocol>},
        {"detected_application", Integer<&F::detected_application>},
        {"detected_protocol_name", String<&F::detected_protocol_name>},
        {"detected_application_name", String<&F::detected_application_name>},
        {"detection_guessed", Bool<&F::detection_guessed>},
        {"detection_updated", Bool<&F::detection_updated>},
        {"category", Category},
        {"risks", Integers<&F::risks>},
        {"dpi_risk_score", Integer<&F::dpi_risk_score>},
        {"dpi_risk_score_client", Integer<&F::dpi_risk_score_client>},
        {"dpi_risk_score_server", Integer<&F::dpi_risk_score_server>},
        {"tags", Strings<&F::tags>},
        {"dns_host_name", String<&F::dns_host_name>},
        {"host_server_name", String<&F::host_server_name>},
        {"user_agent", String<&F::user_agent>},
        {"http_url", String<&F::http_url>},
        {"dhcp_fingerprint", String<&F::dhcp_fingerprint>},
        {"dhcp_class_ident", String<&F::dhcp_class_ident>},
        {"ssh_client_agent", String<&F::ssh_client_agent>},
        {"ssh_server_agent", String<&F::ssh_server_agent>},
        {"ssl_version", Integer<&F::ssl_version>},
        {"ssl_cipher_suite", Integer<&F::ssl_cipher_suite>},
        {"ssl_encrypted_ch_version", Integer<&F::ssl_encrypted_ch_version>},
        {"ssl_server_cn", String<&F::ssl_server_cn>},
        {"ssl_issuer_dn", String<&F::ssl_issuer_dn>},
        {"ssl_subject_dn", String<&F::ssl_subject_dn>},
        {"ssl_client_ja4", String<&F::ssl_client_ja4>},
        {"ssl_cert_fingerprint", HexBytes<&F::ssl_cert_fingerprint>},
        {"ssl_alpn", Strings<&F::ssl_alpn>},
        {"ssl_alpn_server", Strings<&F::ssl_alpn_server>},
        {"bt_info_hash", HexBytes<&F::bt_info_hash>},
        {"mdns_answer", String<&F::mdns_answer>},
        {"stun_mapped", StunAddress<&F::stun_mapped>},
        {"stun_peer", StunAddress<&F::stun_peer>},
        {"stun_relayed", StunAddress<&F::stun_relayed>},
        {"stun_response", StunAddress<&F::stun_response>},
        {"stun_other", StunAddress<&F::stun_other>},
        {"stats", Stats},
        {"iface", Interface},
        {"flowmap_eligible", Bool<&F::flowmap_eligible>},
        {"flowmap_excluded", Bool<&F::flowmap_excluded>},
    };
    return table;
}

}  // namespace

void ReadFlow(const json &object, vdFlow &flow, const std::string &path)
{
    ReadMembers(flow, object, path, FlowMembers());
}
