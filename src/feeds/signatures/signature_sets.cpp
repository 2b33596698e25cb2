// Header members and the elements of every data type, with the rules that
// skip an element or fail its whole set.
#include "feeds/signatures/signature_sets.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/json_reader.h"

namespace vdfSignatureSets {
namespace {

// ---- Numbers ---------------------------------------------------------------

// A number of an unsigned field at most max, converted as the JSON library
// converts it (a fraction dropped, a boolean 1 or 0); a negative value or
// one beyond the field fails with where and the field's name rather than
// wrapping.
uint64_t UnsignedWithin(const json &value, const std::string &where, uint64_t max, const char *field)
{
    return vppJson::Converted::UnsignedAtMost(value, where.c_str(), max, field);
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

// ---- Elements --------------------------------------------------------------

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

// ---- Network prefixes --------------------------------------------------------

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
bool ParsePrefix(std::string_view text, PrefixText &out)
{
    const size_t slash = text.find('/');
    if (!vdAddr::Create(out.addr, std::string(text.substr(0, slash))) || !(out.addr.IsIPv4() || out.addr.IsIPv6()))
        return false;
    out.length = 0;
    if (slash == std::string_view::npos)
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
template <class Store4, class Store6> bool StorePrefix(std::string_view text, Store4 &&store4, Store6 &&store6)
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
std::vector<uint16_t> ToPorts(const json &value, const ElementName &name)
{
    std::vector<uint16_t> ports;
    if (!value.is_array())
        return ports;
    ports.reserve(value.size());
    for (size_t i = 0; i < value.size(); i++)
        ports.push_back(htons(Port(value[i], name.Text() + "[" + std::to_string(i) + "]")));
    return ports;
}

// ---- Data types ----------------------------------------------------------------

// Application and protocol lists: records keyed by their id, a later one
// replacing an earlier one.
template <typename Record, typename Map>
void TakeIdentified(Map &records, const json &element, const ElementName &name, unsigned &count)
{
    auto record = ToIdentified<Record>(element, name);
    records.insert_or_assign(record.id, std::move(record));
    count++;
}

void TakeApplication(TagData &data, const json &element, const ElementName &name, unsigned &count)
{
    TakeIdentified<vdfVelborAPI::App>(data.applications, element, name, count);
}

void TakeProtocol(TagData &data, const json &element, const ElementName &name, unsigned &count)
{
    TakeIdentified<vdfVelborAPI::Protocol>(data.protocols, element, name, count);
}

void TakeScore(std::unordered_map<uint16_t, vdfVelborAPI::Score> &scores, const json &element,
               const ElementName &name, unsigned &count)
{
    auto score = ToScore(element, name);
    scores.insert_or_assign(score.value, std::move(score));
    count++;
}

void TakeTLSCipher(TagData &data, const json &element, const ElementName &name, unsigned &count)
{
    TakeScore(data.tls_ciphers, element, name, count);
}

void TakeTLSVersion(TagData &data, const json &element, const ElementName &name, unsigned &count)
{
    TakeScore(data.tls_versions, element, name, count);
}

void TakeDomainText(TagData &data, std::string_view text, unsigned &count)
{
    data.domains.insert(text);
    count++;
}

void TakeDomain(TagData &data, const json &element, const ElementName &, unsigned &count)
{
    ForEachString(element, [&](const std::string &text) { TakeDomainText(data, text, count); });
}

void TakePrefixText(TagData &data, std::string_view text, unsigned &count)
{
    auto store4 = [&](const Key4 &key) { data.ip4.insert({key, true}); };
    auto store6 = [&](const Key6 &key) { data.ip6.insert({key, true}); };
    if (StorePrefix(text, store4, store6))
        count++;
}

void TakePrefix(TagData &data, const json &element, const ElementName &, unsigned &count)
{
    ForEachString(element, [&](const std::string &text) { TakePrefixText(data, text, count); });
}

// A set taken whole, element by element in the library's order.
template <auto Take> unsigned TakeWhole(TagData &data, const json &set)
{
    unsigned count = 0;
    ForEachElement(set, [&](const json &element, const ElementName &name) { Take(data, element, name, count); });
    return count;
}

unsigned TakePrefixPorts(TagData &data, const json &set)
{
    unsigned count = 0;
    for (auto &member : set.items()) {
        const std::string key = member.key();
        PortMember ports = ReadPortMember(key, member.value());
        if (StorePortMember(data, ports))
            count++;
    }
    return count;
}

unsigned TakeRisk(TagData &data, const json &set)
{
    if (!set.is_object())
        return 0;
    data.risk = OptionalUInt32(set, "risk");
    if (data.risk == 0)
        data.risk = OptionalUInt32(set, "dpi_risk");
    return 1;
}

constexpr SetRules set_rules[] = {
    {DataType::application_list, TakeApplication, nullptr, TakeWhole<TakeApplication>},
    {DataType::domain_list, TakeDomain, TakeDomainText, TakeWhole<TakeDomain>},
    {DataType::ip_list, TakePrefix, TakePrefixText, TakeWhole<TakePrefix>},
    {DataType::ip_port_list, nullptr, nullptr, TakePrefixPorts},
    {DataType::risk, nullptr, nullptr, TakeRisk},
    {DataType::protocol_list, TakeProtocol, nullptr, TakeWhole<TakeProtocol>},
    {DataType::tls_cipher_score_list, TakeTLSCipher, nullptr, TakeWhole<TakeTLSCipher>},
    {DataType::tls_version_score_list, TakeTLSVersion, nullptr, TakeWhole<TakeTLSVersion>},
};

}  // namespace

std::string ElementName::Text() const
{
    if (key != nullptr)
        return "data." + *key;
    return index == whole ? std::string("data") : "data[" + std::to_string(index) + "]";
}

// ---- Headers -------------------------------------------------------------------

std::string OptionalString(const json &object, const char *key)
{
    const json *value = vppJson::FindMember(object, key);
    if (value == nullptr)
        return std::string();
    if (!value->is_string())
        throw vdException("%s: expected a string, found %s", key, value->type_name());
    return value->get<std::string>();
}

void ReadHeader(const json &header, TagData &data)
{
    data.label = OptionalString(header, "label");
    data.data_type = vppDataFeed::Base::GetDataType(OptionalString(header, "data_type"));
    data.score = OptionalUInt32(header, "score");
}

vppDataFeed::Base::Digest OptionalDigest(const json &object)
{
    vppDataFeed::Base::Digest digest{};
    std::string text = OptionalString(object, "sha1");
    std::vector<uint8_t> bytes;
    if (!text.empty() && vd_string_to_sha1(text, bytes) && bytes.size() == digest.size())
        std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
}

json WithoutDataAndId(const json &object)
{
    json metadata = json::object();
    for (auto member = object.begin(); member != object.end(); ++member) {
        if (member.key() != "data" && member.key() != "id")
            metadata[member.key()] = member.value();
    }
    return metadata;
}

std::string LegacyRecordTag(const json &record)
{
    const json *intelligence = vppJson::FindMember(record, "intelligence");
    if (intelligence == nullptr)
        return std::string();
    if (!intelligence->is_object())
        throw vdException("%s: expected an object, found %s", "intelligence", intelligence->type_name());
    return OptionalString(*intelligence, "tag");
}

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

// ---- Sets ------------------------------------------------------------------------

const SetRules *FindSetRules(DataType type)
{
    for (const SetRules &rules : set_rules) {
        if (rules.type == type)
            return &rules;
    }
    return nullptr;
}

PortMember ReadPortMember(const std::string &key, const json &value)
{
    PortMember member;
    auto keep4 = [&](const Key4 &found) { member.key4 = found; };
    auto keep6 = [&](const Key6 &found) { member.key6 = found; };
    if (!StorePrefix(key, keep4, keep6))
        return member;
    try {
        member.ports = ToPorts(value, ElementName(key));
    } catch (const std::exception &e) {
        member.error = e.what();
    }
    return member;
}

bool StorePortMember(TagData &data, PortMember &member)
{
    if (!member.key4 && !member.key6)
        return false;
    if (!member.error.empty())
        throw vdException("%s", member.error.c_str());
    vdfVelborAPI::PortSet ports(member.ports.begin(), member.ports.end());
    if (member.key4)
        data.ip4_ports[*member.key4] = std::move(ports);
    else
        data.ip6_ports[*member.key6] = std::move(ports);
    return true;
}

void LogLoaded(const std::string &name, const TagData &data, unsigned count)
{
    vd_dprintf("%s: loaded %u %s entries.\n", name.c_str(), count,
               vppDataFeed::Base::GetDataTypeName(data.data_type).c_str());
}

}  // namespace vdfSignatureSets
