// The prober's two server lists (CSV files) through their Load: the input is
// read as the list of servers detected and as the list of servers probed
// without success; each list is then saved and must load back whole.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "indicators/drivers/doh/server_lists.h"
#include "support/fuzz_host.h"

namespace {

constexpr size_t list_capacity = 32;

template <class List> void LoadSaveLoad(const std::string &name, const std::string &path)
{
    List list(list_capacity, path);
    list.Load(name);
    const size_t kept = list.CacheSize();
    if (!list.Save(name))
        return;
    List reloaded(list_capacity, path);
    reloaded.Load(name);
    if (reloaded.CacheSize() != kept) {
        std::fprintf(stderr, "%s: %zu rows loaded, %zu after a save and a load\n", name.c_str(), kept,
                     reloaded.CacheSize());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host &host = vppFuzz::Host::Get();
    const std::string positive = host.Path("doh-positive.csv");
    const std::string negative = host.Path("doh-negative.csv");
    host.WriteFile(positive, data, size);
    host.WriteFile(negative, data, size);
    LoadSaveLoad<vpiDOHScannerFlowCache>("positive", positive);
    LoadSaveLoad<vpiDOHScannerDigestCache>("negative", negative);
    return 0;
}
