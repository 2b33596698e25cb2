// Literal text of flow expressions: numbers, addresses, and the typing of a
// variable's text as if it had been written as a literal.
#pragma once

#include <cstdint>
#include <forward_list>
#include <string>
#include <string_view>

#include "vd_addr.h"
#include "vd_flow_expr_value.h"

namespace vd_flow_expr {

enum class TextParse : uint8_t { ok, not_this_kind, bad };

// Unsigned decimal digits only; bad on overflow past 2^64-1.
TextParse ParseDecimal(std::string_view text, uint64_t &out);

// An IPv4 or IPv6 address with an optional "/length", or a MAC address.
// bad (with error set) when the address is fine but its length is not.
TextParse ParseAddress(std::string_view text, vdAddr &out, bool &has_prefix, std::string &error);

// A decimal integer is a number, true/false a bool, an address text an
// address (kept in storage), anything else a string. Throws on a number out
// of range or an address with a bad length.
Value TypeVariableText(const std::string &name, const std::string &text, std::forward_list<vdAddr> &storage);

}  // namespace vd_flow_expr
