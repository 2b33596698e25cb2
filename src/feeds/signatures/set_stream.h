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

#include "common/json_routing.h"
#include "feeds/signatures/signature_sets.h"

namespace vdfSignatureSets {

class SetStream : public vppJson::ValueStream
{
public:
    // type's rules take the set into a TagData of its own.
    SetStream(DataType type, const vppJson::Input &input);

    void Value(json &&value) override;
    void String(std::string &text) override;
    void StartObject() override { Open(true); }
    void Key(std::string &key) override;
    void EndObject() override { Close(); }
    void StartArray() override { Open(false); }
    void EndArray() override { Close(); }

    // Whether the set's value is whole.
    bool Complete() const override { return complete; }
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
