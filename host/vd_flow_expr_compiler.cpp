// Recursive-descent compiler of flow expressions. Precedence, loosest first:
// "||", "&&", comparisons, "!".
#include "vd_flow_expr_compiler.h"

#include "vd_flow_expr_error.h"

namespace vd_flow_expr {

namespace {

class Compiler
{
public:
    explicit Compiler(std::string_view text) : text(text), lexer(text) { Advance(); }

    NodePtr Expression()
    {
        if (current.kind == TokenKind::end)
            Throw("empty expression");
        NodePtr root = Chain(false);
        if (current.kind != TokenKind::end)
            ThrowAt(current.offset, "expected an operator or the end, found " + Describe(current));
        return root;
    }

private:
    // Parentheses and "!" each nest one level.
    class Nesting
    {
    public:
        explicit Nesting(Compiler &compiler) : compiler(compiler)
        {
            if (++compiler.depth > max_nesting_depth)
                ThrowAt(compiler.current.offset,
                        "nesting deeper than " + std::to_string(max_nesting_depth) + " levels");
        }
        ~Nesting() { compiler.depth--; }
        Nesting(const Nesting &) = delete;
        Nesting &operator=(const Nesting &) = delete;

    private:
        Compiler &compiler;
    };

    static std::string Describe(const Token &token)
    {
        return token.kind == TokenKind::end ? std::string("the end") : Quote(token.text);
    }

    void Advance()
    {
        previous_end = current.offset + current.text.size();
        current = lexer.Next();
    }

    // all: a run of "&&" over comparisons; else a run of "||" over those.
    NodePtr Chain(bool all)
    {
        TokenKind joiner = all ? TokenKind::and_op : TokenKind::or_op;
        std::vector<NodePtr> operands;
        operands.push_back(all ? Comparison() : Chain(true));
        while (current.kind == joiner) {
            Advance();
            operands.push_back(all ? Comparison() : Chain(true));
        }
        if (operands.size() == 1)
            return std::move(operands.front());
        return std::make_unique<ChainNode>(all, std::move(operands));
    }

    NodePtr Comparison()
    {
        size_t start = current.offset;
        NodePtr left = Unary();
        if (current.kind != TokenKind::compare)
            return left;
        Op op = current.op;
        size_t op_offset = current.offset;
        Advance();
        NodePtr right = Unary();
        std::string where = Quote(text.substr(start, previous_end - start));
        CheckTypes(op, op_offset, *left, *right, where);
        return std::make_unique<CompareNode>(op, std::move(left), std::move(right), op_offset, std::move(where));
    }

    // Fails now what would fail at every evaluation, so that a branch that
    // short-circuiting skips cannot hide it.
    static void CheckTypes(Op op, size_t offset, const Node &left, const Node &right, const std::string &where)
    {
        const auto &left_type = left.StaticType();
        const auto &right_type = right.StaticType();
        std::string error;
        if (left_type && right_type)
            error = ComparisonError(op, *left_type, *right_type);
        else if (left_type || right_type)
            error = ComparisonError(op, left_type ? *left_type : *right_type, left_type ? *left_type : *right_type);
        if (!error.empty())
            ThrowAt(offset, error + " in " + where);
    }

    NodePtr Unary()
    {
        if (current.kind != TokenKind::not_op)
            return Primary();
        Nesting nesting(*this);
        Advance();
        return std::make_unique<NotNode>(Unary());
    }

    NodePtr Primary()
    {
        switch (current.kind) {
        case TokenKind::open:
            return Parenthesised();
        case TokenKind::name:
            return Name();
        case TokenKind::literal: {
            auto literal = std::make_unique<LiteralNode>(current);
            Advance();
            return literal;
        }
        default:
            ThrowAt(current.offset, "expected a name, a literal, '!' or '(', found " + Describe(current));
        }
    }

    NodePtr Parenthesised()
    {
        Nesting nesting(*this);
        size_t open_offset = current.offset;
        Advance();
        NodePtr inner = Chain(false);
        if (current.kind != TokenKind::close)
            ThrowAt(current.offset, "expected ')' to close the '(' at offset " + std::to_string(open_offset) +
                                        ", found " + Describe(current));
        Advance();
        return inner;
    }

    NodePtr Name()
    {
        NodePtr node;
        if (const Member *member = FindMember(current.text))
            node = std::make_unique<MemberNode>(*member, current.text);
        else
            node = std::make_unique<VariableNode>(current.text, current.offset);
        Advance();
        return node;
    }

    std::string_view text;
    Lexer lexer;
    Token current;
    size_t previous_end = 0;
    unsigned depth = 0;
};

}  // namespace

NodePtr Compile(std::string_view text)
{
    if (text.size() > max_expression_length)
        Throw("expression is " + std::to_string(text.size()) + " bytes long (limit " +
              std::to_string(max_expression_length) + ")");
    return Compiler(text).Expression();
}

}  // namespace vd_flow_expr
