// Gathering a flow document's members and writing them out in key order.
#include "common/flow_document.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <utility>

namespace vdFlowEncoding {

const Key &KeyTable::Add(std::string name, std::string sub)
{
    return keys.emplace_back(Key{std::move(name), std::move(sub), 0});
}

void KeyTable::Rank()
{
    std::vector<Key *> order;
    for (Key &key : keys)
        order.push_back(&key);
    std::sort(order.begin(), order.end(),
              [](const Key *a, const Key *b) { return std::tie(a->name, a->sub) < std::tie(b->name, b->sub); });
    std::map<std::string, bool> has_sub;
    for (size_t rank = 0; rank < order.size(); rank++) {
        Key &key = *order[rank];
        key.rank = static_cast<uint16_t>(rank);
        key.name_rank = rank > 0 && order[rank - 1]->name == key.name ? order[rank - 1]->name_rank : key.rank;
        auto [at, added] = has_sub.try_emplace(key.name, !key.sub.empty());
        if (!added && at->second != !key.sub.empty())
            throw std::logic_error("flow document key " + key.name + " is both a value and an object");
    }
}

thread_local std::vector<Members::Member> Members::spare;

template <class V> void Members::Add(const Key &key, V &&value)
{
    // A member's place must fit below its rank in the sort (SortByKey).
    if (members.size() > 0xffff)
        throw std::length_error("flow document: too many members");
    members.emplace_back(key, std::forward<V>(value));
}

Members::Members() : members(std::move(spare))
{
    members.clear();
    members.reserve(expected_members);
}

Members::~Members()
{
    members.clear();
    spare = std::move(members);
}

void Members::Put(const Key &key, std::string value)
{
    if (!value.empty())
        Add(key, std::move(value));
}

void Members::Put(const Key &key, std::vector<std::string> value)
{
    if (!value.empty())
        Add(key, std::move(value));
}

void Members::Put(const Key &key, const char *value)
{
    if (value != nullptr)
        Add(key, value);
}

void Members::Put(const Key &key, bool value)
{
    Add(key, value);
}

void Members::Put(const Key &key, uint8_t value)
{
    Add(key, value);
}

void Members::Put(const Key &key, uint16_t value)
{
    Add(key, value);
}

void Members::Put(const Key &key, uint32_t value)
{
    Add(key, value);
}

void Members::Put(const Key &key, uint64_t value)
{
    Add(key, value);
}

void Members::Put(const Key &key, double value)
{
    Add(key, value);
}

void Members::Put(const Key &key, json value)
{
    if (value.is_null() || ((value.is_array() || value.is_object()) && value.empty()))
        return;
    Add(key, std::move(value));
}

void Members::MoveInto(json &out)
{
    if (members.empty())
        return;
    const std::vector<uint32_t> order = SortByKey();
    if (out.is_null() || (out.is_object() && out.empty()))
        out = BuildObject(order);
    else
        AssignOver(out, order);
    members.clear();
}

std::vector<uint32_t> Members::SortByKey() const
{
    // Rank above the member's place: the later of two writes of a key sorts
    // after the earlier. Sorting these numbers, not the members, spares a
    // temporary value for every move the sort makes.
    std::vector<uint32_t> order;
    order.reserve(members.size());
    for (size_t at = 0; at < members.size(); at++)
        order.push_back(uint32_t{members[at].key->rank} << 16 | static_cast<uint32_t>(at));
    std::sort(order.begin(), order.end());
    return order;
}

json::object_t Members::BuildObject(const std::vector<uint32_t> &order)
{
    json::object_t object;
    json::object_t *group = nullptr;  // the member object being filled
    uint16_t group_name = 0;
    for (size_t at = 0; at < order.size(); at++) {
        // Of two writes of one key, the last is kept.
        if (at + 1 < order.size() && order[at + 1] >> 16 == order[at] >> 16)
            continue;
        Member &member = members[order[at] & 0xffff];
        const Key &key = *member.key;
        if (key.sub.empty()) {
            object.emplace_hint(object.end(), key.name, std::move(member.value));
            group = nullptr;
            continue;
        }
        if (group == nullptr || group_name != key.name_rank) {
            group = &object.emplace_hint(object.end(), key.name, json::object_t())->second.get_ref<json::object_t &>();
            group_name = key.name_rank;
        }
        group->emplace_hint(group->end(), key.sub, std::move(member.value));
    }
    return object;
}

void Members::AssignOver(json &out, const std::vector<uint32_t> &order)
{
    for (uint32_t at : order) {
        Member &member = members[at & 0xffff];
        const Key &key = *member.key;
        if (key.sub.empty())
            out[key.name] = std::move(member.value);
        else
            out[key.name][key.sub] = std::move(member.value);
    }
}

}  // namespace vdFlowEncoding
