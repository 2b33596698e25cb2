// Reads the header record of one tag from the legacy intelligence file,
// through the file's one reader (feeds/legacy_records.h).
#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

#include "common/json_reader.h"
#include "feeds/data_feed.h"
#include "feeds/legacy_records.h"

namespace vppDataFeed {

namespace {

using vppJson::RequiredString;

// A boolean counts as 0 or 1 and a fraction is dropped, but a score that
// does not fit 32 bits is an error rather than a wrapped conversion.
unsigned ReadScore(const std::string &tag, const json &value)
{
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (auto number = vppJson::Lenient::Unsigned32Truncated(value))
        return *number;
    if (value.is_number())
        throw vdException("%s: %s parameter out of range: %s", tag.c_str(), "unsigned", "score");
    throw vdException("%s: invalid %s parameter type: %s", tag.c_str(), "unsigned", "score");
}

// The record of the first header naming tag. A header read before it that
// names no tag fails the read, after the whole file was read.
json FindRecord(const std::string &tag, const std::string &path)
{
    std::optional<json> found;
    std::exception_ptr failure;
    auto visit = [&](const json &record) {
        if (found || failure)
            return;
        try {
            const json *header = vppJson::FindMember(record, "intelligence");
            if (header != nullptr && RequiredString(tag, *header, "tag") == tag)
                found = record;
        } catch (...) {
            failure = std::current_exception();
        }
    };
    try {
        vppLegacyFile::ReadHeaders(path, visit);
    } catch (const vppJson::SyntaxError &e) {
        throw vdException("%s: error loading data feed; JSON exception: %s", path.c_str(), e.Problem().c_str());
    } catch (const vppJson::DocumentError &e) {
        // Missing, refused (not a regular file, too large) or badly structured.
        throw vdException("%s: error loading data feed: %s", path.c_str(), e.Problem().c_str());
    } catch (const std::exception &e) {
        throw vdException("%s: error loading data feed: %s", path.c_str(), e.what());
    }
    if (failure)
        std::rethrow_exception(failure);
    return found ? std::move(*found) : json();
}

Base::Digest ReadDigest(const std::string &tag, const std::string &path, const json &record)
{
    std::vector<uint8_t> bytes;
    if (!vd_string_to_sha1(RequiredString(tag, record, "sha1"), bytes))
        throw vdException("%s: error loading data feed; sha1 not found: %s", path.c_str(), tag.c_str());
    Base::Digest digest;
    if (bytes.size() != digest.size())
        throw vdException("%s: error loading data feed; sha1 length mismatch: %s", path.c_str(), tag.c_str());
    std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
}

}  // namespace

DataType Base::LoadHeader(const std::string &tag, json &data, const std::string &path, std::string &label,
                          unsigned &score, Digest &sha1)
{
    const json record = FindRecord(tag, path);
    if (record.is_null())
        return DataType::invalid;
    const json &header = record["intelligence"];

    // Every field is read before any output changes, so a failure leaves
    // the caller's values as they were.
    std::string found_label = RequiredString(tag, header, "label");
    DataType type = GetDataType(RequiredString(tag, header, "data_type"));
    const json *configured_score = vppJson::FindMember(header, "score");
    bool has_score = configured_score != nullptr;
    unsigned found_score = has_score ? ReadScore(tag, *configured_score) : 0;
    Digest found_sha1 = ReadDigest(tag, path, record);

    label = std::move(found_label);
    if (has_score)
        score = found_score;
    sha1 = found_sha1;
    data = header;
    return type;
}

}  // namespace vppDataFeed
