#include "feeds/signatures/name_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>

namespace {

// Large enough that the per-block overhead vanishes, small enough that a
// small set wastes little.
constexpr size_t name_block_size = 256 * 1024;
constexpr size_t min_slots = 16;

uint64_t HashOf(std::string_view name)
{
    return std::hash<std::string_view>{}(name);
}

uint32_t FingerprintOf(uint64_t hash)
{
    return static_cast<uint32_t>(hash >> 32);
}

// Slots for count names at most half full.
size_t SlotsFor(size_t count)
{
    return std::bit_ceil(std::max(min_slots, count * 2));
}

}  // namespace

size_t vdfNameSet::FindSlot(std::string_view name, uint64_t hash) const
{
    const size_t mask = slots.size() - 1;
    const uint32_t fingerprint = FingerprintOf(hash);
    for (size_t index = hash & mask;; index = (index + 1) & mask) {
        const Slot &slot = slots[index];
        if (slot.text == nullptr)
            return index;
        if (slot.fingerprint == fingerprint && slot.length == name.size() &&
            std::memcmp(slot.text, name.data(), name.size()) == 0)
            return index;
    }
}

bool vdfNameSet::contains(std::string_view name) const
{
    if (name.empty())
        return has_empty;
    if (slots.empty())
        return false;
    return slots[FindSlot(name, HashOf(name))].text != nullptr;
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
    if (name.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("name longer than 4 GiB");
    if (slots.size() < SlotsFor(count + 1))
        Grow(SlotsFor(count + 1));

    const uint64_t hash = HashOf(name);
    Slot &slot = slots[FindSlot(name, hash)];
    if (slot.text != nullptr)
        return false;
    slot.text = Store(name);
    slot.length = static_cast<uint32_t>(name.size());
    slot.fingerprint = FingerprintOf(hash);
    count++;
    return true;
}

void vdfNameSet::reserve(size_t wanted)
{
    if (slots.size() < SlotsFor(wanted))
        Grow(SlotsFor(wanted));
}

void vdfNameSet::Grow(size_t capacity)
{
    std::vector<Slot> old(capacity);
    old.swap(slots);
    const size_t mask = slots.size() - 1;
    for (const Slot &slot : old) {
        if (slot.text == nullptr)
            continue;
        std::string_view name(slot.text, slot.length);
        size_t index = HashOf(name) & mask;
        while (slots[index].text != nullptr)
            index = (index + 1) & mask;
        slots[index] = slot;
    }
}

const char *vdfNameSet::Store(std::string_view text)
{
    if (blocks.empty() || block_size - block_used < text.size()) {
        // A name longer than a block gets a block of its own size.
        block_size = std::max(name_block_size, text.size());
        blocks.push_back(std::make_unique_for_overwrite<char[]>(block_size));
        block_used = 0;
    }
    char *stored = blocks.back().get() + block_used;
    std::memcpy(stored, text.data(), text.size());
    block_used += text.size();
    return stored;
}

vdfNameSet::const_iterator::const_iterator(const vdfNameSet *set, size_t position) : set(set), position(position)
{
    SkipEmptySlots();
}

void vdfNameSet::const_iterator::SkipEmptySlots()
{
    if (position == 0 && !set->has_empty)
        position = 1;
    while (position != 0 && position <= set->slots.size() && set->slots[position - 1].text == nullptr)
        position++;
}

std::string_view vdfNameSet::const_iterator::operator*() const
{
    if (position == 0)
        return std::string_view();
    const Slot &slot = set->slots[position - 1];
    return std::string_view(slot.text, slot.length);
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
