// Flow record dump and the bucketed flow map.
#include <string>

#include "vd_flow.h"

namespace {

std::string AddressText(const vdAddr &address)
{
    std::string text;
    vdAddr::MakeString(address, text, vdAddr::MakeFlags::port);
    return text.empty() ? "-" : text;
}

}  // namespace

void vdFlow::Print(uint8_t flags, const std::string &tag) const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string digest_text = vd_xxh64_to_string(digest);
    vd_dprintf("%s: flow %s: ip%u proto %u: %s <> %s\n", tag.c_str(), digest_text.c_str(), ip_version, ip_protocol,
               AddressText(lower_addr).c_str(), AddressText(upper_addr).c_str());
    if (flags & 0x6) {
        vd_dprintf("%s: flow %s: detected %u.%u (%s.%s), host \"%s\", dns \"%s\"\n", tag.c_str(), digest_text.c_str(),
                   detected_protocol, detected_application, detected_protocol_name.c_str(),
                   detected_application_name.c_str(), host_server_name.c_str(), dns_host_name.c_str());
    }
    if (flags & 0x4) {
        vd_dprintf("%s: flow %s: lower_map %u, origin %u, other_type %u, bytes %llu, packets %u, iface %s\n",
                   tag.c_str(), digest_text.c_str(), lower_map, origin, other_type,
                   static_cast<unsigned long long>(stats.total_bytes), stats.total_packets,
                   iface ? iface->ifname.c_str() : "-");
    }
}

struct vdFlowMap::Slot {
    std::mutex lock;
    Bucket flows;
};

vdFlowMap::vdFlowMap(size_t buckets) : buckets(buckets)
{
    slots.reserve(buckets);
    for (size_t i = 0; i < buckets; i++)
        slots.push_back(std::make_unique<Slot>());
}

vdFlowMap::~vdFlowMap() = default;

vdFlowMap::Bucket &vdFlowMap::Acquire(size_t index)
{
    if (index >= buckets)
        throw vdException("flow map: bucket %zu out of range (%zu buckets)", index, buckets);
    slots[index]->lock.lock();
    return slots[index]->flows;
}

void vdFlowMap::Release(size_t index)
{
    if (index >= buckets)
        throw vdException("flow map: bucket %zu out of range (%zu buckets)", index, buckets);
    slots[index]->lock.unlock();
}

void vdFlowMap::Insert(const vdFlow::Ptr &flow)
{
    if (buckets == 0)
        throw vdException("flow map: no buckets");
    size_t index = static_cast<size_t>(flow->digest % buckets);
    std::lock_guard<std::mutex> guard(slots[index]->lock);
    slots[index]->flows[flow->digest] = flow;
}
