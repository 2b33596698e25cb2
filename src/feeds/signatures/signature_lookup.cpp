// Lookups of the signature feed: whether a flow matches the data set of a
// tag, by the flow value its data type names.
#include <climits>
#include <mutex>
#include <optional>
#include <string_view>

#include "feeds/signatures/velbor_api.h"

namespace {

using vppDataFeed::DataType;
using TagData = vdfVelborAPI::TagData;

// The score a hit gives, or nothing for a miss.
using Hit = std::optional<uint32_t>;

// TLS scores apply to TLS, DTLS and QUIC flows only.
bool PassesTLSGate(const vdFlow &flow)
{
    return flow.GetMasterProtocol() == vdProto::TLS || flow.detected_protocol == vdProto::DTLS ||
           flow.detected_protocol == vdProto::QUIC;
}

// An empty name is no name: it never matches, even a set that lists "".
bool HasDomain(const TagData &data, const std::string &name)
{
    return !name.empty() && data.domains.contains(name);
}

Hit ScoreOf(const std::unordered_map<uint16_t, vdfVelborAPI::Score> &scores, uint16_t key)
{
    if (key == 0)
        return std::nullopt;
    auto found = scores.find(key);
    return found == scores.end() ? Hit() : Hit(found->second.score);
}

Hit MatchApplication(const vdFlow &flow, const TagData &data)
{
    return data.applications.count(flow.detected_application) != 0 ? Hit(data.score) : Hit();
}

Hit MatchDomain(const vdFlow &flow, const TagData &data)
{
    return HasDomain(data, flow.host_server_name) || HasDomain(data, flow.dns_host_name) ? Hit(data.score) : Hit();
}

Hit MatchRisk(const vdFlow &flow, const TagData &data)
{
    // A risk id beyond the flow's id type is in no flow's set.
    if (data.risk > static_cast<uint32_t>(INT32_MAX))
        return std::nullopt;
    return flow.risks.count(static_cast<vdRisk::Id>(data.risk)) != 0 ? Hit(data.score) : Hit();
}

Hit MatchProtocol(const vdFlow &flow, const TagData &data)
{
    return data.protocols.count(flow.detected_protocol) != 0 ? Hit(data.score) : Hit();
}

Hit MatchTLSCipher(const vdFlow &flow, const TagData &data)
{
    return PassesTLSGate(flow) ? ScoreOf(data.tls_ciphers, flow.ssl_cipher_suite) : Hit();
}

Hit MatchTLSVersion(const vdFlow &flow, const TagData &data)
{
    return PassesTLSGate(flow) ? ScoreOf(data.tls_versions, flow.ssl_version) : Hit();
}

using Matcher = Hit (*)(const vdFlow &flow, const TagData &data);

// The flow value each data type tests; the IP types go by LookupAddress.
struct MatcherRow {
    DataType type;
    Matcher match;
};

constexpr MatcherRow matchers[] = {
    {DataType::application_list, MatchApplication},
    {DataType::domain_list, MatchDomain},
    {DataType::risk, MatchRisk},
    {DataType::protocol_list, MatchProtocol},
    {DataType::tls_cipher_score_list, MatchTLSCipher},
    {DataType::tls_version_score_list, MatchTLSVersion},
};

Matcher FindMatcher(DataType type)
{
    for (const MatcherRow &row : matchers) {
        if (row.type == type)
            return row.match;
    }
    return nullptr;
}

bool IsAddressType(DataType type)
{
    return type == DataType::ip_list || type == DataType::ip_port_list;
}

// The value of the longest stored prefix holding the key, or nullptr.
template <class Tree, class Key> const typename Tree::mapped_type *LongestMatch(const Tree &tree, const Key &key)
{
    auto hit = tree.longest_match(key);
    return hit == tree.end() ? nullptr : &hit->second;
}

// Whether addr lies in a stored prefix (ip_list), or in the longest stored
// prefix that contains it together with its port (ip_port_list).
bool AddressHits(const vdAddr &addr, const TagData &data)
{
    const bool with_ports = data.data_type == DataType::ip_port_list;
    if (addr.IsIPv4()) {
        auto key = vdRadixNetworkEntry<32>::QueryIPv4(addr.GetIPv4());
        if (!with_ports)
            return LongestMatch(data.ip4, key) != nullptr;
        const auto *ports = LongestMatch(data.ip4_ports, key);
        return ports != nullptr && ports->count(addr.GetPort(false)) != 0;
    }
    if (addr.IsIPv6()) {
        vdRadixNetworkEntry<128> key;
        if (!vdRadixNetworkEntry<128>::CreateQuery(key, addr))
            return false;
        if (!with_ports)
            return LongestMatch(data.ip6, key) != nullptr;
        const auto *ports = LongestMatch(data.ip6_ports, key);
        return ports != nullptr && ports->count(addr.GetPort(false)) != 0;
    }
    return false;
}

}  // namespace

bool vdfVelborAPI::Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &entry, const std::string &name)
{
    auto found = tags.find(name);
    if (found == tags.end() || !flow)
        return false;
    // Loading reads no flow value: the flow stays unlocked meanwhile.
    LazyLoad(name, found->second);
    const TagData &data = *found->second;
    if (data.state != LOADED)
        return false;

    // Host threads may update the flow's strings and addresses.
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    if (IsAddressType(data.data_type)) {
        if (!LookupAddress(flow->lower_addr, entry, data) && !LookupAddress(flow->upper_addr, entry, data))
            return false;
        entry.score = data.score;
        return true;
    }
    Matcher match = FindMatcher(data.data_type);
    Hit hit = match != nullptr ? match(*flow, data) : Hit();
    if (!hit)
        return false;
    entry.score = *hit;
    return Matched(entry);
}

bool vdfVelborAPI::LookupAddress(const vdAddr &addr, vppIntel::Entry &entry, const TagData &data)
{
    return IsAddressType(data.data_type) && AddressHits(addr, data) && Matched(entry);
}
