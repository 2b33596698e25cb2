// Tokens of flow expressions.
#include "vd_flow_expr_lexer.h"

#include <cstdio>

#include "vd_flow_expr_error.h"
#include "vd_flow_expr_literal.h"

namespace vd_flow_expr {

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// Names, numbers and address literals are runs of these characters; what
// the run is gets decided once it is whole.
bool IsWordChar(char c)
{
    return IsLetter(c) || IsDigit(c) || c == '.' || c == ':' || c == '/';
}

bool IsName(std::string_view word)
{
    if (!IsLetter(word[0]))
        return false;
    for (char c : word) {
        if (!IsLetter(c) && !IsDigit(c))
            return false;
    }
    return true;
}

std::string DescribeChar(char c)
{
    auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f)
        return std::string("'") + c + "'";
    char text[16];
    std::snprintf(text, sizeof(text), "byte 0x%02x", byte);
    return text;
}

}  // namespace

Token Lexer::Next()
{
    SkipSpace();
    if (position == text.size()) {
        Token token;
        token.offset = position;
        return token;
    }
    char c = text[position];
    char next = position + 1 < text.size() ? text[position + 1] : '\0';
    switch (c) {
    case '(':
        return Operator(TokenKind::open, 1);
    case ')':
        return Operator(TokenKind::close, 1);
    case '!':
        return next == '=' ? Operator(TokenKind::compare, 2, Op::ne) : Operator(TokenKind::not_op, 1);
    case '=':
        if (next != '=')
            ThrowAt(position, "'=' is no operator (use '==')");
        return Operator(TokenKind::compare, 2, Op::eq);
    case '<':
        return next == '=' ? Operator(TokenKind::compare, 2, Op::le) : Operator(TokenKind::compare, 1, Op::lt);
    case '>':
        return next == '=' ? Operator(TokenKind::compare, 2, Op::ge) : Operator(TokenKind::compare, 1, Op::gt);
    case '&':
        if (next != '&')
            ThrowAt(position, "'&' is no operator (use '&&')");
        return Operator(TokenKind::and_op, 2);
    case '|':
        if (next != '|')
            ThrowAt(position, "'|' is no operator (use '||')");
        return Operator(TokenKind::or_op, 2);
    case '\'':
    case '"':
        return QuotedString();
    default:
        break;
    }
    if (!IsWordChar(c))
        ThrowAt(position, "unexpected " + DescribeChar(c));
    return Word();
}

void Lexer::SkipSpace()
{
    while (position < text.size() && IsSpace(text[position]))
        position++;
}

Token Lexer::Operator(TokenKind kind, size_t length, Op op)
{
    Token token;
    token.kind = kind;
    token.offset = position;
    token.text = text.substr(position, length);
    token.op = op;
    position += length;
    return token;
}

// A backslash takes the next character as it is; only the quotes and the
// backslash itself need it.
Token Lexer::QuotedString()
{
    Token token;
    token.kind = TokenKind::literal;
    token.type = Type::string;
    token.offset = position;
    char quote = text[position++];
    while (position < text.size() && text[position] != quote) {
        char c = text[position++];
        if (c != '\\') {
            token.string += c;
            continue;
        }
        if (position == text.size())
            break;
        char escaped = text[position];
        if (escaped != '\\' && escaped != '\'' && escaped != '"')
            ThrowAt(position - 1, "unknown escape " + Quote(text.substr(position - 1, 2)) + " in string");
        token.string += escaped;
        position++;
    }
    if (position == text.size())
        ThrowAt(token.offset, "unterminated string");
    position++;
    token.text = text.substr(token.offset, position - token.offset);
    return token;
}

Token Lexer::Word()
{
    Token token;
    token.offset = position;
    while (position < text.size() && IsWordChar(text[position]))
        position++;
    token.text = text.substr(token.offset, position - token.offset);
    ClassifyWord(token);
    return token;
}

void Lexer::ClassifyWord(Token &token) const
{
    std::string_view word = token.text;
    token.kind = TokenKind::literal;
    switch (ParseDecimal(word, token.number)) {
    case TextParse::ok:
        token.type = Type::number;
        return;
    case TextParse::bad:
        ThrowAt(token.offset, "number " + Quote(word) + " is out of range (limit 2^64-1)");
    case TextParse::not_this_kind:
        break;
    }
    if (IsName(word)) {
        if (word == "true" || word == "false") {
            token.type = Type::boolean;
            token.boolean = word == "true";
        } else {
            token.kind = TokenKind::name;
        }
        return;
    }
    std::string error;
    switch (ParseAddress(word, token.address, token.has_prefix, error)) {
    case TextParse::ok:
        token.type = token.address.IsMAC() ? Type::mac : Type::address;
        return;
    case TextParse::bad:
        ThrowAt(token.offset, error + " in " + Quote(word));
    case TextParse::not_this_kind:
        break;
    }
    ThrowAt(token.offset, "bad literal " + Quote(word) + " (neither a name, a number nor an address)");
}

}  // namespace vd_flow_expr
