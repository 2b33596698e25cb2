#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "feeds/radix/node_arena.h"

namespace {

struct Cell {
    uint32_t value = 7;
};

// Every index across the growing chunks and the fixed-size ones keeps its own node, in place.
TEST(RadixNodeArena, IndexesStayDistinctAndInPlaceAcrossChunks)
{
    constexpr uint32_t count = 20000;
    radix_node_arena<Cell> arena;
    std::vector<const Cell *> addresses;
    for (uint32_t i = 0; i < count; ++i) {
        arena.emplace_back();
        EXPECT_EQ(arena[i].value, 7u);
        arena[i].value = i;
        addresses.push_back(&arena[i]);
    }
    ASSERT_EQ(arena.size(), count);
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(arena[i].value, i);
        ASSERT_EQ(&arena[i], addresses[i]);
    }

    radix_node_arena<Cell> copy = arena;
    copy[count - 1].value = 0;
    EXPECT_EQ(arena[count - 1].value, count - 1);
    radix_node_arena<Cell> moved = std::move(arena);
    EXPECT_EQ(&moved[12345], addresses[12345]);
    EXPECT_EQ(arena.size(), 0u);

    moved.pop_back();
    moved.emplace_back();
    EXPECT_EQ(moved[count - 1].value, 7u);
}

}  // namespace
