#include "feeds/cloud/answer_member_reader.h"

#include "common/json_routing.h"

namespace vdfCloudAnswer {
namespace {

// Follows the answer's events: tracks the nesting, names the top-level
// value's type, and routes the events of the wanted member, and only those,
// to a document built into the reading.
class MemberPicker : public vppJson::Routed<MemberPicker>
{
public:
    MemberPicker(const vppJson::Input &input, MemberReading &reading) : input(input), reading(reading) {}

private:
    friend class vppJson::Routed<MemberPicker>;

    template <class Event> bool Route(Event &&event)
    {
        if (!sink.Active())
            return false;
        sink.Forward(event);
        return true;
    }

    void OwnValue(json &&value) { NameRoot(value.type_name()); }
    void OwnString(std::string &) { NameRoot("string"); }
    void OwnOpen(bool is_object)
    {
        NameRoot(is_object ? "object" : "array");
        depth++;
    }
    void OwnClose() { depth--; }
    void OwnKey(const std::string &key)
    {
        // The last of a key given twice wins, as the whole document has it.
        if (depth == 1 && reading.type_name == "object" && key == reading.member.key)
            sink.Build(input, reading.member.value.emplace());
    }

    void NameRoot(const char *type)
    {
        if (depth == 0 && reading.type_name.empty())
            reading.type_name = type;
    }

    const vppJson::Input &input;
    MemberReading &reading;
    vppJson::Sink sink;
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
