// The members of one flow document, gathered in any order and moved into a
// copy of a cached tree of the same keys (or one given back after use), so
// that no key is compared or, for a reused tree, allocated.
#pragma once

#include <bitset>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vd_common.h"

namespace vdFlowEncoding {

// A table holds at most this many keys, so that a document's keys fit a KeySet.
inline constexpr size_t max_keys = 128;
// Which keys of one table a document holds, by rank.
using KeySet = std::bitset<max_keys>;

// A member's name, or its name within a member object (sub). rank places it
// among every key of its table the way the document's objects sort keys.
struct Key {
    std::string name;
    std::string sub;  // empty for a member of the document itself
    uint16_t rank = 0;
    uint16_t name_rank = 0;  // the same for every key of one name
    uint32_t table = 0;      // the KeyTable's id: ranks compare within one table only
};

// The keys of a document that Members::Build made from a shape; table 0 for
// one made otherwise.
struct ShapeId {
    uint32_t table = 0;
    KeySet keys;
    bool operator==(const ShapeId &) const = default;
};

// Every key a document may hold. Ranked once all are added; a name may not be
// both a value's and a member object's.
class KeyTable
{
public:
    KeyTable();

    const Key &Add(std::string name, std::string sub = {});
    // Throws std::logic_error for more than max_keys keys or a name that is
    // both a value's and a member object's.
    void Rank();

private:
    uint32_t id;           // unique among every table this process makes
    std::deque<Key> keys;  // stable addresses for the references handed out
};

// Collects members with the flow serializer's rules for empty values, then
// writes them out in key order.
class Members
{
public:
    Members();
    ~Members();
    Members(const Members &) = delete;
    Members &operator=(const Members &) = delete;

    // An empty text, list, array or object and a null value write nothing;
    // an empty C string is written, a null pointer is not. The keys of one
    // document are of one table: another's raises std::logic_error.
    void Put(const Key &key, std::string value);
    void Put(const Key &key, const std::vector<std::string> &value);
    void Put(const Key &key, const std::set<std::string> &value);
    void Put(const Key &key, const char *value);
    void Put(const Key &key, bool value) { Add(key, value); }
    void Put(const Key &key, uint8_t value) { Add(key, value); }
    void Put(const Key &key, uint16_t value) { Add(key, value); }
    void Put(const Key &key, uint32_t value) { Add(key, value); }
    void Put(const Key &key, uint64_t value) { Add(key, value); }
    void Put(const Key &key, double value) { Add(key, value); }
    void Put(const Key &key, json value);

    // Writes the members into out and forgets them: built afresh when out is
    // null or an empty object, otherwise assigned over its members; with no
    // members out stays as it is. Of two writes of one key the last wins; a
    // non-object in the way raises the JSON library's type error.
    void MoveInto(json &out);
    // The members as a new document, as MoveInto a null value writes them,
    // and forgets them; shape names the document's keys for GiveBack.
    json Build(ShapeId &shape);
    // Takes back a document that Build made, once nothing reads it: the next
    // document of the same keys on this thread is written into its tree
    // instead of a new one. The caller must have removed every member it
    // added; a document of another size is left to its owner.
    static void GiveBack(json &document, const ShapeId &shape) noexcept;

private:
    // A flow with every group written has about 70 members.
    static constexpr size_t expected_members = 96;

    struct Member {
        // The value is made in place: every temporary value is one more
        // out-of-line destructor call per member.
        template <class V> Member(const Key &key, V &&value) : key(&key), value(std::forward<V>(value)) {}

        const Key *key;
        json value;
    };

    // The members' storage outlives each document: its size is beyond the
    // allocator's per-thread caches, and allocating it afresh for every flow
    // cost more than the ordered inserts saved.
    static thread_local std::vector<Member> spare;

    // In the header, as most members are numbers: a call per member showed.
    template <class V> void Add(const Key &key, V &&value)
    {
        // A member's place must fit below its rank in the sort (SortByKey).
        if (members.size() > 0xffff) [[unlikely]]
            TooManyMembers();
        // Ranks order the keys of one table only.
        if (members.empty())
            table = key.table;
        else if (key.table != table) [[unlikely]]
            KeyOfAnotherTable(key);
        members.emplace_back(key, std::forward<V>(value));
        present.set(key.rank);
    }
    [[noreturn]] static void TooManyMembers();
    [[noreturn]] static void KeyOfAnotherTable(const Key &key);
    void Forget();
    // The members' places by key, each as its key's rank above its place.
    std::vector<uint32_t> SortByKey() const;
    // The members' keys in key order, every value null: a shape (see the
    // source) that documents of these keys are copied from.
    json::object_t BuildShape(const std::vector<uint32_t> &order) const;
    json BuildFromShape(const ShapeId &id);
    void AssignOver(json &out, const std::vector<uint32_t> &order);

    std::vector<Member> members;
    KeySet present;      // the ranks of the members' keys
    uint32_t table = 0;  // the one table of the members' keys
};

}  // namespace vdFlowEncoding
