#include "indicators/cache/cache_record.h"

#include "vd_common.h"

namespace vppCache {

std::string RenderRecord(const vppIntel::Entry &entry)
{
    json document;
    vppIntel::Entry::to_json(document, entry, true);
    std::string text;
    vd_json_to_string(document, text);
    return text;
}

vppIntel::Entry ParseRecord(const std::string &key, const std::string &text, const std::string &tag)
{
    uint64_t digest = 0;
    if (!vd_string_to_xxh64(key, digest))
        throw vdException("key is not %zu hexadecimal digits", record_key_size);
    vppIntel::Entry entry;
    vppIntel::Entry::from_json(text, entry);
    // A file shared by two indicators holds the other one's findings.
    if (entry.indicator != tag)
        throw vdException("entry of indicator \"%s\", not \"%s\"", entry.indicator.c_str(), tag.c_str());
    return entry;
}

}  // namespace vppCache
