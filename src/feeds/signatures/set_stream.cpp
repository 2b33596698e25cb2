#include "feeds/signatures/set_stream.h"

#include <malloc.h>

namespace vdfSignatureSets {

SetStream::SetStream(DataType type, const vppJson::Input &input)
    : rules(FindSetRules(type)), input(input), built(std::make_unique<TagData>())
{
    built->data_type = type;
}

void SetStream::Value(json &&value)
{
    if (mode == Mode::failed)
        return;
    if (depth == 0) {
        complete = true;
        null_set = value.is_null();
        if (!null_set && rules != nullptr)
            Guarded([&] { count = rules->whole(*built, value); });
        return;
    }
    if (element) {
        element->Value(std::move(value));
        if (element->Complete())
            Done(element->Take());
        return;
    }
    Done(std::move(value));
}

void SetStream::String(std::string &text)
{
    if (mode == Mode::elements && depth == 1 && rules->text != nullptr) {
        Guarded([&] { rules->text(*built, text, count); });
        index++;
        return;
    }
    if (element) {
        element->String(text);
        if (element->Complete())
            Done(element->Take());
        return;
    }
    Value(json(std::move(text)));
}

void SetStream::Key(std::string &key)
{
    if (mode == Mode::ports && depth == 1)
        member_key = key;
    else if (element)
        element->Key(key);
}

void SetStream::Open(bool is_object)
{
    if (depth++ == 0) {
        Begin(is_object);
        return;
    }
    if (mode == Mode::failed)
        return;
    if (!element)
        element.emplace(vppJson::Keys::last_wins, input);
    if (is_object)
        element->StartObject();
    else
        element->StartArray();
}

void SetStream::Close()
{
    const bool set_ends = --depth == 0;
    // The set's own bracket closes no element, unless the set is built whole.
    if (element && (mode == Mode::whole || !set_ends)) {
        element->EndArray();  // the builder closes either kind alike
        if (element->Complete())
            Done(element->Take());
    }
    if (!set_ends)
        return;
    complete = true;
    if (mode == Mode::ports) {
        Guarded([&] {
            for (auto &[key, member] : port_members)
                count += StorePortMember(*built, member) ? 1 : 0;
        });
        port_members.clear();
        // The members' reading is freed in one stretch, apart from the set
        // now built: give it back rather than keep it for the set's life.
        malloc_trim(0);
    }
}

void SetStream::Begin(bool is_object)
{
    if (rules == nullptr) {
        mode = Mode::failed;
        return;
    }
    if (!is_object && rules->element != nullptr) {
        mode = Mode::elements;
        return;
    }
    if (is_object && built->data_type == DataType::ip_port_list) {
        mode = Mode::ports;
        return;
    }
    mode = Mode::whole;
    element.emplace(vppJson::Keys::last_wins, input);
    if (is_object)
        element->StartObject();
    else
        element->StartArray();
}

void SetStream::Done(json &&taken)
{
    element.reset();
    switch (mode) {
    case Mode::elements:
        Guarded([&] { rules->element(*built, taken, ElementName(index), count); });
        index++;
        return;
    case Mode::ports:
        port_members.insert_or_assign(member_key, ReadPortMember(member_key, taken));
        return;
    case Mode::whole:
        Guarded([&] { count = rules->whole(*built, taken); });
        return;
    default:
        return;
    }
}

template <class Take> void SetStream::Guarded(Take &&take)
{
    try {
        take();
    } catch (const std::exception &e) {
        Fail(e);
    }
}

void SetStream::Fail(const std::exception &e)
{
    // The first failure fails the set; the rest of it is only read past.
    error = e.what();
    mode = Mode::failed;
    element.reset();
    port_members.clear();
}

std::unique_ptr<TagData> SetStream::Finish(const std::string &name)
{
    if (error)
        throw vdException("%s", error->c_str());
    if (!null_set && rules != nullptr)
        LogLoaded(name, *built, count);
    return std::move(built);
}

}  // namespace vdfSignatureSets
