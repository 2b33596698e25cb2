#include "common/json_number.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

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

template <typename T> T ReadInteger(const json &value, const char *what, const char *label)
{
    RequireNumber(value, what);
    if (value.is_number_unsigned()) {
        auto v = value.get<uint64_t>();
        if (std::in_range<T>(v))
            return static_cast<T>(v);
    } else if (value.is_number_integer()) {
        auto v = value.get<int64_t>();
        if (std::in_range<T>(v))
            return static_cast<T>(v);
    } else {
        auto d = value.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && FitsAsDouble<T>(d))
            return static_cast<T>(d);
    }
    throw vdException("%s: %s does not fit %s", what, Text(value).c_str(), label);
}

}  // namespace

uint32_t ReadUInt32(const json &value, const char *what)
{
    return ReadInteger<uint32_t>(value, what, "an unsigned 32-bit integer");
}

uint64_t ReadUInt64(const json &value, const char *what)
{
    return ReadInteger<uint64_t>(value, what, "an unsigned 64-bit integer");
}

int32_t ReadInt32(const json &value, const char *what)
{
    return ReadInteger<int32_t>(value, what, "a signed 32-bit integer");
}

float ReadFloat(const json &value, const char *what)
{
    RequireNumber(value, what);
    auto d = value.get<double>();
    // Converting a double beyond the float range is undefined.
    if (!std::isfinite(d) || std::fabs(d) > double(FLT_MAX))
        throw vdException("%s: %s does not fit a finite 32-bit float", what, Text(value).c_str());
    return static_cast<float>(d);
}

}  // namespace vppJson
