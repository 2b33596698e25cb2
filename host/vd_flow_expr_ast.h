// The tree form of a flow expression: evaluates against one flow and the
// caller's variables, whatever the variables hold. The typed steps
// (vd_flow_expr_steps.h) are built from it for the common case.
#pragma once

#include <cstddef>
#include <forward_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vd_flow.h"
#include "vd_flow_expr_lexer.h"
#include "vd_flow_expr_members.h"
#include "vd_flow_expr_value.h"

namespace vd_flow_expr {

using Variables = std::map<std::string, std::string>;
using VariableNames = std::set<std::string>;

struct EvalContext {
    const vdFlow &flow;
    const Variables &variables;
    // Addresses typed from variable text during this evaluation.
    std::forward_list<vdAddr> addresses;
};

class Node
{
public:
    enum class Kind : uint8_t { literal, member, variable, negation, chain, comparison };

    Node(Kind kind, std::optional<Type> type) : kind(kind), type(type) {}
    virtual ~Node() = default;
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    virtual Value Evaluate(EvalContext &context) const = 0;
    // The node as a condition.
    virtual bool Test(EvalContext &context) const { return IsTruthy(Evaluate(context)); }

    // Known for members, literals and conditions; a name that only the
    // variables can give has its type at evaluation.
    const std::optional<Type> &StaticType() const { return type; }
    Kind GetKind() const { return kind; }

private:
    Kind kind;
    std::optional<Type> type;
};

using NodePtr = std::unique_ptr<Node>;

class LiteralNode : public Node
{
public:
    explicit LiteralNode(const Token &token);
    Value Evaluate(EvalContext &) const override { return value; }
    const Value &GetValue() const { return value; }

private:
    std::string string;
    vdAddr address;
    Value value;
};

// A flow field; a variable of the same name takes its place.
class MemberNode : public Node
{
public:
    MemberNode(const Member &member, std::string_view name)
        : Node(Kind::member, member.type), member(member), name(name)
    {
    }
    Value Evaluate(EvalContext &context) const override;
    const Member &GetMember() const { return member; }
    const std::string &Name() const { return name; }

private:
    const Member &member;
    std::string name;
};

class VariableNode : public Node
{
public:
    VariableNode(std::string_view name, size_t offset) : Node(Kind::variable, std::nullopt), name(name), offset(offset)
    {
    }
    Value Evaluate(EvalContext &context) const override;
    const std::string &Name() const { return name; }
    // The error of a name that no variable supplies.
    [[noreturn]] void ThrowUnknown() const;

private:
    std::string name;
    size_t offset;
};

class ConditionNode : public Node
{
public:
    explicit ConditionNode(Kind kind) : Node(kind, Type::boolean) {}
    Value Evaluate(EvalContext &context) const override { return Value::Boolean(Test(context)); }
};

class NotNode : public ConditionNode
{
public:
    explicit NotNode(NodePtr operand) : ConditionNode(Kind::negation), operand(std::move(operand)) {}
    bool Test(EvalContext &context) const override { return !operand->Test(context); }
    const Node &Operand() const { return *operand; }

private:
    NodePtr operand;
};

// "&&" (all) or "||" (any) over a run of operands, left to right until one
// decides. A run keeps long chains flat, so evaluation depth stays that of
// the parentheses.
class ChainNode : public ConditionNode
{
public:
    ChainNode(bool all, std::vector<NodePtr> operands)
        : ConditionNode(Kind::chain), all(all), operands(std::move(operands))
    {
    }
    bool Test(EvalContext &context) const override;
    // true for "&&", false for "||".
    bool All() const { return all; }
    const std::vector<NodePtr> &Operands() const { return operands; }

private:
    bool all;
    std::vector<NodePtr> operands;
};

class CompareNode : public ConditionNode
{
public:
    // where: the operator's offset and the operands as written, for messages.
    CompareNode(Op op, NodePtr left, NodePtr right, size_t offset, std::string where)
        : ConditionNode(Kind::comparison), op(op), left(std::move(left)), right(std::move(right)), offset(offset),
          where(std::move(where))
    {
    }
    bool Test(EvalContext &context) const override;
    Op GetOp() const { return op; }
    const Node &Left() const { return *left; }
    const Node &Right() const { return *right; }

private:
    Op op;
    NodePtr left;
    NodePtr right;
    size_t offset;
    std::string where;
};

// Throws the error of the first name, in the order of the text, that is
// neither a flow field nor one of variables.
void CheckNames(const Node &root, const VariableNames &variables);

}  // namespace vd_flow_expr
