// An indicator's intel cache: the entries it completed, keyed by a hash of
// the flow fields its configuration selects, kept across restarts in an
// optional file (cache_file.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/enums.h"
#include "common/intel_entry.h"
#include "indicators/cache/lru_cache.h"
#include "vd_common.h"
#include "vd_flow.h"

namespace vppCache {

using FlowKeys = vdFlags<FlowKey>;

class Store : public vdLRUCache<std::string, vppIntel::Entry>
{
public:
    // Builds the store from an indicator's "cache" object and loads its file.
    // A configuration error is logged (debug) and ends in the capacity
    // error "maxiumum LRU cache size cannot be zero", which fails the
    // indicator. Threads: the worker, before the indicator exists.
    static std::shared_ptr<Store> Create(const std::string &tag, const json &conf);

    // Throws vdException for a max_size of 0.
    Store(const std::string &name, const FlowKeys &flow_keys, int64_t max_age, size_t max_size);
    // Saves the file, if the store has one. Never throws.
    virtual ~Store();

    // The 16-character key of the flow's selected fields. Throws vdException
    // "<name>: invalid IP version: <v>" for a version other than 4 or 6.
    void MakeKey(const vdFlow::Ptr &flow, std::string &key) const;

    // True and out filled when the flow's key is cached. A flow that has no
    // key is a miss, logged. Never throws. Threads: any.
    bool Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &out) noexcept;
    // Caches entry under the flow's key unless the key holds an entry
    // already. A flow that has no key is passed over, logged. Never throws.
    // Threads: any.
    void Insert(const vdFlow::Ptr &flow, const vppIntel::Entry &entry) noexcept;

    // Empties the cache. Only while no other thread uses the store.
    void Invalidate();

    // Reads the file into the emptied cache; the number of entries held
    // afterwards, 0 when nothing was read. Logs every problem; never throws.
    // Only while no other thread uses the store.
    size_t Load();
    // Writes every entry to the file, least recently used first, so that a
    // load restores the order; the number written, 0 on failure or without
    // a file. Logs every problem; never throws.
    size_t Save();

    const std::string &GetName() const { return name; }
    const std::string &GetFilename() const { return filename; }
    FlowKeys GetFlowKeys() const { return flow_keys; }
    int64_t GetMaxAge() const { return max_age; }

private:
    // The key, or false after logging why the flow has none.
    bool KeyOrLog(const vdFlow::Ptr &flow, std::string &key);

    const std::string name;
    std::string filename;   // expanded path; empty: no file
    const int64_t max_age;  // kept from the configuration; nothing expires
    const FlowKeys flow_keys;
    // A load the plug-in's stop cut short keeps the file from being saved
    // over: it holds what the cache lost.
    bool load_cut_short = false;
    // Whether a flow without a key was reported at the operational level.
    std::atomic<bool> reported_keyless{false};
};

}  // namespace vppCache
