#include "common/attr_value.h"

#include "common/json_reader.h"

using vppIntel::AttrValue;

namespace {

json BareValue(const AttrValue &value)
{
    return std::visit(
        [](const auto &v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, float>)
                return static_cast<double>(v);
            else
                return v;
        },
        value);
}

// Index of the alternative the typed value names.
size_t TypedIndex(const json &j)
{
    if (!j.is_object())
        throw vppIntel::AttrTypeError("attribute value is not in the typed form");
    auto type = j.find("type");
    if (type == j.end() || !type->is_string())
        throw vppIntel::AttrTypeError("attribute value has no type name");
    const auto &name = type->get_ref<const std::string &>();
    for (size_t index = 0; index < vppIntel::attr_type_names.size(); index++)
        if (name == vppIntel::attr_type_names[index])
            return index;
    throw vppIntel::AttrTypeError("unknown attribute type: " + name);
}

}  // namespace

void nlohmann::adl_serializer<AttrValue>::to_json(json &j, const AttrValue &value, bool typed)
{
    if (!typed) {
        j = BareValue(value);
        return;
    }
    j = json::object();
    j["type"] = vppIntel::attr_type_names[value.index()];
    j["data"] = BareValue(value);
}

void nlohmann::adl_serializer<AttrValue>::from_json(const json &j, AttrValue &value)
{
    const size_t index = TypedIndex(j);
    const json &data = j.at("data");
    switch (index) {
    case 0:
        value.emplace<0>(data.get<bool>());
        break;
    case 1:
        value.emplace<1>(vppJson::Converted::Float(data, "float attribute"));
        break;
    case 2:
        value.emplace<2>(vppJson::Converted::Int32(data, "int attribute"));
        break;
    case 3:
        value.emplace<3>(data.get<std::string>());
        break;
    default:
        value.emplace<4>(data);
        break;
    }
}
