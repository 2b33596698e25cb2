// Builds one data set from the parser's events of its "data" value: an
// array's elements as they arrive (a string straight into the name set or
// the trees, any other element as the small document of itself), an
// ip_port_list's members as they arrive, any other set as its document. No
// tree of the whole set is made for the forms data sets come in.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/json_sax.h"
#include "feeds/signatures/signature_sets.h"

namespace vdfSignatureSets {

// Passes over one value, counting its depth.
class Skipper
{
public:
    void Value(json &&) { Scalar(); }
    void String(std::string &) { Scalar(); }
    void StartObject() { depth++; }
    void Key(std::string &) {}
    void EndObject() { Close(); }
    void StartArray() { depth++; }
    void EndArray() { Close(); }
    bool Complete() const { return complete; }

private:
    void Scalar() { complete = depth == 0; }
    void Close() { complete = --depth == 0; }

    size_t depth = 0;
    bool complete = false;
};

class SetStream
{
public:
    // type's rules take the set into a TagData of its own.
    SetStream(DataType type, const vppJson::Input &input);

    void Value(json &&value);
    void String(std::string &text);
    void StartObject() { Open(true); }
    void Key(std::string &key);
    void EndObject() { Close(); }
    void StartArray() { Open(false); }
    void EndArray() { Close(); }

    // Whether the set's value is whole.
    bool Complete() const { return complete; }
    // Whether the value was null: no set at all (no count line).
    bool IsNull() const { return null_set; }
    // The containers built, after the count line; throws the error of the
    // first element that fails the set.
    std::unique_ptr<TagData> Finish(const std::string &name);

private:
    enum class Mode { start, elements, ports, whole, failed };

    void Open(bool is_object);
    void Close();
    void Begin(bool is_object);
    void Done(json &&element);
    void Fail(const std::exception &e);
    template <class Take> void Guarded(Take &&take);

    const SetRules *rules;
    const vppJson::Input &input;
    std::unique_ptr<TagData> built;
    Mode mode = Mode::start;
    size_t depth = 0;
    bool complete = false;
    bool null_set = false;
    unsigned count = 0;
    size_t index = 0;
    // The element or member value being built, or the whole set.
    std::optional<vppJson::ValueBuilder> element;
    std::string member_key;
    // ip_port_list members by key: a key given twice keeps its last value,
    // and members are stored in key order, as the library would visit them.
    std::map<std::string, PortMember> port_members;
    std::optional<std::string> error;
};

}  // namespace vdfSignatureSets
