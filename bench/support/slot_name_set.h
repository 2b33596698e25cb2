// The name set as it was before its tag array, kept as the lookup benchmark's
// baseline: one 16-byte slot per position (text, length, 32 hash bits), at
// most half full, probed directly; text in 256 KiB blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class SlotNameSet
{
public:
    SlotNameSet() = default;
    SlotNameSet(const SlotNameSet &) = delete;
    SlotNameSet &operator=(const SlotNameSet &) = delete;

    bool insert(std::string_view name);
    bool contains(std::string_view name) const;
    size_t size() const { return count; }
    size_t held_bytes() const;

private:
    struct Slot {
        const char *text = nullptr;
        uint32_t length = 0;
        uint32_t fingerprint = 0;
    };

    size_t FindSlot(std::string_view name, uint64_t hash) const;
    void Grow(size_t capacity);
    const char *Store(std::string_view text);

    std::vector<Slot> slots;
    size_t count = 0;
    bool has_empty = false;
    std::vector<std::unique_ptr<char[]>> blocks;
    size_t block_used = 0;
    size_t block_size = 0;
    size_t block_bytes = 0;
};
