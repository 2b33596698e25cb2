// The flow fields that flow expressions can name, each with its type and a
// function that reads it, so that names resolve once, at compile time.
#pragma once

#include <string_view>

#include "vd_flow.h"
#include "vd_flow_expr_value.h"

namespace vd_flow_expr {

struct Member {
    std::string_view name;
    Type type;
    Value (*read)(const vdFlow &flow);
};

// nullptr when no field has this name.
const Member *FindMember(std::string_view name);

}  // namespace vd_flow_expr
