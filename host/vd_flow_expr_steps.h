// A compiled flow expression as a flat branching program: each step tests
// one member against a literal, typed when compiled, and names the next step
// for either outcome. Shapes without a typed test run through the tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vd_flow_expr_ast.h"

namespace vd_flow_expr {

struct Step {
    enum class Test : uint8_t {
        number_in_range,  // low <= value <= low + span (wrapping), for numbers and bools
        text,             // the text against a literal by op: eq, lt or le
        address_match,    // same family and the same bits under mask
        address_valid,    // an address of any family
        tree,             // node->Test, for any other shape
    };

    Test test = Test::tree;
    Op op = Op::eq;
    uint8_t family = 0;
    // Index of the next step, or one of the outcomes below.
    uint32_t if_true = 0;
    uint32_t if_false = 0;
    Field field;
    uint64_t low = 0;
    uint64_t span = 0;
    uint64_t bits[2] = {};
    uint64_t mask[2] = {};
    std::string_view text;  // owned by the tree
    const Node *node = nullptr;
};

class Steps
{
public:
    static constexpr uint32_t outcome_true = UINT32_MAX;
    static constexpr uint32_t outcome_false = UINT32_MAX - 1;

    // The steps of the tree, which must outlive them.
    explicit Steps(const Node &root);

    // False when a variable would take the place of a name the expression
    // uses: the steps read members directly, so only the tree can run then.
    bool Apply(const Variables &variables) const { return variables.empty() || NoneShadowed(variables); }

    bool Run(const vdFlow &flow, const Variables &variables) const;

    // For tests: how many steps run through the tree.
    size_t TreeSteps() const;
    size_t Size() const { return steps.size(); }

private:
    bool NoneShadowed(const Variables &variables) const;

    std::vector<Step> steps;
    uint32_t entry = outcome_false;
    std::vector<std::string> names;  // sorted, each once
};

}  // namespace vd_flow_expr
