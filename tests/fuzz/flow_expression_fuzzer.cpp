// A flow expression compiled and evaluated against sample flows, with and
// without variables, both through a compiled program and through Parse (a
// second Parse takes the compiled form from the parser's cache).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "support/fuzz_host.h"
#include "vd_flow.h"

namespace {

const vdFlowParser::Variables variables = {
    {"ip_protocol", "17"},
    {"count", "42"},
    {"enabled", "true"},
    {"network", "203.0.113.0/24"},
    {"word", "hello"},
    {"gateway", "00:11:22:33:44:55"},
    {"big", "18446744073709551616"},
    {"bad_network", "10.0.0.0/40"},
    {"v6", "2001:db8::/32"},
};
const vdFlowParser::Variables no_variables;

void EvaluateAll(const vdFlowParser::Program &program, const vdFlow &flow)
{
    for (const vdFlowParser::Variables *set : {&no_variables, &variables}) {
        try {
            vdFlowParser::Evaluate(program, flow, *set);
        } catch (const std::exception &) {
            // A type error found only at evaluation: a clear message is all
            // that is asked.
        }
    }
}

void ParseAll(vdFlowParser &parser, const vdFlow::Ptr &flow, const std::string &expression)
{
    for (const vdFlowParser::Variables *set : {&no_variables, &variables, &no_variables}) {
        try {
            parser.Parse(flow, *set, expression);
        } catch (const std::exception &) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host::Get();
    static const auto flows = vppFuzz::SampleFlows();

    const std::string expression(reinterpret_cast<const char *>(data), size);
    vdFlowParser parser;
    parser.Check(expression);
    parser.Check(expression, {"count", "network"});
    vdFlowParser::Handle program;
    try {
        program = parser.Compile(expression);
    } catch (const std::exception &) {
    }
    for (const vdFlow::Ptr &flow : flows) {
        if (program)
            EvaluateAll(*program, *flow);
        ParseAll(parser, flow, expression);
    }
    return 0;
}
