#include "feeds/signatures/name_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <new>

namespace {

// Blocks double from the first size to the last, so that a small set wastes
// little and a large one has few blocks.
constexpr size_t first_block_size = 4 * 1024;
constexpr size_t last_block_size = 256 * 1024;
constexpr size_t min_slots = 16;
constexpr size_t max_length_bytes = 10;

// At most 3/4 full: an absent name's probe still ends within a line of tags
// nearly always, and the table costs at most 10 / (3/4) bytes per name.
bool Fits(size_t names, size_t slots)
{
    return names <= slots / 4 * 3;
}

size_t SlotsFor(size_t names)
{
    size_t slots = min_slots;
    while (!Fits(names, slots))
        slots *= 2;
    return slots;
}

// The top 16 bits: the slot's position comes from the low ones.
uint16_t TagOf(uint64_t hash)
{
    const auto tag = static_cast<uint16_t>(hash >> 48);
    return tag != 0 ? tag : 1;
}

// A record's length: seven bits a byte, low bits first, the high bit set on
// all bytes but the last. Names of up to 127 bytes take one byte.
size_t EncodeLength(size_t length, unsigned char *out)
{
    size_t used = 0;
    for (; length >= 0x80; length >>= 7)
        out[used++] = static_cast<unsigned char>(length | 0x80);
    out[used++] = static_cast<unsigned char>(length);
    return used;
}

std::string_view NameOf(const char *record)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(record);
    if (bytes[0] < 0x80)
        return std::string_view(record + 1, bytes[0]);
    size_t length = 0;
    size_t used = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = bytes[used++];
        length |= size_t(byte & 0x7f) << shift;
        if (byte < 0x80)
            break;
    }
    return std::string_view(record + used, length);
}

size_t RecordSize(const char *record)
{
    const std::string_view name = NameOf(record);
    return size_t(name.data() - record) + name.size();
}

bool Holds(const char *record, std::string_view name)
{
    const std::string_view stored = NameOf(record);
    return stored.size() == name.size() && std::memcmp(stored.data(), name.data(), name.size()) == 0;
}

}  // namespace

uint64_t vdfNameSet::DefaultHash(std::string_view name)
{
    return std::hash<std::string_view>{}(name);
}

size_t vdfNameSet::FindSlot(std::string_view name, uint64_t name_hash) const
{
    const size_t mask = capacity - 1;
    size_t index = name_hash & mask;
    // A present name mostly sits in its home slot's line: fetched alongside
    // the tags rather than after them.
    __builtin_prefetch(&slots[index]);
    const Tag tag = TagOf(name_hash);
    for (;; index = (index + 1) & mask) {
        const Tag seen = tags[index];
        if (seen == 0 || (seen == tag && Holds(slots[index], name)))
            return index;
    }
}

bool vdfNameSet::contains(std::string_view name) const
{
    if (name.empty())
        return has_empty;
    if (capacity == 0)
        return false;
    return tags[FindSlot(name, hash(name))] != 0;
}

bool vdfNameSet::insert(std::string_view name)
{
    if (name.empty()) {
        if (has_empty)
            return false;
        has_empty = true;
        count++;
        return true;
    }
    const uint64_t name_hash = hash(name);
    if (capacity == 0)
        Grow(min_slots);
    size_t index = FindSlot(name, name_hash);
    if (tags[index] != 0)
        return false;
    const size_t stored = count - (has_empty ? 1 : 0);
    if (!Fits(stored + 1, capacity)) {
        Grow(capacity * 2);
        index = FindSlot(name, name_hash);
    }
    slots[index] = Store(name);
    tags[index] = TagOf(name_hash);
    count++;
    return true;
}

void vdfNameSet::reserve(size_t wanted)
{
    if (wanted != 0 && capacity < SlotsFor(wanted))
        Grow(SlotsFor(wanted));
}

size_t vdfNameSet::held_bytes() const
{
    return capacity * (sizeof(Tag) + sizeof(const char *)) + block_bytes + blocks.capacity() * sizeof(Block);
}

// The new arrays are taken before the old ones go, so that a failed allocation
// leaves the set as it was. The names are placed again from the blocks, read
// in order, not from the old table. Fresh large allocations are untouched
// pages (calloc need not clear them) and the old arrays are freed before any
// is touched: resident memory peaks near the new table, not old plus new.
void vdfNameSet::Grow(size_t new_capacity)
{
    std::unique_ptr<Tag[], FreeMemory> new_tags(static_cast<Tag *>(std::calloc(new_capacity, sizeof(Tag))));
    if (!new_tags)
        throw std::bad_alloc();
    auto new_slots = std::make_unique_for_overwrite<const char *[]>(new_capacity);
    tags = std::move(new_tags);
    slots = std::move(new_slots);
    capacity = new_capacity;
    for (const Block &block : blocks) {
        for (size_t at = 0; at < block.used; at += RecordSize(block.bytes.get() + at))
            Place(block.bytes.get() + at);
    }
}

void vdfNameSet::Place(const char *record)
{
    const uint64_t name_hash = hash(NameOf(record));
    const size_t mask = capacity - 1;
    size_t index = name_hash & mask;
    while (tags[index] != 0)
        index = (index + 1) & mask;
    tags[index] = TagOf(name_hash);
    slots[index] = record;
}

const char *vdfNameSet::Store(std::string_view name)
{
    unsigned char length[max_length_bytes];
    const size_t length_size = EncodeLength(name.size(), length);
    const size_t record_size = length_size + name.size();
    if (blocks.empty() || blocks.back().size - blocks.back().used < record_size) {
        // A name longer than a block gets a block of its own size.
        const size_t size = std::max(record_size, std::clamp(block_bytes, first_block_size, last_block_size));
        blocks.push_back({std::make_unique_for_overwrite<char[]>(size), 0, size});
        block_bytes += size;
    }
    Block &block = blocks.back();
    char *record = block.bytes.get() + block.used;
    std::memcpy(record, length, length_size);
    std::memcpy(record + length_size, name.data(), name.size());
    block.used += record_size;
    return record;
}

vdfNameSet::const_iterator::const_iterator(const vdfNameSet *set, size_t position) : set(set), position(position)
{
    SkipEmptySlots();
}

void vdfNameSet::const_iterator::SkipEmptySlots()
{
    if (position == 0 && !set->has_empty)
        position = 1;
    while (position != 0 && position <= set->capacity && set->tags[position - 1] == 0)
        position++;
}

std::string_view vdfNameSet::const_iterator::operator*() const
{
    if (position == 0)
        return std::string_view();
    return NameOf(set->slots[position - 1]);
}

vdfNameSet::const_iterator &vdfNameSet::const_iterator::operator++()
{
    position++;
    SkipEmptySlots();
    return *this;
}

vdfNameSet::const_iterator vdfNameSet::const_iterator::operator++(int)
{
    const_iterator before = *this;
    ++*this;
    return before;
}
