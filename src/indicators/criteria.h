// The conditions under which an indicator reports a flow, read from the
// "criteria" objects of "indicator_defaults" and of the indicator itself.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "velbord.h"

#include "common/intel_entry.h"

class vppCriteria
{
public:
    // The JSON value a driver's user-defined criteria key accepts.
    enum Type : uint32_t { int_array = 0, string_array = 1 };

    explicit vppCriteria(const std::map<std::string, Type> &types);

    // Reads the "criteria" object of j; defaults is true for "indicator_defaults".
    void Load(const std::string &tag, const json &j, bool defaults);
    // Rebuilds values from the loaded criteria; called once after both loads.
    void Update();

    // An empty array is valid; a value that is not an array never is.
    static bool IsValid(Type type, const json &value);
    static const char *GetTypeName(Type type);

    // Copies a user-defined key's value; throws std::out_of_range for a key
    // the driver does not define.
    template <typename T> void Get(const std::string &key, T &out) const { out = custom.at(key).get<T>(); }

    uint32_t min_bytes = 0;
    uint32_t min_score = 0;
    bool trigger_on_east_west = true;
    bool trigger_on_wan = true;
    vppIntel::AttrMap values;
    std::string flow_expr;
    std::map<std::string, Type> types;
    std::map<std::string, json> custom;

private:
    void LoadMember(const std::string &tag, const char *name, const std::string &key, const json &value, bool defaults);
};
