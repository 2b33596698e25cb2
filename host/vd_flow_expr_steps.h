// A compiled flow expression as a flat branching program: each step tests
// one member against a literal, typed when compiled, and names the next step
// for either outcome. Shapes without a typed test run through the tree.
#pragma once

#include <cstdint>
#include <cstring>
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
    // Index of the next step, or Steps::outcome_true or outcome_false.
    uint32_t if_true = 0;
    uint32_t if_false = 0;
    Field field;
    uint64_t low = 0;
    uint64_t span = 0;
    uint64_t bits[2] = {};
    uint64_t mask[2] = {};
    std::string_view text;  // owned by the tree
    const Node *node = nullptr;

    bool Passes(const vdFlow &flow, const Variables &variables) const;

private:
    bool AddressMatches(const vdAddr &address) const;
    bool TextPasses(std::string_view value) const;
    bool TreePasses(const vdFlow &flow, const Variables &variables) const;
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

    bool Run(const vdFlow &flow, const Variables &variables) const
    {
        uint32_t at = entry;
        while (at < outcome_false) {
            const Step &step = steps[at];
            at = step.Passes(flow, variables) ? step.if_true : step.if_false;
        }
        return at == outcome_true;
    }

    // For tests: how many steps run through the tree.
    size_t TreeSteps() const;

private:
    bool NoneShadowed(const Variables &variables) const;

    std::vector<Step> steps;
    uint32_t entry = outcome_false;
    std::vector<std::string> names;  // sorted, each once
};

// Inline so that the evaluator runs a step without a call into the library.
inline bool Step::Passes(const vdFlow &flow, const Variables &variables) const
{
    switch (test) {
    case Test::number_in_range:
        return ReadNumber(field, flow) - low <= span;
    case Test::text:
        return TextPasses(ReadText(field, flow));
    case Test::address_match:
        return AddressMatches(field.pair.Pick(flow));
    case Test::address_valid:
        return field.pair.Pick(flow).IsValid();
    case Test::tree:
        break;
    }
    return TreePasses(flow, variables);
}

inline bool Step::AddressMatches(const vdAddr &address) const
{
    uint64_t words[2];
    std::memcpy(words, address.addr.bytes, sizeof(words));
    return address.family == family && (words[0] & mask[0]) == bits[0] && (words[1] & mask[1]) == bits[1];
}

// string_view compares as unsigned bytes, like the tree.
inline bool Step::TextPasses(std::string_view value) const
{
    switch (op) {
    case Op::eq:
        return value == text;
    case Op::lt:
        return value < text;
    case Op::le:
        return value <= text;
    default:
        return false;
    }
}

}  // namespace vd_flow_expr
