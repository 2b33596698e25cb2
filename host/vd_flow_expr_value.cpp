// Truth and comparison of flow-expression values.
#include "vd_flow_expr_value.h"

namespace vd_flow_expr {

namespace {

bool Ordered(Type type)
{
    return type == Type::number || type == Type::string;
}

template <typename T> bool CompareOrdered(Op op, const T &left, const T &right)
{
    switch (op) {
    case Op::eq:
        return left == right;
    case Op::ne:
        return left != right;
    case Op::lt:
        return left < right;
    case Op::le:
        return left <= right;
    case Op::gt:
        return left > right;
    case Op::ge:
        return left >= right;
    }
    return false;
}

// A network operand (one written with "/length") makes == a membership test.
bool AddressesMatch(const Value &left, const Value &right)
{
    if (right.has_prefix)
        return left.address->InPrefix(*right.address);
    if (left.has_prefix)
        return right.address->InPrefix(*left.address);
    return left.address->SameAddress(*right.address);
}

}  // namespace

const char *TypeName(Type type)
{
    switch (type) {
    case Type::boolean:
        return "bool";
    case Type::number:
        return "number";
    case Type::string:
        return "string";
    case Type::address:
        return "address";
    case Type::mac:
        return "MAC address";
    }
    return "?";
}

const char *OpText(Op op)
{
    static const char *const texts[] = {"==", "!=", "<", "<=", ">", ">="};
    return texts[static_cast<size_t>(op)];
}

bool IsTruthy(const Value &value)
{
    switch (value.type) {
    case Type::boolean:
        return value.boolean;
    case Type::number:
        return value.number != 0;
    case Type::string:
        return !value.text.empty();
    case Type::address:
    case Type::mac:
        return value.address->IsValid();
    }
    return false;
}

std::string ComparisonError(Op op, Type left, Type right)
{
    if (left != right)
        return std::string("cannot compare ") + TypeName(left) + " with " + TypeName(right);
    if (op != Op::eq && op != Op::ne && !Ordered(left))
        return std::string("operator '") + OpText(op) + "' does not apply to " + TypeName(left) + " values";
    return {};
}

bool Compare(Op op, const Value &left, const Value &right)
{
    switch (left.type) {
    case Type::number:
        return CompareOrdered(op, left.number, right.number);
    case Type::string:
        // string_view compares as unsigned bytes.
        return CompareOrdered(op, left.text, right.text);
    case Type::boolean:
        return (left.boolean == right.boolean) == (op == Op::eq);
    case Type::address:
    case Type::mac:
        return AddressesMatch(left, right) == (op == Op::eq);
    }
    return false;
}

}  // namespace vd_flow_expr
