#include "feeds/cloud/answer_member_reader.h"

#include <optional>
#include <utility>

#include "common/json_sax.h"

namespace vdfCloudAnswer {
namespace {

// Follows the answer's events: tracks the nesting, names the top-level
// value's type, and hands the events of the wanted member, and only those,
// to a document builder.
class MemberPicker
{
public:
    MemberPicker(const vppJson::Input &input, MemberReading &reading) : input(input), reading(reading) {}

    void Value(json &&value)
    {
        if (builder)
            return Forward([&] { builder->Value(std::move(value)); });
        NameRoot(value.type_name());
    }
    void String(std::string &text)
    {
        if (builder)
            return Forward([&] { builder->String(text); });
        NameRoot("string");
    }
    void StartObject()
    {
        if (builder)
            return Forward([&] { builder->StartObject(); });
        NameRoot("object");
        depth++;
    }
    void Key(std::string &key)
    {
        if (builder)
            return Forward([&] { builder->Key(key); });
        // The last of a key given twice wins, as the whole document has it.
        if (depth == 1 && reading.type_name == "object" && key == reading.member.key)
            builder.emplace(vppJson::Keys::last_wins, input);
    }
    void EndObject()
    {
        if (builder)
            return Forward([&] { builder->EndObject(); });
        depth--;
    }
    void StartArray()
    {
        if (builder)
            return Forward([&] { builder->StartArray(); });
        NameRoot("array");
        depth++;
    }
    void EndArray()
    {
        if (builder)
            return Forward([&] { builder->EndArray(); });
        depth--;
    }

private:
    template <class Event> void Forward(Event &&event)
    {
        event();
        if (!builder->Complete())
            return;
        reading.member.value = builder->Take();
        builder.reset();
    }

    void NameRoot(const char *type)
    {
        if (depth == 0 && reading.type_name.empty())
            reading.type_name = type;
    }

    const vppJson::Input &input;
    MemberReading &reading;
    std::optional<vppJson::ValueBuilder> builder;
    size_t depth = 0;
};

}  // namespace

MemberReading ReadMember(std::string_view text, const std::string &source, const std::string &key)
{
    MemberReading reading;
    reading.member.key = key;
    vppJson::Input input(text, source);
    MemberPicker picker(input, reading);
    vppJson::Parse(input, picker, vppJson::Comments::allowed);
    return reading;
}

}  // namespace vdfCloudAnswer
