// An intel cache file through the store's Load (as an indicator's cache is
// built from its configuration), lookups of sample flows, and the save at
// the end, which must give back every entry the load kept.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "indicators/cache/intel_cache.h"
#include "support/fuzz_host.h"

namespace {

// Seeds are written under these flow keys (other_ip | other_port).
const json cache_conf = {{"flow_keys", {"other_ip", "other_port"}}, {"max_size", 64}};

std::shared_ptr<vppCache::Store> OpenStore(const std::string &path)
{
    json conf = cache_conf;
    conf["filename"] = path;
    return vppCache::Store::Create("cache_fuzz", conf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host &host = vppFuzz::Host::Get();
    static const auto flows = vppFuzz::SampleFlows();

    const std::string path = host.Path("cache.dat");
    host.WriteFile(path, data, size);
    size_t kept = 0;
    {
        std::shared_ptr<vppCache::Store> store = OpenStore(path);
        kept = store->CacheSize();
        for (const vdFlow::Ptr &flow : flows) {
            vppIntel::Entry entry;
            store->Lookup(flow, entry);
        }
    }
    // The store saved its entries as it went; a new one reads them all back.
    const size_t reloaded = OpenStore(path)->CacheSize();
    if (reloaded != kept) {
        std::fprintf(stderr, "intel cache: %zu entries loaded, %zu after a save and a load\n", kept, reloaded);
        std::abort();
    }
    return 0;
}
