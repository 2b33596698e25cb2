// Strict readers for JSON values: each checks the type and the range and
// throws InputError naming the member otherwise.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

#include "input_error.h"

using json = nlohmann::json;

// Parses text in linear time, refusing an object that repeats a member (the
// JSON library would keep the last value only), a NUL byte and nesting
// deeper than vppJson::max_nesting_depth. Throws InputError.
json ParseStrictJson(const std::string &text);

// "parent.member", or "member" at the top.
std::string MemberPath(const std::string &parent, const std::string &member);
// "parent[index]".
std::string ElementPath(const std::string &parent, size_t index);

// A short form of the value for messages; long values are cut.
std::string DescribeValue(const json &value);

void RequireObject(const json &value, const std::string &path);
void RequireArray(const json &value, const std::string &path);

std::string ReadString(const json &value, const std::string &path);
bool ReadBool(const json &value, const std::string &path);
// A number within minimum..maximum (both finite).
double ReadNumber(const json &value, const std::string &path, double minimum, double maximum);
// 16 hexadecimal digits, or an unsigned integer.
uint64_t ReadDigest(const json &value, const std::string &path);

[[noreturn]] void ThrowOutOfRange(const json &value, const std::string &path, const std::string &minimum,
                                  const std::string &maximum);

// An integer that fits T. Integral floating-point values (2.0) are accepted;
// fractions, booleans and text are not.
template <typename T> T ReadInteger(const json &value, const std::string &path)
{
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    using limits = std::numeric_limits<T>;
    if (value.is_number_unsigned()) {
        auto number = value.get<uint64_t>();
        if (std::in_range<T>(number))
            return static_cast<T>(number);
    } else if (value.is_number_integer()) {
        auto number = value.get<int64_t>();
        if (std::in_range<T>(number))
            return static_cast<T>(number);
    } else if (value.is_number_float()) {
        double number = value.get<double>();
        if (!std::isfinite(number) || std::trunc(number) != number)
            throw InputError(path, "expected an integer, got " + DescribeValue(value));
        // Both bounds are powers of two, so exact as doubles.
        const double upper = std::ldexp(1.0, limits::digits);
        const double lower = limits::is_signed ? -upper : 0.0;
        if (number >= lower && number < upper)
            return static_cast<T>(number);
    } else {
        throw InputError(path, std::string("expected an integer, got ") + value.type_name());
    }
    ThrowOutOfRange(value, path, std::to_string(+limits::min()), std::to_string(+limits::max()));
}

// An integer within minimum..maximum.
template <typename T> T ReadInteger(const json &value, const std::string &path, T minimum, T maximum)
{
    T number = ReadInteger<T>(value, path);
    if (number < minimum || number > maximum)
        ThrowOutOfRange(value, path, std::to_string(+minimum), std::to_string(+maximum));
    return number;
}
