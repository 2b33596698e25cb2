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
        auto [at, added] = has_sub.try_emplace(key.name, !key.sub.empty());
        if (!added && at->second != !key.sub.empty())
            throw std::logic_error("flow document key " + key.name + " is both a value and an object");
    }
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

void Members::Add(const Key &key, json value)
{
    members.push_back(Member{&key, static_cast<uint16_t>(members.size()), std::move(value)});
}

void Members::MoveInto(json &out)
{
    if (members.empty())
        return;
    SortByKey();
    if (out.is_null() || (out.is_object() && out.empty()))
        out = BuildObject();
    else
        AssignOver(out);
    members.clear();
}

void Members::SortByKey()
{
    std::sort(members.begin(), members.end(), [](const Member &a, const Member &b) {
        return a.key->rank != b.key->rank ? a.key->rank < b.key->rank : a.order < b.order;
    });
}

json::object_t Members::BuildObject()
{
    json::object_t object;
    json::object_t *group = nullptr;  // the member object being filled
    for (size_t at = 0; at < members.size(); at++) {
        // Of two writes of one key, the last is kept.
        if (at + 1 < members.size() && members[at + 1].key == members[at].key)
            continue;
        const Key &key = *members[at].key;
        json &value = members[at].value;
        if (key.sub.empty()) {
            object.emplace_hint(object.end(), key.name, std::move(value));
            group = nullptr;
            continue;
        }
        if (group == nullptr || object.rbegin()->first != key.name)
            group = &object.emplace_hint(object.end(), key.name, json::object_t())->second.get_ref<json::object_t &>();
        group->emplace_hint(group->end(), key.sub, std::move(value));
    }
    return object;
}

void Members::AssignOver(json &out)
{
    for (Member &member : members) {
        const Key &key = *member.key;
        if (key.sub.empty())
            out[key.name] = std::move(member.value);
        else
            out[key.name][key.sub] = std::move(member.value);
    }
}

}  // namespace vdFlowEncoding
