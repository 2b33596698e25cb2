// Compiles flow-expression text into its tree, resolving field names and
// checking the types that are known before evaluation.
#pragma once

#include <cstddef>
#include <string_view>

#include "vd_flow_expr_ast.h"

namespace vd_flow_expr {

// Expressions come from configuration that may not be trusted: both limits
// keep compiling and evaluating them bounded in memory and stack.
constexpr size_t max_expression_length = 64 * 1024;
constexpr unsigned max_nesting_depth = 256;

// Throws Error naming what is wrong and its offset.
NodePtr Compile(std::string_view text);

}  // namespace vd_flow_expr
