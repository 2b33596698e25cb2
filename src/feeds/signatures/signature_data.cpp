// Reading of the signature feed's data sets: a tag's header and data from a
// signature data file or the legacy intelligence file (Build), the legacy
// file's headers (LoadLegacyMetadata), and the typed containers (ParseData).
#include <arpa/inet.h>
#include <malloc.h>

#include <charconv>
#include <cstdint>
#include <exception>
#include <utility>

#include "common/json_reader.h"
#include "feeds/signatures/velbor_api.h"

namespace {

using vppDataFeed::DataType;
using TagData = vdfVelborAPI::TagData;

// A parsed document leaves its memory free but resident, in pages shared
// with what was built from it; a large data set would keep twice its size.
// The allocator hands back every free page.
void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// ---- Header members ----------------------------------------------------------

// Absent: empty; present, it must be a string.
std::string OptionalString(const json &object, const char *key)
{
    const json *value = vppJson::FindMember(object, key);
    if (value == nullptr)
        return std::string();
    if (!value->is_string())
        throw vdException("%s: expected a string, found %s", key, value->type_name());
    return value->get<std::string>();
}

// A number of an unsigned field at most max; fails with where and the
// field's name rather than wrapping or converting out of range.
uint64_t UnsignedWithin(const json &value, const std::string &where, uint64_t max, const char *field)
{
    if (!value.is_number())
        throw vdException("%s: expected a number, found %s", where.c_str(), value.type_name());
    try {
        uint64_t number = vppJson::Strict::UInt64(value, where.c_str());
        if (number <= max)
            return number;
    } catch (const vdException &) {
        // Reported below with the field's own range.
    }
    std::string text;
    vd_json_to_string(value, text);
    throw vdException("%s: %s does not fit %s", where.c_str(), text.c_str(), field);
}

uint32_t UInt32(const json &value, const std::string &where)
{
    return static_cast<uint32_t>(UnsignedWithin(value, where, UINT32_MAX, "an unsigned 32-bit integer"));
}

uint16_t UInt16(const json &value, const std::string &where)
{
    return static_cast<uint16_t>(UnsignedWithin(value, where, UINT16_MAX, "an unsigned 16-bit integer"));
}

uint16_t Port(const json &value, const std::string &where)
{
    return static_cast<uint16_t>(UnsignedWithin(value, where, UINT16_MAX, "a port (0 to 65535)"));
}

// Absent: 0.
uint32_t OptionalUInt32(const json &object, const char *key)
{
    const json *value = vppJson::FindMember(object, key);
    return value == nullptr ? 0 : UInt32(*value, key);
}

// The digest of "sha1" when it is hexadecimal text of exactly 20 bytes;
// zero otherwise (the digest is informative only).
vppDataFeed::Base::Digest OptionalDigest(const json &object)
{
    vppDataFeed::Base::Digest digest{};
    std::string text = OptionalString(object, "sha1");
    std::vector<uint8_t> bytes;
    if (!text.empty() && vd_string_to_sha1(text, bytes) && bytes.size() == digest.size())
        std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
}

// The header members a data set carries, from its header object.
void ReadHeader(const json &header, TagData &data)
{
    data.label = OptionalString(header, "label");
    data.data_type = vppDataFeed::Base::GetDataType(OptionalString(header, "data_type"));
    data.score = OptionalUInt32(header, "score");
}

// The object less its "data" and "id", without copying the data.
json WithoutDataAndId(const json &object)
{
    json metadata = json::object();
    for (auto member = object.begin(); member != object.end(); ++member) {
        if (member.key() != "data" && member.key() != "id")
            metadata[member.key()] = member.value();
    }
    return metadata;
}

// ---- Legacy records ------------------------------------------------------------

// The tag of a legacy record; empty for a record that names none (not an
// object, no "intelligence", no or an empty "tag"). Throws for an
// "intelligence" that is not an object or a "tag" that is not a string.
std::string LegacyRecordTag(const json &record)
{
    const json *intelligence = vppJson::FindMember(record, "intelligence");
    if (intelligence == nullptr)
        return std::string();
    if (!intelligence->is_object())
        throw vdException("%s: expected an object, found %s", "intelligence", intelligence->type_name());
    return OptionalString(*intelligence, "tag");
}

// A header-only legacy entry of a record whose tag LegacyRecordTag gave.
// Throws for members of the wrong type.
std::unique_ptr<TagData> ReadLegacyHeader(const json &record)
{
    const json &intelligence = record["intelligence"];
    auto data = std::make_unique<TagData>();
    data->legacy = true;
    data->state = vdfVelborAPI::AVAILABLE;
    ReadHeader(intelligence, *data);
    data->sha1 = OptionalDigest(record);
    data->metadata = WithoutDataAndId(intelligence);
    return data;
}

// ---- Elements of a data set ------------------------------------------------------

// Names an element in messages ("data[3]", "data.key"); the text is made
// only when one is needed.
class ElementName
{
public:
    explicit ElementName(size_t index) : index(index) {}
    explicit ElementName(const std::string &key) : key(&key) {}
    ElementName() = default;

    std::string Text() const
    {
        if (key != nullptr)
            return "data." + *key;
        return index == whole ? std::string("data") : "data[" + std::to_string(index) + "]";
    }

    std::string Member(const char *member) const { return Text() + "." + member; }

private:
    static constexpr size_t whole = SIZE_MAX;
    size_t index = whole;
    const std::string *key = nullptr;
};

// Calls visit(element, name) for each element of set: an array's items, an
// object's member values in key order, any other value itself.
template <class Visit> void ForEachElement(const json &set, Visit &&visit)
{
    if (set.is_array()) {
        for (size_t i = 0; i < set.size(); i++)
            visit(set[i], ElementName(i));
    } else if (set.is_object()) {
        for (auto member = set.begin(); member != set.end(); ++member)
            visit(member.value(), ElementName(member.key()));
    } else {
        visit(set, ElementName());
    }
}

const json &RequiredMember(const json &element, const ElementName &name, const char *key)
{
    if (!element.is_object())
        throw vdException("%s: expected an object, found %s", name.Text().c_str(), element.type_name());
    const json *value = vppJson::FindMember(element, key);
    if (value == nullptr)
        throw vdException("%s: required member not found: %s", name.Text().c_str(), key);
    return *value;
}

std::string RequiredString(const json &element, const ElementName &name, const char *key)
{
    const json &value = RequiredMember(element, name, key);
    if (!value.is_string())
        throw vdException("%s: expected a string, found %s", name.Member(key).c_str(), value.type_name());
    return value.get<std::string>();
}

uint32_t RequiredUInt32(const json &element, const ElementName &name, const char *key)
{
    return UInt32(RequiredMember(element, name, key), name.Member(key));
}

// Applications and protocols: an id, a tag and a label.
template <class Record> Record ToIdentified(const json &element, const ElementName &name)
{
    Record record;
    record.id = RequiredUInt32(element, name, "id");
    record.tag = RequiredString(element, name, "tag");
    record.label = RequiredString(element, name, "label");
    return record;
}

vdfVelborAPI::Score ToScore(const json &element, const ElementName &name)
{
    vdfVelborAPI::Score score;
    score.value = UInt16(RequiredMember(element, name, "value"), name.Member("value"));
    score.score = RequiredUInt32(element, name, "score");
    score.label = RequiredString(element, name, "label");
    return score;
}

// Calls take(text) with each string of a domain or IP list element: the
// element itself, or the string items of an array. Others are skipped.
template <class Take> void ForEachString(const json &element, Take &&take)
{
    if (element.is_string()) {
        take(element.get_ref<const std::string &>());
        return;
    }
    if (!element.is_array())
        return;
    for (const json &item : element) {
        if (item.is_string())
            take(item.get_ref<const std::string &>());
    }
}

// ---- Network prefixes ------------------------------------------------------------

using Key4 = vdRadixNetworkEntry<32>;
using Key6 = vdRadixNetworkEntry<128>;

// Longer length texts are not lengths at all.
constexpr size_t max_length_digits = 3;

// An address or prefix text: the address, and the length as written (0
// when none is).
struct PrefixText {
    vdAddr addr;
    unsigned length = 0;
};

// Parses "address" or "address/length"; false for text that is not one. The
// length is parsed here rather than by the address parser, so that a length
// beyond the family's is reported as such.
bool ParsePrefix(const std::string &text, PrefixText &out)
{
    size_t slash = text.find('/');
    if (!vdAddr::Create(out.addr, text.substr(0, slash)) || !(out.addr.IsIPv4() || out.addr.IsIPv6()))
        return false;
    out.length = 0;
    if (slash == std::string::npos)
        return true;
    const char *begin = text.data() + slash + 1;
    const char *end = text.data() + text.size();
    if (begin == end || size_t(end - begin) > max_length_digits)
        return false;
    auto [stop, error] = std::from_chars(begin, end, out.length);
    return error == std::errc() && stop == end;
}

// The stored key of an IPv4 prefix; a length of 0 means the whole address.
bool MakeKey4(const PrefixText &prefix, Key4 &key)
{
    return Key4::CreateIPv4(key, prefix.addr.GetIPv4(), prefix.length);
}

// The stored key of an IPv6 prefix, by the key builder's own rules.
bool MakeKey6(PrefixText prefix, Key6 &key)
{
    if (prefix.length > UINT8_MAX) {
        vd_dprintf("Invalid radix address prefix length.\n");
        return false;
    }
    prefix.addr.prefix_length = static_cast<uint8_t>(prefix.length);
    return Key6::Create(key, prefix.addr);
}

// Stores text by the prefix rule through store(key4) or store(key6); false
// when it is skipped.
template <class Store4, class Store6> bool StorePrefix(const std::string &text, Store4 &&store4, Store6 &&store6)
{
    PrefixText prefix;
    if (!ParsePrefix(text, prefix))
        return false;
    if (prefix.addr.IsIPv4()) {
        Key4 key;
        if (!MakeKey4(prefix, key))
            return false;
        store4(key);
        return true;
    }
    Key6 key;
    if (!MakeKey6(prefix, key))
        return false;
    store6(key);
    return true;
}

// The ports of an ip_port_list value, in network byte order; a value that
// is not an array lists none.
vdfVelborAPI::PortSet ToPorts(const json &value, const ElementName &name)
{
    vdfVelborAPI::PortSet ports;
    if (!value.is_array())
        return ports;
    for (size_t i = 0; i < value.size(); i++)
        ports.insert(htons(Port(value[i], name.Text() + "[" + std::to_string(i) + "]")));
    return ports;
}

// ---- Data types --------------------------------------------------------------------

// Fills the data type's containers from set; returns the count it logs.
using SetLoader = unsigned (*)(TagData &data, const json &set);

// Application and protocol lists: records keyed by their id, a later one
// replacing an earlier one.
template <typename Record, typename Map> unsigned LoadIdentified(Map &records, const json &set)
{
    unsigned count = 0;
    ForEachElement(set, [&](const json &element, const ElementName &name) {
        auto record = ToIdentified<Record>(element, name);
        records.insert_or_assign(record.id, std::move(record));
        count++;
    });
    return count;
}

unsigned LoadApplications(TagData &data, const json &set)
{
    return LoadIdentified<vdfVelborAPI::App>(data.applications, set);
}

unsigned LoadProtocols(TagData &data, const json &set)
{
    return LoadIdentified<vdfVelborAPI::Protocol>(data.protocols, set);
}

unsigned LoadScores(std::unordered_map<uint16_t, vdfVelborAPI::Score> &scores, const json &set)
{
    unsigned count = 0;
    ForEachElement(set, [&](const json &element, const ElementName &name) {
        auto score = ToScore(element, name);
        scores.insert_or_assign(score.value, std::move(score));
        count++;
    });
    return count;
}

unsigned LoadTLSCiphers(TagData &data, const json &set)
{
    return LoadScores(data.tls_ciphers, set);
}

unsigned LoadTLSVersions(TagData &data, const json &set)
{
    return LoadScores(data.tls_versions, set);
}

unsigned LoadDomains(TagData &data, const json &set)
{
    if (set.is_array())
        data.domains.reserve(set.size());
    unsigned count = 0;
    ForEachElement(set, [&](const json &element, const ElementName &) {
        ForEachString(element, [&](const std::string &name) {
            data.domains.insert(name);
            count++;
        });
    });
    return count;
}

unsigned LoadPrefixes(TagData &data, const json &set)
{
    unsigned count = 0;
    auto store4 = [&](const Key4 &key) { data.ip4.insert({key, true}); };
    auto store6 = [&](const Key6 &key) { data.ip6.insert({key, true}); };
    ForEachElement(set, [&](const json &element, const ElementName &) {
        ForEachString(element, [&](const std::string &text) {
            if (StorePrefix(text, store4, store6))
                count++;
        });
    });
    return count;
}

unsigned LoadPrefixPorts(TagData &data, const json &set)
{
    unsigned count = 0;
    for (auto &member : set.items()) {
        const std::string key_text = member.key();
        ElementName name(key_text);
        auto store4 = [&](const Key4 &key) { data.ip4_ports[key] = ToPorts(member.value(), name); };
        auto store6 = [&](const Key6 &key) { data.ip6_ports[key] = ToPorts(member.value(), name); };
        if (StorePrefix(key_text, store4, store6))
            count++;
    }
    return count;
}

unsigned LoadRisk(TagData &data, const json &set)
{
    if (!set.is_object())
        return 0;
    data.risk = OptionalUInt32(set, "risk");
    if (data.risk == 0)
        data.risk = OptionalUInt32(set, "dpi_risk");
    return 1;
}

struct SetLoaderRow {
    DataType type;
    SetLoader load;
};

constexpr SetLoaderRow set_loaders[] = {
    {DataType::application_list, LoadApplications},
    {DataType::domain_list, LoadDomains},
    {DataType::ip_list, LoadPrefixes},
    {DataType::ip_port_list, LoadPrefixPorts},
    {DataType::risk, LoadRisk},
    {DataType::protocol_list, LoadProtocols},
    {DataType::tls_cipher_score_list, LoadTLSCiphers},
    {DataType::tls_version_score_list, LoadTLSVersions},
};

SetLoader FindSetLoader(DataType type)
{
    for (const SetLoaderRow &row : set_loaders) {
        if (row.type == type)
            return row.load;
    }
    return nullptr;
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
    auto data = std::make_unique<TagData>();
    data->legacy = current.legacy;
    data->signature = current.signature;
    try {
        json set = current.legacy ? ReadLegacyTag(name, *data) : ReadSignaturePayload(name, *data);
        if (data->data_type == DataType::invalid)
            throw vdException("invalid or unsupported data_type");
        if (!set.is_null())
            ParseData(name, *data, set);
        data->state = LOADED;
        return data;
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

json vdfVelborAPI::ReadSignaturePayload(const std::string &name, TagData &data) const
{
    json payload = ParseSignature(data);
    if (!payload.is_object())
        throw vdException("payload is not an object");

    std::string payload_tag = OptionalString(payload, "tag");
    if (!payload_tag.empty() && payload_tag != name)
        vd_dprintf("%s: %s: payload tag differs: %s\n", tag.c_str(), name.c_str(), payload_tag.c_str());
    ReadHeader(payload, data);
    data.sha1 = OptionalDigest(payload);

    // The set is moved out of the document, never copied.
    json set;
    auto member = payload.find("data");
    if (member != payload.end()) {
        set = std::move(*member);
        payload.erase(member);
    }
    payload.erase("id");
    data.metadata = std::move(payload);
    return set;
}

json vdfVelborAPI::ReadLegacyTag(const std::string &name, TagData &data) const
{
    json document = ParseLegacy();

    // The last usable record of the tag gives both the header and the data,
    // as it gave the header when the metadata was loaded.
    json *chosen = nullptr;
    std::unique_ptr<TagData> header;
    for (json &record : document) {
        try {
            if (LegacyRecordTag(record) != name)
                continue;
            auto candidate = ReadLegacyHeader(record);
            if (candidate->data_type == DataType::invalid)
                continue;
            chosen = &record;
            header = std::move(candidate);
        } catch (const std::exception &) {
            // Reported when the metadata was loaded.
        }
    }
    if (chosen == nullptr)
        throw vdException("not found");

    data.label = std::move(header->label);
    data.data_type = header->data_type;
    data.score = header->score;
    data.sha1 = header->sha1;
    data.metadata = std::move(header->metadata);
    json &intelligence = (*chosen)["intelligence"];
    auto member = intelligence.find("data");
    return member == intelligence.end() ? json() : std::move(*member);
}

void vdfVelborAPI::LoadLegacyMetadata(TagMap &out)
{
    legacy_missing = !IsLegacyPresent();
    legacy_retry_at = 0;

    json document;
    try {
        document = ParseLegacy();
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

    for (const json &record : document) {
        try {
            std::string name = LegacyRecordTag(record);
            if (name.empty())
                continue;
            auto entry = ReadLegacyHeader(record);
            if (entry->data_type == DataType::invalid) {
                vd_dprintf("%s: %s: unsupported legacy data_type.\n", tag.c_str(), name.c_str());
                continue;
            }
            // The last record of a tag wins.
            out[name] = std::move(entry);
        } catch (const std::exception &e) {
            vd_printf("%s: skipping malformed legacy intelligence entry: %s\n", data_path.c_str(), e.what());
        }
    }
    vd_dprintf("%s: loaded metadata for %zu intelligence entries.\n", data_path.c_str(), out.size());
    document = json();
    ReturnFreedMemory();
}

void vdfVelborAPI::ParseData(const std::string &name, TagData &data, const json &set)
{
    SetLoader load = FindSetLoader(data.data_type);
    if (load == nullptr)
        return;
    unsigned count = load(data, set);
    vd_dprintf("%s: loaded %u %s entries.\n", name.c_str(), count, GetDataTypeName(data.data_type).c_str());
}
