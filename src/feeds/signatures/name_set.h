// A set of names whose text is kept in a few large blocks rather than one
// allocation per name, indexed by a flat open-addressed table split in two
// parallel arrays: 16-bit tags, probed first, and the names' places in the
// blocks. A name that is absent mostly costs one line of tags; a present one
// the tag and slot lines (fetched together), then its text. No string is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

class vdfNameSet
{
public:
    using HashFunction = uint64_t (*)(std::string_view);

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
    // Tests give a hash whose values collide, to reach what a good hash
    // makes rare.
    explicit vdfNameSet(HashFunction hash) : hash(hash) {}
    vdfNameSet(const vdfNameSet &) = delete;
    vdfNameSet &operator=(const vdfNameSet &) = delete;

    // Adds a copy of name; false when it is there already.
    bool insert(std::string_view name);
    bool contains(std::string_view name) const;
    // Room for count names without growing the table.
    void reserve(size_t count);

    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    // Bytes taken from the allocator for the table and the blocks.
    size_t held_bytes() const;
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, capacity + 1); }

private:
    // 0 marks an empty slot; a name's tag is never 0.
    using Tag = uint16_t;

    // Names are appended as records: the name's length, then its text.
    struct Block {
        std::unique_ptr<char[]> bytes;
        size_t used = 0;
        size_t size = 0;
    };

    struct FreeMemory {
        void operator()(void *memory) const { std::free(memory); }
    };

    static uint64_t DefaultHash(std::string_view name);

    // The slot holding name, or the empty slot where it would go.
    size_t FindSlot(std::string_view name, uint64_t name_hash) const;
    void Grow(size_t new_capacity);
    // Puts a stored record in the first empty slot of its probe sequence.
    void Place(const char *record);
    // Appends name's record to the last block, starting a new one when it is full.
    const char *Store(std::string_view name);

    HashFunction hash = DefaultHash;
    // Parallel arrays of capacity entries, a power of two, at most 3/4 full;
    // none until a name other than the empty one is inserted.
    std::unique_ptr<Tag[], FreeMemory> tags;
    std::unique_ptr<const char *[]> slots;  // read only where the tag is not 0
    size_t capacity = 0;
    size_t count = 0;
    // The empty name has no record: kept apart.
    bool has_empty = false;
    std::vector<Block> blocks;
    size_t block_bytes = 0;
};
