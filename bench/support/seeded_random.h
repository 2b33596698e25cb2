// A seeded random source for the benchmarks' generated data sets. The engine
// is fully specified by the standard and every draw is done by hand, so a
// seed gives the same sets with any standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

class SeededRandom
{
public:
    explicit SeededRandom(uint64_t seed) : engine(seed) {}
    uint64_t Next() { return engine(); }
    uint64_t Below(uint64_t bound) { return engine() % bound; }
    bool Percent(unsigned percent) { return Below(100) < percent; }
    bool PerMille(unsigned per_mille) { return Below(1000) < per_mille; }
    template <typename Items> const auto &Pick(const Items &items) { return items[Below(std::size(items))]; }
    // An item of a non-empty table drawn by its weight (weight_of(item)).
    template <typename Table, typename WeightOf> const auto &PickWeighted(const Table &table, WeightOf weight_of)
    {
        uint64_t total = 0;
        for (const auto &item : table)
            total += weight_of(item);
        uint64_t draw = Below(total);
        for (const auto &item : table) {
            if (draw < weight_of(item))
                return item;
            draw -= weight_of(item);
        }
        return *std::prev(std::end(table));
    }
    template <typename Item> void Shuffle(std::vector<Item> &items)
    {
        for (std::size_t i = items.size(); i > 1; --i)
            std::swap(items[i - 1], items[Below(i)]);
    }

private:
    std::mt19937_64 engine;
};
