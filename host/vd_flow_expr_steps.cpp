// Building the flat steps from the tree, and running them.
#include "vd_flow_expr_steps.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vd_flow_expr {

namespace {

constexpr uint64_t number_max = std::numeric_limits<uint64_t>::max();

// The operator with its operands swapped: "5 < x" is "x > 5".
Op Mirror(Op op)
{
    switch (op) {
    case Op::lt:
        return Op::gt;
    case Op::le:
        return Op::ge;
    case Op::gt:
        return Op::lt;
    case Op::ge:
        return Op::le;
    case Op::eq:
    case Op::ne:
        break;
    }
    return op;
}

// The literal's bits that decide a match, as the member is read: all of
// them, or the network's when the literal carries a prefix length.
void SetAddress(Step &step, const Value &literal)
{
    const vdAddr &address = *literal.address;
    unsigned length = vdAddr::FullLength(address.family);
    if (literal.has_prefix)
        length = std::min<unsigned>(length, address.prefix_length);
    uint8_t mask[16] = {};
    for (unsigned byte = 0; byte < 16 && length > 0; byte++) {
        unsigned taken = std::min(length, 8u);
        mask[byte] = static_cast<uint8_t>(0xff00u >> taken);
        length -= taken;
    }
    std::memcpy(step.mask, mask, sizeof(mask));
    std::memcpy(step.bits, address.addr.bytes, sizeof(step.bits));
    step.bits[0] &= step.mask[0];
    step.bits[1] &= step.mask[1];
    step.family = address.family;
}

bool IsTextOp(Op op)
{
    return op == Op::eq || op == Op::lt || op == Op::le;
}

// The opposite test: "x != y" is "!(x == y)", "x > y" is "!(x <= y)".
Op Negated(Op op)
{
    switch (op) {
    case Op::eq:
        return Op::ne;
    case Op::ne:
        return Op::eq;
    case Op::lt:
        return Op::ge;
    case Op::le:
        return Op::gt;
    case Op::gt:
        return Op::le;
    case Op::ge:
        return Op::lt;
    }
    return op;
}

// Builds the steps back to front, so that each operand of a chain knows
// where its successor starts; Finish puts them in running order.
class Builder
{
public:
    uint32_t Lower(const Node &node, uint32_t on_true, uint32_t on_false)
    {
        switch (node.GetKind()) {
        case Node::Kind::literal:
            return IsTruthy(static_cast<const LiteralNode &>(node).GetValue()) ? on_true : on_false;
        case Node::Kind::member:
            return Truthy(static_cast<const MemberNode &>(node).GetMember(), on_true, on_false);
        case Node::Kind::negation:
            return Lower(static_cast<const NotNode &>(node).Operand(), on_false, on_true);
        case Node::Kind::chain:
            return Chain(static_cast<const ChainNode &>(node), on_true, on_false);
        case Node::Kind::comparison:
            return Comparison(static_cast<const CompareNode &>(node), on_true, on_false);
        case Node::Kind::variable:
            break;
        }
        return Tree(node, on_true, on_false);
    }

    // The steps in running order; entry is remapped in place.
    std::vector<Step> Finish(uint32_t &entry)
    {
        std::reverse(steps.begin(), steps.end());
        for (Step &step : steps) {
            step.if_true = Remap(step.if_true);
            step.if_false = Remap(step.if_false);
        }
        entry = Remap(entry);
        return std::move(steps);
    }

private:
    uint32_t Remap(uint32_t target) const
    {
        return target < steps.size() ? static_cast<uint32_t>(steps.size() - 1 - target) : target;
    }

    uint32_t Emit(Step step, uint32_t on_true, uint32_t on_false)
    {
        step.if_true = on_true;
        step.if_false = on_false;
        steps.push_back(step);
        return static_cast<uint32_t>(steps.size() - 1);
    }

    uint32_t Chain(const ChainNode &chain, uint32_t on_true, uint32_t on_false)
    {
        const auto &operands = chain.Operands();
        uint32_t next = chain.All() ? on_true : on_false;
        for (auto operand = operands.rbegin(); operand != operands.rend(); ++operand)
            next = chain.All() ? Lower(**operand, next, on_false) : Lower(**operand, on_true, next);
        return next;
    }

    uint32_t Tree(const Node &node, uint32_t on_true, uint32_t on_false)
    {
        Step step;
        step.test = Step::Test::tree;
        step.node = &node;
        return Emit(step, on_true, on_false);
    }

    uint32_t Truthy(const Member &member, uint32_t on_true, uint32_t on_false)
    {
        Step step;
        step.field = member.field;
        switch (member.type) {
        case Type::boolean:
        case Type::number:
            return Range(member, 0, 0, on_false, on_true);
        case Type::string:
            step.test = Step::Test::text;
            step.op = Op::eq;
            return Emit(step, on_false, on_true);
        case Type::address:
        case Type::mac:
            step.test = Step::Test::address_valid;
            break;
        }
        return Emit(step, on_true, on_false);
    }

    // A test of low <= value <= high.
    uint32_t Range(const Member &member, uint64_t low, uint64_t high, uint32_t on_true, uint32_t on_false)
    {
        Step step;
        step.test = Step::Test::number_in_range;
        step.field = member.field;
        step.low = low;
        step.span = high - low;
        return Emit(step, on_true, on_false);
    }

    uint32_t Comparison(const CompareNode &compare, uint32_t on_true, uint32_t on_false)
    {
        const Node &left = compare.Left();
        const Node &right = compare.Right();
        if (left.GetKind() == Node::Kind::variable || right.GetKind() == Node::Kind::variable)
            return Tree(compare, on_true, on_false);
        const auto *left_literal = AsLiteral(left);
        const auto *right_literal = AsLiteral(right);
        if (left_literal && right_literal)
            return Compare(compare.GetOp(), left_literal->GetValue(), right_literal->GetValue()) ? on_true : on_false;
        // Literal on the right from here on.
        const Node &subject = right_literal ? left : right;
        const LiteralNode *literal = right_literal ? right_literal : left_literal;
        Op op = right_literal ? compare.GetOp() : Mirror(compare.GetOp());
        if (!literal)
            return Tree(compare, on_true, on_false);
        const Value &value = literal->GetValue();
        // Any condition against true or false is that condition, or its negation.
        if (value.type == Type::boolean)
            return value.boolean == (op == Op::eq) ? Lower(subject, on_true, on_false)
                                                   : Lower(subject, on_false, on_true);
        if (subject.GetKind() != Node::Kind::member)
            return Tree(compare, on_true, on_false);
        return MemberAgainst(static_cast<const MemberNode &>(subject).GetMember(), op, value, on_true, on_false);
    }

    static const LiteralNode *AsLiteral(const Node &node)
    {
        return node.GetKind() == Node::Kind::literal ? &static_cast<const LiteralNode &>(node) : nullptr;
    }

    // The member's type matches the literal's: the compiler checked it.
    uint32_t MemberAgainst(const Member &member, Op op, const Value &value, uint32_t on_true, uint32_t on_false)
    {
        switch (value.type) {
        case Type::number:
            return Number(member, op, value.number, on_true, on_false);
        case Type::string:
            return Text(member, op, value.text, on_true, on_false);
        case Type::address:
        case Type::mac:
            return Address(member, op, value, on_true, on_false);
        case Type::boolean:
            break;
        }
        return on_false;
    }

    uint32_t Number(const Member &member, Op op, uint64_t literal, uint32_t on_true, uint32_t on_false)
    {
        switch (op) {
        case Op::eq:
            return Range(member, literal, literal, on_true, on_false);
        case Op::ne:
            return Range(member, literal, literal, on_false, on_true);
        case Op::lt:
            return literal == 0 ? on_false : Range(member, 0, literal - 1, on_true, on_false);
        case Op::le:
            return Range(member, 0, literal, on_true, on_false);
        case Op::gt:
            return literal == number_max ? on_false : Range(member, literal + 1, number_max, on_true, on_false);
        case Op::ge:
            return Range(member, literal, number_max, on_true, on_false);
        }
        return on_false;
    }

    uint32_t Text(const Member &member, Op op, std::string_view literal, uint32_t on_true, uint32_t on_false)
    {
        Step step;
        step.test = Step::Test::text;
        step.field = member.field;
        step.text = literal;
        if (IsTextOp(op)) {
            step.op = op;
            return Emit(step, on_true, on_false);
        }
        step.op = Negated(op);
        return Emit(step, on_false, on_true);
    }

    uint32_t Address(const Member &member, Op op, const Value &literal, uint32_t on_true, uint32_t on_false)
    {
        Step step;
        step.test = Step::Test::address_match;
        step.field = member.field;
        SetAddress(step, literal);
        return op == Op::eq ? Emit(step, on_true, on_false) : Emit(step, on_false, on_true);
    }

    std::vector<Step> steps;
};

void CollectNames(const Node &node, std::vector<std::string> &names)
{
    switch (node.GetKind()) {
    case Node::Kind::member:
        names.push_back(static_cast<const MemberNode &>(node).Name());
        break;
    case Node::Kind::variable:
        names.push_back(static_cast<const VariableNode &>(node).Name());
        break;
    case Node::Kind::negation:
        CollectNames(static_cast<const NotNode &>(node).Operand(), names);
        break;
    case Node::Kind::chain:
        for (const NodePtr &operand : static_cast<const ChainNode &>(node).Operands())
            CollectNames(*operand, names);
        break;
    case Node::Kind::comparison:
        CollectNames(static_cast<const CompareNode &>(node).Left(), names);
        CollectNames(static_cast<const CompareNode &>(node).Right(), names);
        break;
    case Node::Kind::literal:
        break;
    }
}

}  // namespace

Steps::Steps(const Node &root)
{
    Builder builder;
    entry = builder.Lower(root, outcome_true, outcome_false);
    steps = builder.Finish(entry);
    CollectNames(root, names);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
}

bool Steps::NoneShadowed(const Variables &variables) const
{
    return std::none_of(names.begin(), names.end(),
                        [&](const std::string &name) { return variables.count(name) != 0; });
}

bool Step::TreePasses(const vdFlow &flow, const Variables &variables) const
{
    EvalContext context{flow, variables, {}};
    return node->Test(context);
}

size_t Steps::TreeSteps() const
{
    return static_cast<size_t>(
        std::count_if(steps.begin(), steps.end(), [](const Step &step) { return step.test == Step::Test::tree; }));
}

}  // namespace vd_flow_expr
