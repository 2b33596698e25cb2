// Gathering a flow document's members and writing them out in key order.
#include "flow/flow_document.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace vdFlowEncoding {
namespace {

std::atomic<uint32_t> next_table_id{1};

// A value's place in a document: at the top or in a member object.
struct Slot {
    uint16_t rank;
    bool in_object;
};

// A document of one set of keys with every value null. Copying it makes the
// whole tree without comparing a key; the members then go in by rank. A
// document given back after use is kept as spare and filled instead.
struct Shape {
    json document;
    std::vector<Slot> slots;  // in the document's order
    std::optional<json> spare;
};

struct ShapeIdHash {
    size_t operator()(const ShapeId &id) const { return std::hash<KeySet>()(id.keys) ^ id.table; }
};

// Flows of one kind share a shape. A thread keeps this many (each, with its
// spare, about twice the size of a document) and starts afresh when a new
// one would pass it.
constexpr size_t max_shapes = 128;

thread_local std::unordered_map<ShapeId, Shape, ShapeIdHash> shapes;

// Where each rank's value is in a document of its shape: the tree's order is
// the ranks' order, member objects' members in place of their names.
void FindSlots(json &document, const std::vector<Slot> &order, std::array<json *, max_keys> &slots)
{
    auto slot = order.begin();
    for (auto &[name, value] : document.get_ref<json::object_t &>()) {
        if (!slot->in_object) {
            slots[slot++->rank] = &value;
            continue;
        }
        for (auto &[sub, sub_value] : value.get_ref<json::object_t &>())
            slots[slot++->rank] = &sub_value;
    }
}

}  // namespace

KeyTable::KeyTable() : id(next_table_id++) {}

const Key &KeyTable::Add(std::string name, std::string sub)
{
    return keys.emplace_back(Key{std::move(name), std::move(sub), 0, 0, id});
}

void KeyTable::Rank()
{
    if (keys.size() > max_keys)
        throw std::logic_error("flow document: more than " + std::to_string(max_keys) + " keys");
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

void Members::TooManyMembers()
{
    throw std::length_error("flow document: too many members");
}

void Members::KeyOfAnotherTable(const Key &key)
{
    throw std::logic_error("flow document: key " + key.name + " is from another table");
}

void Members::Forget()
{
    members.clear();
    present.reset();
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

// Lists go in as JSON arrays made at once: the library would copy a list of
// texts into an array of its own.
void Members::Put(const Key &key, const std::vector<std::string> &value)
{
    if (!value.empty())
        Add(key, json::array_t(value.begin(), value.end()));
}

void Members::Put(const Key &key, const std::set<std::string> &value)
{
    if (!value.empty())
        Add(key, json::array_t(value.begin(), value.end()));
}

void Members::Put(const Key &key, const char *value)
{
    if (value != nullptr)
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
    if (out.is_null() || (out.is_object() && out.empty())) {
        ShapeId shape;
        out = Build(shape);
        return;
    }
    AssignOver(out, SortByKey());
    Forget();
}

json Members::Build(ShapeId &shape)
{
    shape = ShapeId();
    if (members.empty())
        return json();
    const ShapeId id{table, present};
    json document = BuildFromShape(id);
    shape = id;
    Forget();
    return document;
}

json Members::BuildFromShape(const ShapeId &id)
{
    auto shape = shapes.find(id);
    if (shape == shapes.end()) {
        if (shapes.size() >= max_shapes)
            shapes.clear();
        const std::vector<uint32_t> order = SortByKey();
        Shape made{json(BuildShape(order)), {}, std::nullopt};
        for (size_t at = 0; at < order.size(); at++) {
            const Key &key = *members[order[at] & 0xffff].key;
            if (made.slots.empty() || made.slots.back().rank != key.rank)
                made.slots.push_back({key.rank, !key.sub.empty()});
        }
        shape = shapes.emplace(id, std::move(made)).first;
    }
    json document;
    if (shape->second.spare) {
        document = std::move(*shape->second.spare);
        shape->second.spare.reset();
    } else {
        document = shape->second.document;
    }
    std::array<json *, max_keys> slots;
    FindSlots(document, shape->second.slots, slots);
    // In the order written: of two writes of one key, the last is kept. A
    // spare's old values go to the members and leave with them.
    for (Member &member : members)
        slots[member.key->rank]->swap(member.value);
    return document;
}

void Members::GiveBack(json &document, const ShapeId &id) noexcept
{
    if (id.table == 0)
        return;
    auto shape = shapes.find(id);
    // Keys cannot change in place, so a document that lost or gained none
    // still has its shape's: comparing them all would cost what reuse saves.
    if (shape == shapes.end() || shape->second.spare || !document.is_object() ||
        document.size() != shape->second.document.size())
        return;
    shape->second.spare = std::move(document);
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

json::object_t Members::BuildShape(const std::vector<uint32_t> &order) const
{
    json::object_t object;
    json::object_t *group = nullptr;  // the member object being filled
    uint16_t group_name = 0;
    for (size_t at = 0; at < order.size(); at++) {
        // A key written twice has one place.
        if (at + 1 < order.size() && order[at + 1] >> 16 == order[at] >> 16)
            continue;
        const Key &key = *members[order[at] & 0xffff].key;
        if (key.sub.empty()) {
            object.emplace_hint(object.end(), key.name, json());
            group = nullptr;
            continue;
        }
        if (group == nullptr || group_name != key.name_rank) {
            group = &object.emplace_hint(object.end(), key.name, json::object_t())->second.get_ref<json::object_t &>();
            group_name = key.name_rank;
        }
        group->emplace_hint(group->end(), key.sub, json());
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
