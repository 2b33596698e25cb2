// Evaluation of compiled flow expressions.
#include "vd_flow_expr_ast.h"

#include "vd_flow_expr_error.h"
#include "vd_flow_expr_literal.h"

namespace vd_flow_expr {

LiteralNode::LiteralNode(const Token &token)
    : Node(Kind::literal, token.type), string(token.string), address(token.address)
{
    switch (token.type) {
    case Type::boolean:
        value = Value::Boolean(token.boolean);
        break;
    case Type::number:
        value = Value::Number(token.number);
        break;
    case Type::string:
        value = Value::String(string);
        break;
    case Type::address:
    case Type::mac:
        value = Value::Address(address, token.type, token.has_prefix);
        break;
    }
}

Value MemberNode::Evaluate(EvalContext &context) const
{
    if (!context.variables.empty()) {
        auto variable = context.variables.find(name);
        if (variable != context.variables.end())
            return TypeVariableText(name, variable->second, context.addresses);
    }
    return ReadValue(member, context.flow);
}

Value VariableNode::Evaluate(EvalContext &context) const
{
    auto variable = context.variables.find(name);
    if (variable == context.variables.end())
        ThrowAt(offset, "unknown name " + Quote(name) + " (neither a flow field nor a variable)");
    return TypeVariableText(name, variable->second, context.addresses);
}

bool ChainNode::Test(EvalContext &context) const
{
    for (const NodePtr &operand : operands) {
        if (operand->Test(context) != all)
            return !all;
    }
    return all;
}

bool CompareNode::Test(EvalContext &context) const
{
    Value left_value = left->Evaluate(context);
    Value right_value = right->Evaluate(context);
    // Members and literals were checked when compiled; variables only now.
    if (left_value.type != right_value.type || (op != Op::eq && op != Op::ne)) {
        std::string error = ComparisonError(op, left_value.type, right_value.type);
        if (!error.empty())
            ThrowAt(offset, error + " in " + where);
    }
    return Compare(op, left_value, right_value);
}

}  // namespace vd_flow_expr
