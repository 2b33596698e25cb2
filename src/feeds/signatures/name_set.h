// A set of names whose text is kept in a few large blocks rather than one
// allocation per name, indexed by a flat open-addressed table: a lookup
// touches one slot line on a miss (two on a hit) and builds no string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

class vdfNameSet
{
    struct Slot;

public:
    // Visits the empty name (when held) first, then the others in table order.
    class const_iterator
    {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        std::string_view operator*() const;
        const_iterator &operator++();
        const_iterator operator++(int);
        bool operator==(const const_iterator &other) const = default;

    private:
        friend class vdfNameSet;
        const_iterator(const vdfNameSet *set, size_t position);
        void SkipEmptySlots();

        const vdfNameSet *set = nullptr;
        // 0: the empty name; slot i is position i + 1.
        size_t position = 0;
    };

    vdfNameSet() = default;
    vdfNameSet(const vdfNameSet &) = delete;
    vdfNameSet &operator=(const vdfNameSet &) = delete;

    // Adds a copy of name; false when it is there already.
    bool insert(std::string_view name);
    bool contains(std::string_view name) const;
    // Room for count names without growing the table.
    void reserve(size_t count);

    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, slots.size() + 1); }

private:
    // A stored name: its text in a block, its length and the hash bits the
    // slot's position does not already give, compared before the text.
    struct Slot {
        const char *text = nullptr;
        uint32_t length = 0;
        uint32_t fingerprint = 0;
    };

    // The slot holding name, or the empty slot where it would go.
    size_t FindSlot(std::string_view name, uint64_t hash) const;
    void Grow(size_t capacity);
    // Copies text into the current block, starting a new one when it is full.
    const char *Store(std::string_view text);

    std::vector<Slot> slots;  // a power of two in size, at most half full
    size_t count = 0;
    // The empty name has no text to point at: kept apart.
    bool has_empty = false;
    std::vector<std::unique_ptr<char[]>> blocks;
    size_t block_used = 0;
    size_t block_size = 0;
};
