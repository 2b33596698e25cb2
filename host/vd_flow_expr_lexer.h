// Splits flow-expression text into tokens, each with its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vd_addr.h"
#include "vd_flow_expr_value.h"

namespace vd_flow_expr {

enum class TokenKind : uint8_t { end, open, close, not_op, and_op, or_op, compare, name, literal };

struct Token {
    TokenKind kind = TokenKind::end;
    size_t offset = 0;
    std::string_view text;  // as written

    Op op = Op::eq;  // compare

    // literal
    Type type = Type::boolean;
    bool boolean = false;
    uint64_t number = 0;
    std::string string;  // unescaped
    vdAddr address;
    bool has_prefix = false;
};

class Lexer
{
public:
    explicit Lexer(std::string_view text) : text(text) {}

    // The next token; TokenKind::end at the end. Throws on text that is no token.
    Token Next();

private:
    void SkipSpace();
    Token Operator(TokenKind kind, size_t length, Op op = Op::eq);
    Token QuotedString();
    Token Word();
    void ClassifyWord(Token &token) const;

    std::string_view text;
    size_t position = 0;
};

}  // namespace vd_flow_expr
