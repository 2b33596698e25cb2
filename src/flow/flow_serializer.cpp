// Writing single values into JSON documents under one- or two-key paths.
// Defines the vdSerializer::serialize overloads the host's vd_flow.h declares.
#include "vd_flow.h"

namespace {

// Paths of one key name a member of out, paths of two keys a member of a
// member object; any other length writes nothing. The member access creates
// missing members and turns null into objects; a non-object value in the way
// raises the JSON library's type error.
template <class V> void Assign(json &out, const vdSerializer::Keys &keys, V &&value)
{
    if (keys.size() == 2)
        out[keys[0]][keys[1]] = std::forward<V>(value);
    else if (keys.size() == 1)
        out[keys[0]] = std::forward<V>(value);
}

}  // namespace

void vdSerializer::serialize(json &out, const Keys &keys, const std::string &value) const
{
    if (!value.empty())
        Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, const std::vector<std::string> &value,
                             const std::string &) const
{
    if (!value.empty())
        Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, const char *value) const
{
    // A null pointer holds no text at all; an empty text is still written.
    if (value != nullptr)
        Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, bool value) const
{
    Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, uint8_t value) const
{
    Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, uint16_t value) const
{
    Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, uint32_t value) const
{
    Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, uint64_t value) const
{
    Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, double value) const
{
    Assign(out, keys, value);
}

void vdSerializer::serialize(json &out, const Keys &keys, const json &value) const
{
    if (value.is_null() || ((value.is_array() || value.is_object()) && value.empty()))
        return;
    Assign(out, keys, value);
}
