// Parsing of literal text in flow expressions.
#include "vd_flow_expr_literal.h"

#include <limits>

#include "vd_flow_expr_error.h"

namespace vd_flow_expr {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

unsigned FullLength(const vdAddr &address)
{
    return address.IsIPv4() ? 32 : 128;
}

// "/length" after an IP address: 1-3 decimal digits up to the family's width.
bool ParseLength(std::string_view text, const vdAddr &address, uint8_t &length, std::string &error)
{
    if (address.IsMAC()) {
        error = "a MAC address takes no prefix length";
        return false;
    }
    uint64_t value = 0;
    if (text.size() > 3 || ParseDecimal(text, value) != TextParse::ok || value > FullLength(address)) {
        error = "bad prefix length " + Quote(text) + " (" + (address.IsIPv4() ? "IPv4" : "IPv6") + " allows 0-" +
                std::to_string(FullLength(address)) + ")";
        return false;
    }
    length = static_cast<uint8_t>(value);
    return true;
}

}  // namespace

TextParse ParseDecimal(std::string_view text, uint64_t &out)
{
    if (text.empty())
        return TextParse::not_this_kind;
    for (char c : text) {
        if (!IsDigit(c))
            return TextParse::not_this_kind;
    }
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    for (char c : text) {
        auto digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return TextParse::bad;
        value = value * 10 + digit;
    }
    out = value;
    return TextParse::ok;
}

TextParse ParseAddress(std::string_view text, vdAddr &out, bool &has_prefix, std::string &error)
{
    size_t slash = text.find('/');
    std::string_view base = text.substr(0, slash);
    if (base.empty() || !vdAddr::Create(out, std::string(base)))
        return TextParse::not_this_kind;
    has_prefix = slash != std::string_view::npos;
    if (has_prefix && !ParseLength(text.substr(slash + 1), out, out.prefix_length, error))
        return TextParse::bad;
    return TextParse::ok;
}

Value TypeVariableText(const std::string &name, const std::string &text, std::forward_list<vdAddr> &storage)
{
    uint64_t number = 0;
    switch (ParseDecimal(text, number)) {
    case TextParse::ok:
        return Value::Number(number);
    case TextParse::bad:
        Throw("variable " + Quote(name) + ": number " + Quote(text) + " is out of range (limit 2^64-1)");
    case TextParse::not_this_kind:
        break;
    }
    if (text == "true" || text == "false")
        return Value::Boolean(text == "true");

    vdAddr address;
    bool has_prefix = false;
    std::string error;
    switch (ParseAddress(text, address, has_prefix, error)) {
    case TextParse::ok:
        storage.push_front(address);
        return Value::Address(storage.front(), address.IsMAC() ? Type::mac : Type::address, has_prefix);
    case TextParse::bad:
        Throw("variable " + Quote(name) + ": " + error);
    case TextParse::not_this_kind:
        break;
    }
    return Value::String(text);
}

}  // namespace vd_flow_expr
