// A signature data file through the signature feed's Build, then lookups of
// sample flows in the data set it built.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "feeds/signatures/velbor_api.h"
#include "support/fuzz_host.h"

namespace {

class SignatureFeed : public vdfVelborAPI
{
public:
    using vdfVelborAPI::Build;
    using vdfVelborAPI::vdfVelborAPI;
};

constexpr const char *tag_name = "fuzzed";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host &host = vppFuzz::Host::Get();
    static const auto flows = vppFuzz::SampleFlows();

    vdfVelborAPI::TagData offered;
    offered.signature.tag = tag_name;
    offered.signature.format = "velbor-dat";
    offered.signature.version = 1;
    offered.signature.encryption = "none";
    offered.signature.path = host.Path("signature.dat");
    host.WriteFile(offered.signature.path, data, size);

    SignatureFeed feed("sig", json::object(), host.Path("no-legacy.json"));
    std::unique_ptr<vdfVelborAPI::TagData> built = feed.Build(tag_name, offered);
    if (!built)
        return 0;
    feed.tags[tag_name] = std::move(built);
    for (const vdFlow::Ptr &flow : flows) {
        vppIntel::Entry entry;
        feed.Lookup(flow, entry, tag_name);
    }
    return 0;
}
