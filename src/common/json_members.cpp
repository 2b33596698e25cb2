// Members of the JSON reader: lookups, the "not found or is invalid" debug
// line, required strings and the "enabled" switch.
#include "common/json_reader.h"

namespace vppJson {
namespace {

// The JSON library's own words for a member at() cannot give, which the
// debug lines have always quoted.
std::string MissingMemberText(const json &document, const char *key)
{
    try {
        static_cast<void>(document.at(key));
    } catch (const json::exception &e) {
        return e.what();
    }
    return {};
}

}  // namespace

const json *FindMember(const json &document, const char *key)
{
    if (!document.is_object())
        return nullptr;
    auto member = document.find(key);
    return member == document.end() ? nullptr : &*member;
}

const json *FindMemberOrLog(const std::string &tag, const json &document, const char *key, const char *label)
{
    if (const json *member = FindMember(document, key))
        return member;
    if (vd_log_debug_enabled())
        LogNotFoundOrInvalid(tag, label, MissingMemberText(document, key).c_str());
    return nullptr;
}

void LogNotFoundOrInvalid(const std::string &tag, const char *label, const char *message)
{
    vd_dprintf("%s: %s not found or is invalid: %s\n", tag.c_str(), label, message);
}

const std::string &RequiredString(const std::string &tag, const json &conf, const char *key)
{
    const json *value = FindMember(conf, key);
    if (value == nullptr)
        throw vdException("%s: required %s parameter not found: %s", tag.c_str(), "string", key);
    if (!value->is_string())
        throw vdException("%s: invalid %s parameter type: %s", tag.c_str(), "string", key);
    return value->get_ref<const std::string &>();
}

bool IsDisabled(const json &conf)
{
    const json *enabled = FindMember(conf, "enabled");
    return enabled != nullptr && enabled->is_boolean() && !enabled->get<bool>();
}

}  // namespace vppJson
