// Strict readers of JSON integers from configuration: a value that does not
// fit the field it fills is reported as absent, never narrowed.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "velbord.h"

namespace vppConfigNumber {

// A JSON integer that is not negative (parsed text gives these as unsigned).
inline std::optional<uint64_t> Unsigned(const json &value)
{
    if (value.is_number_unsigned())
        return value.get<uint64_t>();
    if (value.is_number_integer() && value.get<int64_t>() >= 0)
        return static_cast<uint64_t>(value.get<int64_t>());
    return std::nullopt;
}

inline std::optional<uint32_t> Unsigned32(const json &value)
{
    auto number = Unsigned(value);
    if (!number || *number > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    return static_cast<uint32_t>(*number);
}

// A JSON integer, signed or unsigned, that fits a signed 32-bit integer.
inline std::optional<int32_t> Int32(const json &value)
{
    if (value.is_number_unsigned()) {
        if (value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            return std::nullopt;
        return static_cast<int32_t>(value.get<uint64_t>());
    }
    if (value.is_number_integer()) {
        int64_t number = value.get<int64_t>();
        if (number < std::numeric_limits<int32_t>::min() || number > std::numeric_limits<int32_t>::max())
            return std::nullopt;
        return static_cast<int32_t>(number);
    }
    return std::nullopt;
}

}  // namespace vppConfigNumber
