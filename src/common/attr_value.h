// A typed attribute of an intel entry or an indicator, and its two JSON
// forms: bare (the value itself, for payloads) and typed
// ({"type": name, "data": value}, for the intel cache file).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "vd_common.h"

namespace vppIntel {

using AttrValue = std::variant<bool, float, int32_t, std::string, json>;
using AttrMap = std::map<std::string, AttrValue>;

// Type names of the typed form, by alternative index. Stored in cache files,
// so they never change.
inline constexpr std::array<std::string_view, 5> attr_type_names = {"bool", "float", "int", "std::string",
                                                                    "nlohmann::basic_json<>"};
static_assert(attr_type_names.size() == std::variant_size_v<AttrValue>);

// A value not in the typed form, or with a type name that is not one of the
// five, with a message that says which.
class AttrTypeError : public std::bad_variant_access
{
public:
    explicit AttrTypeError(std::string message) : message(std::move(message)) {}
    const char *what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

}  // namespace vppIntel

// There is deliberately no two-argument to_json: every writer chooses a form.
template <> struct nlohmann::adl_serializer<vppIntel::AttrValue> {
    static void to_json(json &j, const vppIntel::AttrValue &value, bool typed);
    // Reads the typed form only; see json_reader.h (Converted) for the number conversions.
    static void from_json(const json &j, vppIntel::AttrValue &value);
};
