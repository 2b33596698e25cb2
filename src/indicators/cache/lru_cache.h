// A map bounded to a fixed number of entries that evicts the least recently
// used one, optionally locked for use across threads. Base of the intel cache
// and of the encrypted-DNS prober's server lists.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <mutex>
#include <unordered_map>

#include "vd_common.h"

template <typename K, typename V> class vdLRUCache
{
public:
    // Counts of what the cache did, for statistics and tests.
    struct Counters {
        uint64_t updates = 0;  // inserts of a key already present
        uint64_t inserts = 0;  // inserts that added a key
        uint64_t hits = 0;
        uint64_t misses = 0;
    };

    // Throws vdException for a capacity of 0. With locking, lookups and
    // inserts may come from any thread.
    vdLRUCache(size_t max_entries, bool locking) : max_entries(CheckedCapacity(max_entries)), locking(locking) {}

    vdLRUCache(const vdLRUCache &) = delete;
    vdLRUCache &operator=(const vdLRUCache &) = delete;

    // True and out filled on a hit, which makes the key the most recent;
    // false and out untouched on a miss. The recency list is relinked in
    // place, so only the copy of the value can allocate.
    bool CacheLookup(const K &key, V &out)
    {
        Locked guard(*this);
        auto found = entries.find(key);
        if (found == entries.end()) {
            misses++;
            return false;
        }
        hits++;
        Touch(found->second);
        out = found->second.value;
        return true;
    }

    // Adds key, evicting the least recently used key beyond the capacity;
    // a key already present becomes the most recent and keeps its value
    // unless update is set.
    void CacheInsert(const K &key, const V &value, bool update)
    {
        Locked guard(*this);
        auto found = entries.find(key);
        if (found != entries.end()) {
            updates++;
            Touch(found->second);
            if (update)
                found->second.value = value;
            return;
        }
        inserts++;
        recency.push_front(key);
        try {
            entries.emplace(key, CacheEntry{value, std::time(nullptr), recency.begin()});
        } catch (...) {
            recency.pop_front();
            throw;
        }
        while (entries.size() > max_entries) {
            entries.erase(recency.back());
            recency.pop_back();
        }
    }

    Counters GetCounters() const { return Counters{updates.load(), inserts.load(), hits.load(), misses.load()}; }
    size_t GetMaxEntries() const { return max_entries; }
    // The number of keys held; takes the lock when locking.
    size_t CacheSize() const
    {
        Locked guard(*this);
        return entries.size();
    }

protected:
    struct CacheEntry {
        V value;
        time_t touched = 0;  // wall-clock seconds of the last insert or hit
        typename std::list<K>::iterator position;
    };

    std::atomic<uint64_t> updates{0};
    std::atomic<uint64_t> inserts{0};
    std::atomic<uint64_t> hits{0};
    std::atomic<uint64_t> misses{0};
    const size_t max_entries;
    const bool locking;
    mutable std::mutex lock;
    // Every key once, most recently used first.
    std::list<K> recency;
    std::unordered_map<K, CacheEntry> entries;

private:
    // Holds lock for the scope when the cache is locking.
    class Locked
    {
    public:
        explicit Locked(const vdLRUCache &cache) : guard(cache.lock, std::defer_lock)
        {
            if (cache.locking)
                guard.lock();
        }

    private:
        std::unique_lock<std::mutex> guard;
    };

    static size_t CheckedCapacity(size_t max_entries)
    {
        if (max_entries == 0)
            throw vdException("maxiumum LRU cache size cannot be zero");
        return max_entries;
    }

    // Makes the entry's key the most recent without a new list node.
    void Touch(CacheEntry &entry)
    {
        recency.splice(recency.begin(), recency, entry.position);
        entry.touched = std::time(nullptr);
    }
};
