#include "indicators/criteria.h"

#include <limits>

#include "common/json_reader.h"
#include "common/text_match.h"

namespace {

using vppTextMatch::EqualsIgnoreCase;

// Criteria values are copied into intel entries as attributes; a number
// beyond the attribute's int stays a JSON number rather than wrapping.
vppIntel::AttrValue IntegerAttr(uint32_t number)
{
    if (number > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
        return json(number);
    return static_cast<int32_t>(number);
}

void LogIgnoredKey(const std::string &tag, const char *name, const std::string &key)
{
    vd_printf("%s: %s: unknown or invalid key ignored: %s (user-defined keys belong in \"attrs\")\n", tag.c_str(), name,
              key.c_str());
}

}  // namespace

vppCriteria::vppCriteria(const std::map<std::string, Type> &types) : types(types)
{
    for (const auto &entry : types)
        custom[entry.first] = json::array();
}

void vppCriteria::Load(const std::string &tag, const json &j, bool defaults)
{
    const char *name = defaults ? "default criteria" : "criteria";

    if (!defaults) {
        for (const auto &entry : types)
            if (vppJson::FindMember(j, entry.first.c_str()) != nullptr)
                throw vdException("%s: %s belongs in \"criteria\".", tag.c_str(), entry.first.c_str());
    }

    const json *configured = vppJson::FindMemberOrLog(tag, j, "criteria", name);
    if (configured == nullptr)
        return;
    auto members = vppJson::ConvertOrLog<std::map<std::string, json>>(tag, *configured, name);
    if (!members)
        return;

    for (const auto &[key, value] : *members) {
        vd_dprintf("%s: %s key: %s\n", tag.c_str(), name, key.c_str());
        LoadMember(tag, name, key, value, defaults);
    }
}

void vppCriteria::LoadMember(const std::string &tag, const char *name, const std::string &key, const json &value,
                             bool defaults)
{
    if (EqualsIgnoreCase(key, "flow_expr")) {
        if (defaults)
            vd_printf("%s: %s: flow_expr is per-indicator only, ignored\n", tag.c_str(), name);
        else if (value.is_string())
            flow_expr = value.get<std::string>();
        else
            LogIgnoredKey(tag, name, key);
        return;
    }

    if (EqualsIgnoreCase(key, "min_bytes")) {
        if (auto number = vppJson::Lenient::Unsigned32(value)) {
            min_bytes = *number;
            return;
        }
    } else if (EqualsIgnoreCase(key, "min_score")) {
        if (auto number = vppJson::Lenient::Unsigned32(value)) {
            min_score = *number;
            return;
        }
    } else if (EqualsIgnoreCase(key, "trigger_on_east_west")) {
        if (value.is_boolean()) {
            trigger_on_east_west = value.get<bool>();
            return;
        }
    } else if (EqualsIgnoreCase(key, "trigger_on_wan")) {
        if (value.is_boolean()) {
            trigger_on_wan = value.get<bool>();
            return;
        }
    }

    auto type = types.find(key);
    if (type != types.end()) {
        if (!IsValid(type->second, value))
            throw vdException("%s: %s: %s must be %s.", tag.c_str(), name, key.c_str(), GetTypeName(type->second));
        custom[key] = value;
        return;
    }

    LogIgnoredKey(tag, name, key);
}

void vppCriteria::Update()
{
    values["min_bytes"] = IntegerAttr(min_bytes);
    values["min_score"] = IntegerAttr(min_score);
    values["trigger_on_east_west"] = trigger_on_east_west;
    values["trigger_on_wan"] = trigger_on_wan;
    for (const auto &[key, value] : custom)
        values[key] = value;
}

bool vppCriteria::IsValid(Type type, const json &value)
{
    if (!value.is_array())
        return false;
    switch (type) {
    case int_array:
        // The drivers read these into sets of int: a wider number would wrap.
        for (const auto &element : value)
            if (!vppJson::Lenient::Int32(element))
                return false;
        return true;
    case string_array:
        for (const auto &element : value)
            if (!element.is_string())
                return false;
        return true;
    }
    return true;
}

const char *vppCriteria::GetTypeName(Type type)
{
    switch (type) {
    case int_array:
        return "an array of integers";
    case string_array:
        return "an array of strings";
    }
    return "unknown";
}
