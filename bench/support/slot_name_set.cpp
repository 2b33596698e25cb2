#include "support/slot_name_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

namespace {

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

size_t SlotsFor(size_t count)
{
    return std::bit_ceil(std::max(min_slots, count * 2));
}

}  // namespace

size_t SlotNameSet::FindSlot(std::string_view name, uint64_t hash) const
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

bool SlotNameSet::contains(std::string_view name) const
{
    if (name.empty())
        return has_empty;
    if (slots.empty())
        return false;
    return slots[FindSlot(name, HashOf(name))].text != nullptr;
}

bool SlotNameSet::insert(std::string_view name)
{
    if (name.empty()) {
        if (has_empty)
            return false;
        has_empty = true;
        count++;
        return true;
    }
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

size_t SlotNameSet::held_bytes() const
{
    return slots.capacity() * sizeof(Slot) + block_bytes + blocks.capacity() * sizeof(blocks[0]);
}

void SlotNameSet::Grow(size_t capacity)
{
    std::vector<Slot> old(capacity);
    old.swap(slots);
    const size_t mask = slots.size() - 1;
    for (const Slot &slot : old) {
        if (slot.text == nullptr)
            continue;
        size_t index = HashOf(std::string_view(slot.text, slot.length)) & mask;
        while (slots[index].text != nullptr)
            index = (index + 1) & mask;
        slots[index] = slot;
    }
}

const char *SlotNameSet::Store(std::string_view text)
{
    if (blocks.empty() || block_size - block_used < text.size()) {
        block_size = std::max(name_block_size, text.size());
        blocks.push_back(std::make_unique_for_overwrite<char[]>(block_size));
        block_used = 0;
        block_bytes += block_size;
    }
    char *stored = blocks.back().get() + block_used;
    std::memcpy(stored, text.data(), text.size());
    block_used += text.size();
    return stored;
}
