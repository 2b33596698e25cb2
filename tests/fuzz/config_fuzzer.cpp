// The configuration file through the plug-in's loader: a first load, then a
// reload. A line "----" splits the input into the first and the reloaded
// document; without one the same document is loaded twice.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "core/plugin.h"
#include "support/fuzz_host.h"

namespace {

constexpr const char *reload_separator = "\n----\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A configuration names cache and list files that are written back.
    vppFuzz::RequireConfinedWrites("config_fuzzer");
    vppFuzz::Host::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host &host = vppFuzz::Host::Get();
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find(reload_separator);
    const std::string first = input.substr(0, split);
    const std::string second =
        split == std::string::npos ? input : input.substr(split + std::char_traits<char>::length(reload_separator));

    const std::string path = host.Path("intel.json");
    vppPlugin plugin("intel", {{"conf_filename", path}});
    host.WriteFile(path, first);
    plugin.Reload();
    host.WriteFile(path, second);
    plugin.Reload();
    return 0;
}
