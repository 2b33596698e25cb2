// Numbers of the JSON reader: the lenient readers of configuration and the
// converting readers of stored files.
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/json_reader.h"

namespace vppJson {
namespace {

void RequireNumber(const json &value, const char *what)
{
    if (!value.is_number())
        throw vdException("%s: expected a number, found %s", what, value.type_name());
}

std::string Text(const json &value)
{
    std::string text;
    vd_json_to_string(value, text);
    return text;
}

// Whether the integral double d lies within T. The bounds are powers of two,
// exact as doubles.
template <typename T> bool FitsAsDouble(double d)
{
    const double upper = std::ldexp(1.0, std::numeric_limits<T>::digits);
    const double lower = std::numeric_limits<T>::is_signed ? -upper : 0.0;
    return d >= lower && d < upper;
}

// A JSON integer within T; nullopt for any other value.
template <typename T> std::optional<T> IntegerWithin(const json &value)
{
    if (value.is_number_unsigned()) {
        auto v = value.get<uint64_t>();
        if (std::in_range<T>(v))
            return static_cast<T>(v);
    } else if (value.is_number_integer()) {
        auto v = value.get<int64_t>();
        if (std::in_range<T>(v))
            return static_cast<T>(v);
    }
    return std::nullopt;
}

// The JSON library's conversion of a number to T (a boolean 1 or 0, a
// fraction dropped) where it is defined: a value outside T throws instead of
// wrapping or converting a double out of range.
template <typename T> T ConvertedInteger(const json &value, const char *what, const char *label)
{
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    RequireNumber(value, what);
    if (auto number = IntegerWithin<T>(value))
        return *number;
    if (value.is_number_float()) {
        // A negative value never fits an unsigned field, not even -0.5.
        const double d = value.get<double>();
        const bool sign_fits = std::numeric_limits<T>::is_signed || d >= 0;
        if (std::isfinite(d) && sign_fits && FitsAsDouble<T>(std::trunc(d)))
            return static_cast<T>(d);
    }
    throw vdException("%s: %s does not fit %s", what, Text(value).c_str(), label);
}

}  // namespace

namespace Lenient {

std::optional<uint64_t> Unsigned64(const json &value)
{
    return IntegerWithin<uint64_t>(value);
}

std::optional<uint32_t> Unsigned32(const json &value)
{
    return IntegerWithin<uint32_t>(value);
}

std::optional<int32_t> Int32(const json &value)
{
    return IntegerWithin<int32_t>(value);
}

std::optional<uint32_t> Unsigned32Truncated(const json &value)
{
    if (!value.is_number_float())
        return Unsigned32(value);
    double number = value.get<double>();
    // Converting a double beyond the target's range is undefined.
    if (std::isfinite(number) && number >= 0 && FitsAsDouble<uint32_t>(std::trunc(number)))
        return static_cast<uint32_t>(number);
    return std::nullopt;
}

}  // namespace Lenient

namespace Converted {

uint64_t UnsignedAtMost(const json &value, const char *what, uint64_t max, const char *label)
{
    const uint64_t number = ConvertedInteger<uint64_t>(value, what, label);
    if (number > max)
        throw vdException("%s: %s does not fit %s", what, Text(value).c_str(), label);
    return number;
}

uint32_t UInt32(const json &value, const char *what)
{
    return ConvertedInteger<uint32_t>(value, what, "an unsigned 32-bit integer");
}

uint64_t UInt64(const json &value, const char *what)
{
    return ConvertedInteger<uint64_t>(value, what, "an unsigned 64-bit integer");
}

int32_t Int32(const json &value, const char *what)
{
    return ConvertedInteger<int32_t>(value, what, "a signed 32-bit integer");
}

float Float(const json &value, const char *what)
{
    if (value.is_boolean())
        return value.get<bool>() ? 1.0f : 0.0f;
    RequireNumber(value, what);
    auto d = value.get<double>();
    // Converting a double beyond the float range is undefined.
    if (!std::isfinite(d) || std::fabs(d) > double(FLT_MAX))
        throw vdException("%s: %s does not fit a finite 32-bit float", what, Text(value).c_str());
    return static_cast<float>(d);
}

}  // namespace Converted

}  // namespace vppJson
