#include "json_values.h"

#include "common/json_reader.h"

#include "vd_common.h"

namespace {

constexpr size_t described_value_limit = 64;

}  // namespace

// Event lines go through the plug-in's own reader: one pass that refuses
// repeated members, NUL bytes (which would end the parse silently) and deep
// nesting while it builds the document. A repeated member keeps its message
// of old, "<member>: member given twice".
json ParseStrictJson(const std::string &text)
{
    try {
        return vppJson::ParseText(text, "line", vppJson::Comments::refused, vppJson::Keys::unique);
    } catch (const vppJson::StructureError &error) {
        if (error.DuplicateKey())
            throw InputError(*error.DuplicateKey(), "member given twice");
        throw InputError("", error.Rule());
    } catch (const vppJson::SyntaxError &error) {
        // Parse errors, and numbers too large for a double.
        throw InputError("", "not valid JSON: " + error.Problem());
    }
}

std::string MemberPath(const std::string &parent, const std::string &member)
{
    return parent.empty() ? member : parent + "." + member;
}

std::string ElementPath(const std::string &parent, size_t index)
{
    return parent + "[" + std::to_string(index) + "]";
}

std::string DescribeValue(const json &value)
{
    std::string text;
    vd_json_to_string(value, text);
    if (text.size() > described_value_limit)
        text = text.substr(0, described_value_limit) + "...";
    return text;
}

void RequireObject(const json &value, const std::string &path)
{
    if (!value.is_object())
        throw InputError(path, std::string("expected an object, got ") + value.type_name());
}

void RequireArray(const json &value, const std::string &path)
{
    if (!value.is_array())
        throw InputError(path, std::string("expected a list, got ") + value.type_name());
}

std::string ReadString(const json &value, const std::string &path)
{
    if (!value.is_string())
        throw InputError(path, std::string("expected a string, got ") + value.type_name());
    return value.get<std::string>();
}

bool ReadBool(const json &value, const std::string &path)
{
    if (!value.is_boolean())
        throw InputError(path, std::string("expected true or false, got ") + value.type_name());
    return value.get<bool>();
}

double ReadNumber(const json &value, const std::string &path, double minimum, double maximum)
{
    if (!value.is_number())
        throw InputError(path, std::string("expected a number, got ") + value.type_name());
    double number = value.get<double>();
    if (!(number >= minimum && number <= maximum)) {
        std::string text_minimum, text_maximum;
        vd_json_to_string(json(minimum), text_minimum);
        vd_json_to_string(json(maximum), text_maximum);
        ThrowOutOfRange(value, path, text_minimum, text_maximum);
    }
    return number;
}

uint64_t ReadDigest(const json &value, const std::string &path)
{
    if (value.is_string()) {
        uint64_t digest = 0;
        if (!vd_string_to_xxh64(value.get<std::string>(), digest))
            throw InputError(path, "expected 16 hexadecimal digits, got " + DescribeValue(value));
        return digest;
    }
    if (!value.is_number())
        throw InputError(path,
                         std::string("expected a digest (hexadecimal text or a number), got ") + value.type_name());
    return ReadInteger<uint64_t>(value, path);
}

void ThrowOutOfRange(const json &value, const std::string &path, const std::string &minimum, const std::string &maximum)
{
    throw InputError(path, DescribeValue(value) + " is out of range " + minimum + ".." + maximum);
}
