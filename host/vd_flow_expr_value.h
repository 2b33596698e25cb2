// Typed values of flow expressions and how they compare.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vd_addr.h"

namespace vd_flow_expr {

enum class Type : uint8_t { boolean, number, string, address, mac };

enum class Op : uint8_t { eq, ne, lt, le, gt, ge };

const char *TypeName(Type type);
const char *OpText(Op op);

// A value during evaluation. It refers to text and addresses owned by the
// flow, the compiled tree or the evaluation, so it copies for free.
struct Value {
    Type type = Type::boolean;
    bool boolean = false;
    bool has_prefix = false;  // an address network: == tests membership
    uint64_t number = 0;
    std::string_view text;
    const vdAddr *address = nullptr;

    static Value Boolean(bool value)
    {
        Value v;
        v.boolean = value;
        return v;
    }
    static Value Number(uint64_t value)
    {
        Value v;
        v.type = Type::number;
        v.number = value;
        return v;
    }
    static Value String(std::string_view value)
    {
        Value v;
        v.type = Type::string;
        v.text = value;
        return v;
    }
    // type is Type::address or Type::mac.
    static Value Address(const vdAddr &value, Type type, bool has_prefix = false)
    {
        Value v;
        v.type = type;
        v.address = &value;
        v.has_prefix = has_prefix;
        return v;
    }
};

// Non-zero, non-empty, true, or an address with its family set.
bool IsTruthy(const Value &value);

// Why op cannot compare the two types; empty when it can.
std::string ComparisonError(Op op, Type left, Type right);

// Compares two values whose types passed ComparisonError.
bool Compare(Op op, const Value &left, const Value &right);

}  // namespace vd_flow_expr
