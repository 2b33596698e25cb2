// The legacy intelligence file: its headers as the signature feed registers
// them, then every registered tag through Build and lookups of sample flows.
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
    using vdfVelborAPI::LoadLegacyMetadata;
    using vdfVelborAPI::vdfVelborAPI;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host &host = vppFuzz::Host::Get();
    static const auto flows = vppFuzz::SampleFlows();

    const std::string path = host.Path("legacy.json");
    host.WriteFile(path, data, size);
    SignatureFeed feed("sig", json::object(), path);
    vdfVelborAPI::TagMap headers;
    feed.LoadLegacyMetadata(headers);

    for (auto &[name, header] : headers) {
        std::unique_ptr<vdfVelborAPI::TagData> built = feed.Build(name, *header);
        if (built)
            feed.tags[name] = std::move(built);
    }
    for (const auto &[name, entry] : feed.tags) {
        for (const vdFlow::Ptr &flow : flows) {
            vppIntel::Entry found;
            feed.Lookup(flow, found, name);
        }
    }
    return 0;
}
