// Append-only store of trivially copyable nodes addressed by 32-bit index: chunks that never
// move (references stay valid as it grows), small first chunks for small trees.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

template <typename Node> class radix_node_arena
{
    static_assert(std::is_trivially_copyable_v<Node> && std::is_trivially_destructible_v<Node>,
                  "nodes are copied and dropped as plain memory");

public:
    radix_node_arena() = default;
    radix_node_arena(radix_node_arena &&other) noexcept
        : chunks(std::move(other.chunks)), count(std::exchange(other.count, 0))
    {
    }
    radix_node_arena &operator=(radix_node_arena &&other) noexcept
    {
        chunks = std::move(other.chunks);
        count = std::exchange(other.count, 0);
        return *this;
    }
    radix_node_arena(const radix_node_arena &other) : count(0) { append_all(other); }
    radix_node_arena &operator=(const radix_node_arena &other)
    {
        if (this != &other) {
            radix_node_arena copy(other);
            *this = std::move(copy);
        }
        return *this;
    }

    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }

    Node &operator[](uint32_t index) { return at(index); }
    const Node &operator[](uint32_t index) const { return const_cast<radix_node_arena &>(*this).at(index); }
    Node &front() { return at(0); }
    const Node &front() const { return (*this)[0]; }

    // Adds a value-initialised node; strong guarantee.
    void emplace_back()
    {
        const slot where = locate(uint32_t(count));
        if (where.chunk == chunks.size()) {
            chunks.reserve(chunks.size() + 1);
            chunks.push_back(std::make_unique<Node[]>(chunk_size(where.chunk)));
        }
        chunks[where.chunk][where.offset] = Node();
        ++count;
    }
    // Drops the last node (its chunk is kept for the next one).
    void pop_back() { --count; }

private:
    // Chunk c < growing_chunks holds 2^(first_bits + c) nodes; the later ones 2^last_bits each.
    static constexpr unsigned first_bits = 4, last_bits = 12;
    static constexpr unsigned growing_chunks = last_bits - first_bits;

    struct slot {
        std::size_t chunk;
        std::size_t offset;
    };

    static std::size_t chunk_size(std::size_t chunk)
    {
        return std::size_t(1) << (chunk < growing_chunks ? first_bits + chunk : last_bits);
    }

    static slot locate(uint32_t index)
    {
        const uint64_t shifted = uint64_t(index) + (1u << first_bits);
        if (shifted >= (1u << last_bits))
            return {std::size_t(shifted >> last_bits) + growing_chunks - 1,
                    std::size_t(shifted & ((1u << last_bits) - 1))};
        const unsigned high = unsigned(std::bit_width(shifted)) - 1;
        return {high - first_bits, std::size_t(shifted - (uint64_t(1) << high))};
    }

    Node &at(uint32_t index)
    {
        const slot where = locate(index);
        return chunks[where.chunk][where.offset];
    }

    void append_all(const radix_node_arena &other)
    {
        for (std::size_t i = 0; i < other.count; ++i) {
            emplace_back();
            at(uint32_t(i)) = other[uint32_t(i)];
        }
    }

    std::vector<std::unique_ptr<Node[]>> chunks;
    std::size_t count = 0;
};
