#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "indicators/cache/lru_cache.h"
#include "support/error_text.h"

namespace {

// An integer-keyed cache that shows its recency list and checks that the
// map and the list agree.
class ProbeCache : public vdLRUCache<int, std::string>
{
public:
    using vdLRUCache::vdLRUCache;

    // Keys, most recently used first.
    std::vector<int> Recency()
    {
        std::lock_guard<std::mutex> guard(lock);
        return {recency.begin(), recency.end()};
    }

    // Empty when every key is once in both, each entry designates its own
    // node, and the bound holds; else what is wrong.
    std::string Inconsistency()
    {
        std::lock_guard<std::mutex> guard(lock);
        if (recency.size() != entries.size())
            return "list of " + std::to_string(recency.size()) + " keys, map of " + std::to_string(entries.size());
        if (entries.size() > max_entries)
            return "over capacity";
        std::unordered_set<int> seen;
        for (auto node = recency.begin(); node != recency.end(); ++node) {
            auto found = entries.find(*node);
            if (found == entries.end())
                return "key " + std::to_string(*node) + " listed without an entry";
            if (found->second.position != node)
                return "entry " + std::to_string(*node) + " designates another node";
            if (!seen.insert(*node).second)
                return "key " + std::to_string(*node) + " listed twice";
        }
        return "";
    }
};

struct Op {
    enum Kind { insert, update, lookup } kind;
    int key;
    // Inserted value; for a lookup the value expected, "" for a miss.
    std::string value;
};

struct Sequence {
    std::string what;
    size_t capacity;
    std::vector<Op> ops;
    std::vector<int> recency;  // afterwards, most recent first
    std::vector<std::pair<int, std::string>> values;
    vdLRUCache<int, std::string>::Counters counters;
};

Op Insert(int key, std::string value) { return {Op::insert, key, std::move(value)}; }
Op Update(int key, std::string value) { return {Op::update, key, std::move(value)}; }
Op Hit(int key, std::string value) { return {Op::lookup, key, std::move(value)}; }
Op Miss(int key) { return {Op::lookup, key, ""}; }

TEST(LRUCache, OperationSequences)
{
    const std::vector<Sequence> sequences = {
        {"capacity 1: the second key evicts the first",
         1,
         {Insert(1, "a"), Insert(2, "b"), Miss(1), Hit(2, "b")},
         {2},
         {{2, "b"}},
         {0, 2, 1, 1}},
        {"capacity 2: a lookup protects its key from eviction",
         2,
         {Insert(1, "a"), Insert(2, "b"), Hit(1, "a"), Insert(3, "c"), Miss(2)},
         {3, 1},
         {{1, "a"}, {3, "c"}},
         {0, 3, 1, 1}},
        {"an insert of a present key refreshes it, keeps its value, evicts nothing",
         2,
         {Insert(1, "a"), Insert(2, "b"), Insert(1, "z"), Insert(3, "c")},
         {3, 1},
         {{1, "a"}, {3, "c"}},
         {1, 3, 0, 0}},
        {"an insert with update replaces the value",
         2,
         {Insert(1, "a"), Update(1, "z"), Hit(1, "z")},
         {1},
         {{1, "z"}},
         {1, 1, 1, 0}},
        {"evictions follow the order of use, not of insertion",
         3,
         {Insert(1, "a"), Insert(2, "b"), Insert(3, "c"), Hit(1, "a"), Hit(2, "b"), Insert(4, "d"), Insert(5, "e")},
         {5, 4, 2},
         {{2, "b"}, {4, "d"}, {5, "e"}},
         {0, 5, 2, 0}},
        {"a miss changes no order",
         2,
         {Insert(1, "a"), Insert(2, "b"), Miss(9), Insert(3, "c")},
         {3, 2},
         {{2, "b"}, {3, "c"}},
         {0, 3, 0, 1}},
    };
    for (const auto &s : sequences) {
        ProbeCache cache(s.capacity, true);
        for (const auto &op : s.ops) {
            if (op.kind != Op::lookup) {
                cache.CacheInsert(op.key, op.value, op.kind == Op::update);
                continue;
            }
            std::string out = "untouched";
            const bool hit = cache.CacheLookup(op.key, out);
            EXPECT_EQ(hit, !op.value.empty()) << s.what << ": key " << op.key;
            EXPECT_EQ(out, hit ? op.value : "untouched") << s.what << ": key " << op.key;
        }
        EXPECT_EQ(cache.Recency(), s.recency) << s.what;
        EXPECT_EQ(cache.Inconsistency(), "") << s.what;
        for (const auto &[key, value] : s.values) {
            std::string out;
            EXPECT_TRUE(cache.CacheLookup(key, out) && out == value) << s.what << ": key " << key;
        }
        const auto counters = cache.GetCounters();
        EXPECT_EQ(counters.updates, s.counters.updates) << s.what;
        EXPECT_EQ(counters.inserts, s.counters.inserts) << s.what;
        EXPECT_EQ(counters.hits, s.counters.hits + s.values.size()) << s.what;
        EXPECT_EQ(counters.misses, s.counters.misses) << s.what;
    }
}

TEST(LRUCache, ZeroCapacityIsRefused)
{
    EXPECT_EQ(ErrorText([] { vdLRUCache<int, int>(0, true); }), "maxiumum LRU cache size cannot be zero");
    EXPECT_EQ(ErrorText([] { vdLRUCache<unsigned long, bool>(0, false); }), "maxiumum LRU cache size cannot be zero");
    EXPECT_EQ(ErrorText([] { vdLRUCache<unsigned long, bool>(1, false); }), "");
}

// Threads look up and insert over more keys than fit while a checker walks
// the cache under its lock: the map and the list never disagree, and every
// call is counted once.
TEST(LRUCache, ThreadsKeepTheMapAndTheListInStep)
{
    constexpr int threads = 4;
    constexpr int calls_per_thread = 20000;
    constexpr int key_range = 48;
    ProbeCache cache(16, true);
    std::atomic<bool> done{false};
    std::atomic<int> lookups{0};
    std::atomic<int> inserts{0};
    std::string first_inconsistency;

    std::thread checker([&] {
        while (!done.load() && first_inconsistency.empty())
            first_inconsistency = cache.Inconsistency();
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            std::mt19937 random(t);
            std::uniform_int_distribution<int> key(0, key_range - 1);
            for (int call = 0; call < calls_per_thread; call++) {
                const int k = key(random);
                if (random() % 2 == 0) {
                    std::string out;
                    if (cache.CacheLookup(k, out)) {
                        EXPECT_EQ(out, std::to_string(k));
                    }
                    lookups++;
                } else {
                    cache.CacheInsert(k, std::to_string(k), random() % 4 == 0);
                    inserts++;
                }
            }
        });
    }
    for (auto &worker : workers)
        worker.join();
    done = true;
    checker.join();

    EXPECT_EQ(first_inconsistency, "");
    EXPECT_EQ(cache.Inconsistency(), "");
    EXPECT_EQ(cache.CacheSize(), 16u);
    const auto counters = cache.GetCounters();
    EXPECT_EQ(counters.hits + counters.misses, uint64_t(lookups.load()));
    EXPECT_EQ(counters.inserts + counters.updates, uint64_t(inserts.load()));
}

}  // namespace
