// Tracking of the signature feed's tags: the table rebuilt at a reload and
// brought up to date at each poll (offered, withdrawn, redefined, changed,
// retried), the lazy first load, the legacy file's serving rule and merge,
// the opening of data files and the tag listings.
#include <exception>
#include <utility>

#include "common/json_reader.h"
#include "feeds/signatures/velbor_api.h"
#include "vd_config.h"

namespace {

// A broken data set or legacy file is tried again after this long, so that
// it costs one attempt per period rather than one per flow.
constexpr int64_t retry_delay_seconds = 300;

constexpr const char *supported_format = "velbor-dat";
constexpr uint32_t supported_version = 1;
constexpr const char *supported_encryption = "none";

vdVelborApiManager &ApiManager()
{
    vdInstance &instance = vdInstance::GetInstance();
    if (!instance.api_manager)
        throw vdException("%s: instance not found", "vdVelborApiManager");
    return *instance.api_manager;
}

int64_t Now()
{
    return static_cast<int64_t>(vd_time_monotonic());
}

bool IsDue(int64_t retry_at)
{
    return retry_at != 0 && Now() >= retry_at;
}

bool FileExists(const std::string &path)
{
    return vd_file_exists(path) == 1;
}

}  // namespace

vdfVelborAPI::vdfVelborAPI(const std::string &tag, const json &, const std::string &data_path)
    : vppDataFeed::Base(tag, "Velbor Intelligence API", vppDataFeed::DataSource::velbor_api,
                        vppDataFeed::DataType::invalid),
      data_path(data_path)
{
}

vdfVelborAPI::~vdfVelborAPI() = default;

void vdfVelborAPI::Reload()
{
    tags.clear();
    try {
        Signatures offered;
        ApiManager().GetIntelSignatures(offered);
        for (const auto &[name, descriptor] : offered)
            tags[name] = CreateSignature(descriptor);
        legacy_served = IsLegacyServed();
        MergeLegacy();
        vd_dprintf("%s: %zu signature(s) offered, %zu tag(s) registered%s.\n", tag.c_str(), offered.size(),
                   tags.size(), legacy_served ? ", legacy file served" : "");
    } catch (const std::exception &e) {
        vd_printf("%s: error loading intelligence signatures: %s\n", tag.c_str(), e.what());
    } catch (...) {
        vd_printf("%s: error loading intelligence signatures: %s\n", tag.c_str(), "unknown exception");
    }
    tags_version++;
}

void vdfVelborAPI::Poll()
{
    try {
        Signatures offered;
        ApiManager().GetIntelSignatures(offered);
        const bool withdrawn = UpdateRegistered(offered);
        bool changed = AddOffered(offered) || withdrawn;
        const bool served = IsLegacyServed();
        if (ShouldMergeLegacy(served, withdrawn)) {
            legacy_served = served;
            changed = MergeLegacy() || changed;
        }
        if (changed)
            tags_version++;
    } catch (const std::exception &e) {
        vd_printf("%s: error polling intelligence signatures: %s\n", tag.c_str(), e.what());
        tags_version++;
    } catch (...) {
        vd_printf("%s: error polling intelligence signatures: %s\n", tag.c_str(), "unknown exception");
        tags_version++;
    }
}

bool vdfVelborAPI::UpdateRegistered(const Signatures &offered)
{
    bool withdrawn = false;
    for (auto it = tags.begin(); it != tags.end();) {
        const std::string &name = it->first;
        std::unique_ptr<TagData> &entry = it->second;
        auto offer = offered.find(name);
        if (entry->legacy && offer != offered.end()) {
            vd_dprintf("%s: %s: signature replaces legacy entry.\n", tag.c_str(), name.c_str());
            entry = CreateSignature(offer->second);
        } else if (entry->legacy) {
            Retry(name, entry);
        } else if (offer != offered.end()) {
            RefreshSignature(name, entry, offer->second);
            Retry(name, entry);
        } else {
            vd_printf("%s: %s: intelligence signature withdrawn.\n", tag.c_str(), name.c_str());
            it = tags.erase(it);
            withdrawn = true;
            continue;
        }
        ++it;
    }
    return withdrawn;
}

bool vdfVelborAPI::AddOffered(const Signatures &offered)
{
    bool added = false;
    for (const auto &[name, descriptor] : offered) {
        if (tags.count(name) != 0)
            continue;
        vd_dprintf("%s: %s: intelligence signature offered.\n", tag.c_str(), name.c_str());
        tags[name] = CreateSignature(descriptor);
        added = true;
    }
    return added;
}

bool vdfVelborAPI::ShouldMergeLegacy(bool served, bool withdrawn) const
{
    // A withdrawn signature may uncover a legacy entry of the same tag.
    if (served != legacy_served || withdrawn)
        return true;
    if (!served)
        return false;
    if (legacy_missing && IsLegacyPresent())
        return true;
    return IsDue(legacy_retry_at);
}

void vdfVelborAPI::RefreshSignature(const std::string &name, std::unique_ptr<TagData> &entry,
                                    const vdVelborApiData::Signature &descriptor)
{
    if (descriptor.definition != entry->signature.definition) {
        vd_dprintf("%s: %s: intelligence signature redefined.\n", tag.c_str(), name.c_str());
        entry = CreateSignature(descriptor);
        return;
    }
    if (descriptor.stamp == entry->signature.stamp)
        return;

    entry->signature = descriptor;
    switch (entry->state) {
    case UNSUPPORTED:
        return;
    case LOADED:
        if (auto rebuilt = Build(name, *entry)) {
            entry = std::move(rebuilt);
            vd_dprintf("%s: %s: reloaded intelligence signature.\n", tag.c_str(), name.c_str());
        } else {
            // The old data set keeps answering until a retry succeeds.
            entry->retry_at = RetryTime();
            vd_printf("%s: %s: keeping previous intelligence data.\n", tag.c_str(), name.c_str());
        }
        return;
    default:
        entry->retry_at = 0;
        entry->state = FileExists(descriptor.path) ? AVAILABLE : MISSING;
        return;
    }
}

void vdfVelborAPI::Retry(const std::string &name, std::unique_ptr<TagData> &entry)
{
    if (!IsDue(entry->retry_at))
        return;
    switch (entry->state) {
    case LOADED:
        if (auto rebuilt = Build(name, *entry)) {
            entry = std::move(rebuilt);
            vd_dprintf("%s: %s: recovered intelligence signature.\n", tag.c_str(), name.c_str());
        } else {
            entry->retry_at = RetryTime();
        }
        return;
    case FAILED:
        // The next lookup loads it again.
        entry->state = AVAILABLE;
        entry->retry_at = 0;
        return;
    default:
        entry->retry_at = 0;
        return;
    }
}

void vdfVelborAPI::LazyLoad(const std::string &name, std::unique_ptr<TagData> &entry)
{
    if (entry->state != AVAILABLE)
        return;
    if (auto built = Build(name, *entry)) {
        entry = std::move(built);
        return;
    }
    entry->state = FAILED;
    entry->retry_at = RetryTime();
}

int64_t vdfVelborAPI::RetryTime()
{
    try {
        return Now() + retry_delay_seconds;
    } catch (const std::exception &) {
        return 0;
    }
}

std::unique_ptr<vdfVelborAPI::TagData> vdfVelborAPI::CreateSignature(
    const vdVelborApiData::Signature &descriptor) const
{
    auto data = std::make_unique<TagData>();
    data->legacy = false;
    data->signature = descriptor;
    if (IsSupported(descriptor)) {
        data->state = FileExists(descriptor.path) ? AVAILABLE : MISSING;
        return data;
    }
    data->state = UNSUPPORTED;
    vd_printf("%s: %s: unsupported intelligence signature: format: %s v%u, encryption: %s\n", tag.c_str(),
              descriptor.tag.c_str(), descriptor.format.c_str(), descriptor.version, descriptor.encryption.c_str());
    return data;
}

bool vdfVelborAPI::IsSupported(const vdVelborApiData::Signature &descriptor)
{
    return descriptor.format == supported_format && descriptor.version == supported_version &&
           descriptor.encryption == supported_encryption;
}

bool vdfVelborAPI::IsLegacyServed()
{
    const vdVelborApiManager &api = ApiManager();
    if (auto intel = api.GetBootstrapData(vdVelborApiData::intel)) {
        auto url = intel->urls.find("intel");
        return url != intel->urls.end() && !url->second.empty();
    }
    if (api.GetBootstrapData(vdVelborApiData::agent))
        return false;
    return api.GetBootstrapData(vdVelborApiData::dev_discovery) == nullptr;
}

bool vdfVelborAPI::IsLegacyPresent() const
{
    return FileExists(data_path);
}

bool vdfVelborAPI::MergeLegacy()
{
    bool changed = false;
    if (!legacy_served) {
        for (auto it = tags.begin(); it != tags.end();) {
            if (it->second->legacy) {
                it = tags.erase(it);
                changed = true;
            } else {
                ++it;
            }
        }
        return changed;
    }

    // Offered signatures, and legacy entries merged before, keep their tags.
    TagMap loaded;
    LoadLegacyMetadata(loaded);
    for (auto &[name, entry] : loaded)
        changed = tags.try_emplace(name, std::move(entry)).second || changed;
    return changed;
}

const std::string &vdfVelborAPI::SignaturePath(const TagData &data)
{
    const vdVelborApiData::Signature &signature = data.signature;
    if (signature.encryption != supported_encryption) {
        throw vdException("%s: unsupported encryption: %s", signature.path.c_str(),
                          signature.encryption.c_str());
    }
    return signature.path;
}

void vdfVelborAPI::GetTags(std::vector<std::string> &out) const
{
    GetTagsByPrefix(out, std::string());
}

void vdfVelborAPI::GetTagsByPrefix(std::vector<std::string> &out, const std::string &prefix) const
{
    out.reserve(out.size() + tags.size());
    for (const auto &[name, entry] : tags) {
        if (name.compare(0, prefix.size(), prefix) == 0)
            out.push_back(name);
    }
}
