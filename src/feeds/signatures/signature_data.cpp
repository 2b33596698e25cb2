// Loading of the signature feed's data sets: a tag's header and set from a
// signature data file or the legacy intelligence file (Build), and the
// legacy file's headers (LoadLegacyMetadata). The sets are built straight
// from the parser's events (signature_readers.h).
#include <malloc.h>

#include <exception>
#include <utility>
#include <vector>

#include "common/json_reader.h"
#include "feeds/legacy_records.h"
#include "feeds/signatures/signature_readers.h"
#include "feeds/signatures/velbor_api.h"

namespace {

using vppDataFeed::DataType;
using TagData = vdfVelborAPI::TagData;
using vdfSignatureSets::SetStream;

// A set's memory is given back by pieces as it is built and replaced; the
// allocator hands back every free page, so a gateway's resident size
// follows the sets it holds.
void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// The header members read into header, moved onto the entry holding the set.
void TakeHeader(TagData &entry, TagData &header)
{
    entry.label = std::move(header.label);
    entry.data_type = header.data_type;
    entry.score = header.score;
    entry.sha1 = header.sha1;
    entry.metadata = std::move(header.metadata);
}

}  // namespace

std::unique_ptr<vdfVelborAPI::TagData> vdfVelborAPI::Build(const std::string &name, const TagData &current)
{
    std::unique_ptr<TagData> built = Load(name, current);
    ReturnFreedMemory();
    return built;
}

std::unique_ptr<vdfVelborAPI::TagData> vdfVelborAPI::Load(const std::string &name, const TagData &current) const
{
    const std::string &path = current.legacy ? data_path : current.signature.path;
    try {
        TagData header;
        std::unique_ptr<SetStream> set =
            current.legacy ? ReadLegacyTag(name, current, header) : ReadSignaturePayload(name, current, header);
        if (header.data_type == DataType::invalid)
            throw vdException("invalid or unsupported data_type");
        std::unique_ptr<TagData> data = set && !set->IsNull() ? set->Finish(name) : std::make_unique<TagData>();
        TakeHeader(*data, header);
        data->legacy = current.legacy;
        data->signature = current.signature;
        data->state = LOADED;
        return data;
    } catch (const vppJson::Stopped &) {
        vd_printf("%s: %s: loading intelligence cut short by the stop: %s\n", tag.c_str(), name.c_str(),
                  path.c_str());
    } catch (const vppJson::ReadError &e) {
        // "path: reason", as an open failure is reported.
        LogLoadFailure(name, path, e.what());
    } catch (const vppJson::DocumentError &e) {
        // The line names the file already.
        LogLoadFailure(name, path, e.Problem().c_str());
    } catch (const std::exception &e) {
        LogLoadFailure(name, path, e.what());
    }
    return nullptr;
}

void vdfVelborAPI::LogLoadFailure(const std::string &name, const std::string &path, const char *why) const
{
    vd_printf("%s: %s: error loading intelligence: %s: %s\n", tag.c_str(), name.c_str(), path.c_str(), why);
}

std::unique_ptr<SetStream> vdfVelborAPI::ReadSignaturePayload(const std::string &name, const TagData &current,
                                                               TagData &header) const
{
    const std::string &path = SignaturePath(current);
    vdfSignatureSets::Payload payload = vdfSignatureSets::ReadPayload(path, max_signature_file_size);
    if (!payload.is_object)
        throw vdException("payload is not an object");

    std::string payload_tag = vdfSignatureSets::OptionalString(payload.metadata, "tag");
    if (!payload_tag.empty() && payload_tag != name)
        vd_dprintf("%s: %s: payload tag differs: %s\n", tag.c_str(), name.c_str(), payload_tag.c_str());
    vdfSignatureSets::ReadHeader(payload.metadata, header);
    header.sha1 = vdfSignatureSets::OptionalDigest(payload.metadata);
    header.metadata = std::move(payload.metadata);
    if (header.data_type == DataType::invalid || !payload.has_data)
        return nullptr;
    if (payload.set && payload.set_type == header.data_type)
        return std::move(payload.set);
    // The data came before its data type (or under another one given later):
    // read the file again for the set alone.
    payload.set.reset();
    return std::move(vdfSignatureSets::ReadPayload(path, max_signature_file_size, header.data_type).set);
}

std::unique_ptr<SetStream> vdfVelborAPI::ReadLegacyTag(const std::string &name, const TagData &current,
                                                        TagData &header) const
{
    vdfSignatureSets::LegacyTag found =
        vdfSignatureSets::ReadLegacyTag(data_path, name, current.data_type);
    // The last usable record of the tag gives both the header and the data,
    // as it gave the header when the metadata was loaded.
    TakeHeader(header, *found.header);
    return std::move(found.set);
}

void vdfVelborAPI::ReadLegacyMetadata(TagMap &out) const
{
    TagMap read;
    // Lines wait for the whole file: a file that fails later loads nothing
    // and says only that. Operational lines are marked true.
    std::vector<std::pair<bool, std::string>> lines;
    vppLegacyFile::ReadHeaders(data_path, [&](const json &record) {
        try {
            std::string name = vdfSignatureSets::LegacyRecordTag(record);
            if (name.empty())
                return;
            auto entry = vdfSignatureSets::ReadLegacyHeader(record);
            if (entry->data_type == DataType::invalid) {
                lines.emplace_back(false, tag + ": " + name + ": unsupported legacy data_type.\n");
                return;
            }
            // The last record of a tag wins.
            read[name] = std::move(entry);
        } catch (const std::exception &e) {
            lines.emplace_back(true, data_path + ": skipping malformed legacy intelligence entry: " + e.what() + "\n");
        }
    });
    for (const auto &[operational, line] : lines) {
        if (operational)
            vd_printf("%s", line.c_str());
        else
            vd_dprintf("%s", line.c_str());
    }
    for (auto &[name, entry] : read)
        out[name] = std::move(entry);
}

void vdfVelborAPI::LoadLegacyMetadata(TagMap &out)
{
    legacy_missing = !IsLegacyPresent();
    legacy_retry_at = 0;
    try {
        ReadLegacyMetadata(out);
    } catch (const vppJson::Stopped &) {
        vd_printf("%s: loading legacy intelligence cut short by the stop: %s\n", tag.c_str(), data_path.c_str());
        return;
    } catch (const std::exception &e) {
        // A missing file is watched for by the poll; an unreadable one is
        // tried again later.
        if (legacy_missing) {
            vd_dprintf("%s: legacy intelligence not loaded: %s\n", tag.c_str(), e.what());
        } else {
            legacy_retry_at = RetryTime();
            vd_printf("%s: legacy intelligence not loaded: %s\n", tag.c_str(), e.what());
        }
        return;
    }
    vd_dprintf("%s: loaded metadata for %zu intelligence entries.\n", data_path.c_str(), out.size());
    ReturnFreedMemory();
}
