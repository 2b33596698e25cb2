// Reads the header record of one tag from a legacy intelligence file: a JSON
// array of records, each with an "intelligence" header and a "sha1" digest.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "feeds/data_feed.h"

namespace vppDataFeed {

namespace {

const std::string &RequiredString(const std::string &tag, const json &object, const char *key)
{
    if (!object.is_object() || !object.contains(key))
        throw vdException("%s: required %s parameter not found: %s", tag.c_str(), "string", key);
    const json &value = object.at(key);
    if (!value.is_string())
        throw vdException("%s: invalid %s parameter type: %s", tag.c_str(), "string", key);
    return value.get_ref<const std::string &>();
}

// The file may be damaged: a score that does not fit 32 bits is an error
// rather than a wrapped or undefined conversion.
unsigned ReadScore(const std::string &tag, const json &value)
{
    constexpr uint64_t max = std::numeric_limits<uint32_t>::max();
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_number_unsigned() && value.get<uint64_t>() <= max)
        return static_cast<unsigned>(value.get<uint64_t>());
    if (value.is_number_integer() && !value.is_number_unsigned() && value.get<int64_t>() >= 0 &&
        static_cast<uint64_t>(value.get<int64_t>()) <= max)
        return static_cast<unsigned>(value.get<int64_t>());
    if (value.is_number_float()) {
        double number = value.get<double>();
        if (std::isfinite(number) && number >= 0 && number < static_cast<double>(max) + 1)
            return static_cast<unsigned>(number);
    }
    if (value.is_number())
        throw vdException("%s: %s parameter out of range: %s", tag.c_str(), "unsigned", "score");
    throw vdException("%s: invalid %s parameter type: %s", tag.c_str(), "unsigned", "score");
}

json ParseFile(const std::string &path)
{
    std::ifstream file(path);
    // Whatever the cause, a file that cannot be opened reads as missing.
    if (!file.is_open())
        throw vdException("%s: error loading data feed: %s", path.c_str(), std::strerror(ENOENT));
    try {
        return json::parse(file, nullptr, true, true);
    } catch (const json::exception &e) {
        throw vdException("%s: error loading data feed; JSON exception: %s", path.c_str(), e.what());
    } catch (const std::exception &e) {
        throw vdException("%s: error loading data feed: %s", path.c_str(), e.what());
    }
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
    const json document = ParseFile(path);

    // An array's elements, an object's member values, anything else itself.
    for (const json &record : document) {
        if (!record.is_object() || !record.contains("intelligence"))
            continue;
        const json &header = record.at("intelligence");
        if (RequiredString(tag, header, "tag") != tag)
            continue;

        // Every field is read before any output changes, so a failure leaves
        // the caller's values as they were.
        std::string found_label = RequiredString(tag, header, "label");
        DataType type = GetDataType(RequiredString(tag, header, "data_type"));
        bool has_score = header.contains("score");
        unsigned found_score = has_score ? ReadScore(tag, header.at("score")) : 0;
        Digest found_sha1 = ReadDigest(tag, path, record);

        label = std::move(found_label);
        if (has_score)
            score = found_score;
        sha1 = found_sha1;
        data = header;
        return type;
    }
    return DataType::invalid;
}

}  // namespace vppDataFeed
