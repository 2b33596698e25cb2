// Error messages of flow expressions.
#include "vd_flow_expr_error.h"

#include <cstdio>

namespace vd_flow_expr {

namespace {
constexpr size_t quoted_max = 40;
}

void ThrowAt(size_t offset, const std::string &what)
{
    throw Error("flow expression: " + what + " at offset " + std::to_string(offset));
}

void Throw(const std::string &what)
{
    throw Error("flow expression: " + what);
}

std::string Quote(std::string_view text)
{
    // Text that holds single quotes reads better in double ones.
    const char mark =
        text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos ? '"' : '\'';
    std::string quoted(1, mark);
    for (size_t i = 0; i < text.size() && i < quoted_max; i++) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7f) {
            quoted += static_cast<char>(byte);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
        quoted += escaped;
    }
    if (text.size() > quoted_max)
        quoted += "...";
    return quoted + mark;
}

}  // namespace vd_flow_expr
