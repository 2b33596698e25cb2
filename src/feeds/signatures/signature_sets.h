// What a data set's file says and how each data type takes its set: header
// members, the elements of every type (applications, names, networks,
// ports, scores, risks) and the rules that fail a whole set. Shared by the
// readers that build sets straight from the parser's events.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "feeds/signatures/velbor_api.h"

namespace vdfSignatureSets {

using TagData = vdfVelborAPI::TagData;
using vppDataFeed::DataType;

// Names an element in messages ("data[3]", "data.key"); the text is made
// only when one is needed.
class ElementName
{
public:
    explicit ElementName(size_t index) : index(index) {}
    explicit ElementName(const std::string &key) : key(&key) {}
    ElementName() = default;

    std::string Text() const;
    std::string Member(const char *member) const { return Text() + "." + member; }

private:
    static constexpr size_t whole = SIZE_MAX;
    size_t index = whole;
    const std::string *key = nullptr;
};

// ---- Headers ---------------------------------------------------------------

// Absent: empty; present, it must be a string.
std::string OptionalString(const json &object, const char *key);
// "label", "data_type" and "score" of a header object.
void ReadHeader(const json &header, TagData &data);
// The digest of "sha1" when it is hexadecimal text of exactly 20 bytes;
// zero otherwise (the digest is informative only).
vppDataFeed::Base::Digest OptionalDigest(const json &object);
// The object less its "data" and "id".
json WithoutDataAndId(const json &object);

// The tag of a legacy record; empty for a record that names none. Throws for
// an "intelligence" that is not an object or a "tag" that is not a string.
std::string LegacyRecordTag(const json &record);
// A header-only legacy entry of a record whose tag LegacyRecordTag gave.
std::unique_ptr<TagData> ReadLegacyHeader(const json &record);

// ---- Sets ------------------------------------------------------------------

// How one data type takes its set. A set that is an array is taken element
// by element as the parser reads it (element, or text for a string when
// the type takes strings directly); any other set is taken whole, in the
// order the JSON library visits it (an object's members in key order).
struct SetRules {
    DataType type;
    void (*element)(TagData &data, const json &element, const ElementName &name, unsigned &count);
    void (*text)(TagData &data, std::string_view text, unsigned &count);
    unsigned (*whole)(TagData &data, const json &set);
};

// The rules of a data type; nullptr for one without a set.
const SetRules *FindSetRules(DataType type);

// ip_port_list members, which come as network and ports: the ports of one
// member (converted as it arrives, or the error that fails the set when it
// is the member kept), and storing the kept ones into the trees.
struct PortMember {
    // The network; neither for a key that is none (passed over, its ports
    // never read).
    std::optional<vdRadixNetworkEntry<32>> key4;
    std::optional<vdRadixNetworkEntry<128>> key6;
    // Held as a plain list until the set is stored: the port sets are then
    // made together, apart from what the reading left behind.
    std::vector<uint16_t> ports;
    std::string error;
};
PortMember ReadPortMember(const std::string &key, const json &value);
// Stores a kept member; false when its key is no network.
bool StorePortMember(TagData &data, PortMember &member);

// The debug line of a set taken whole: "<tag>: loaded N <type> entries."
void LogLoaded(const std::string &name, const TagData &data, unsigned count);

}  // namespace vdfSignatureSets
