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
        ThrowUnknown();
    return TypeVariableText(name, variable->second, context.addresses);
}

void VariableNode::ThrowUnknown() const
{
    ThrowAt(offset, "unknown name " + Quote(name) + " (neither a flow field nor a variable)");
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

void CheckNames(const Node &root, const VariableNames &variables)
{
    // Operands in the order they are written; nesting is bounded when compiled.
    switch (root.GetKind()) {
    case Node::Kind::variable: {
        const auto &variable = static_cast<const VariableNode &>(root);
        if (variables.count(variable.Name()) == 0)
            variable.ThrowUnknown();
        return;
    }
    case Node::Kind::negation:
        CheckNames(static_cast<const NotNode &>(root).Operand(), variables);
        return;
    case Node::Kind::chain:
        for (const NodePtr &operand : static_cast<const ChainNode &>(root).Operands())
            CheckNames(*operand, variables);
        return;
    case Node::Kind::comparison:
        CheckNames(static_cast<const CompareNode &>(root).Left(), variables);
        CheckNames(static_cast<const CompareNode &>(root).Right(), variables);
        return;
    case Node::Kind::literal:
    case Node::Kind::member:
        return;
    }
}

}  // namespace vd_flow_expr
