// The intel cache's key: the selected flow fields in a fixed order, each
// part that can vary in length preceded by its length, hashed to 16
// hexadecimal characters.
#include <array>
#include <cstring>
#include <mutex>
#include <utility>

#include "indicators/cache/intel_cache.h"

namespace vppCache {
namespace {

// The endpoint a key part is read from.
enum class Side { local, other, src, dst };

using Part = std::pair<FlowKey, Side>;

// Each group in the order its parts enter the key.
constexpr std::array<Part, 4> mac_parts = {{
    {FlowKey::local_mac, Side::local},
    {FlowKey::other_mac, Side::other},
    {FlowKey::src_mac, Side::src},
    {FlowKey::dst_mac, Side::dst},
}};
constexpr std::array<Part, 4> ip_parts = {{
    {FlowKey::local_ip, Side::local},
    {FlowKey::other_ip, Side::other},
    {FlowKey::src_ip, Side::src},
    {FlowKey::dst_ip, Side::dst},
}};
constexpr std::array<Part, 4> port_parts = {{
    {FlowKey::local_port, Side::local},
    {FlowKey::other_port, Side::other},
    {FlowKey::src_port, Side::src},
    {FlowKey::dst_port, Side::dst},
}};

// Bytes of a link-layer address.
constexpr uint8_t mac_length = 6;

// Whether the side is the flow's lower endpoint: the local side when
// lower_map is 1, the source when origin is 1.
bool IsLower(const vdFlow &flow, Side side)
{
    switch (side) {
    case Side::local:
        return flow.lower_map == 1;
    case Side::other:
        return flow.lower_map != 1;
    case Side::src:
        return flow.origin == 1;
    default:
        return flow.origin != 1;
    }
}

const vdAddr &MacOf(const vdFlow &flow, Side side)
{
    return IsLower(flow, side) ? flow.lower_mac : flow.upper_mac;
}

const vdAddr &AddrOf(const vdFlow &flow, Side side)
{
    return IsLower(flow, side) ? flow.lower_addr : flow.upper_addr;
}

void Append(std::string &buffer, const void *data, size_t length)
{
    buffer.append(static_cast<const char *>(data), length);
}

// The side's own length (0 without a link-layer address), then its bytes:
// a flow with one MAC never shares a key with a flow with the other.
void AppendMAC(std::string &buffer, const vdAddr &mac)
{
    const uint8_t length = mac.IsMAC() ? mac_length : 0;
    buffer.push_back(static_cast<char>(length));
    Append(buffer, mac.addr.bytes, length);
}

// The length first, so that ("ab", "c") and ("a", "bc") differ.
void AppendName(std::string &buffer, const std::string &name)
{
    const uint64_t length = name.size();
    Append(buffer, &length, sizeof(length));
    buffer.append(name);
}

// Upper bound of the fixed-length parts, so that the buffer grows once.
constexpr size_t fixed_parts_size = 4 * (1 + mac_length) + 4 * 16 + 4 * 2 + 2 * sizeof(uint64_t);

}  // namespace

void Store::MakeKey(const vdFlow::Ptr &flow, std::string &key) const
{
    if (flow == nullptr)
        throw vdException("%s: no flow to make a cache key of", name.c_str());
    // Host threads update flows under their lock.
    std::lock_guard<std::recursive_mutex> guard(flow->lock);

    std::string buffer;
    buffer.reserve(fixed_parts_size + flow->dns_host_name.size() + flow->host_server_name.size());

    for (const auto &[bit, side] : mac_parts)
        if (flow_keys.test(bit))
            AppendMAC(buffer, MacOf(*flow, side));

    if (flow->ip_version != 4 && flow->ip_version != 6)
        throw vdException("%s: invalid IP version: %hhu", name.c_str(), flow->ip_version);
    const size_t ip_length = flow->ip_version == 4 ? 4 : 16;
    for (const auto &[bit, side] : ip_parts)
        if (flow_keys.test(bit))
            Append(buffer, AddrOf(*flow, side).addr.bytes, ip_length);

    for (const auto &[bit, side] : port_parts) {
        if (!flow_keys.test(bit))
            continue;
        const uint16_t port = AddrOf(*flow, side).GetPort();
        Append(buffer, &port, sizeof(port));
    }

    if (flow_keys.test(FlowKey::dns_host_name))
        AppendName(buffer, flow->dns_host_name);
    if (flow_keys.test(FlowKey::host_server_name))
        AppendName(buffer, flow->host_server_name);

    vd_xxh64_to_string(vd_xxh64(buffer.data(), buffer.size(), 0), key);
}

}  // namespace vppCache
