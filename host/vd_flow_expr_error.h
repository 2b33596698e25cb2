// Errors of flow expressions: what was wrong and where in the text.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vd_flow_expr {

class Error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Throws "flow expression: <what> at offset <offset>".
[[noreturn]] void ThrowAt(size_t offset, const std::string &what);
// Throws "flow expression: <what>".
[[noreturn]] void Throw(const std::string &what);

// The text in quotes for a message: long text is cut, bytes that do
// not print are shown as \xNN so a message stays one readable line.
std::string Quote(std::string_view text);

}  // namespace vd_flow_expr
