// Cost of evaluating flow expressions, each next to a hand-written C++
// predicate doing the same comparisons on the same flow, with one and with
// four threads. Paths: the compiled program (Compile, then Evaluate), the
// text (Parse), the expression tree alone, and the text path as it was
// before the typed steps (the tree found under a shared mutex, held through
// a shared handle). The ratios are printed after the table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "vd_flow.h"
#include "vd_flow_expr_compiler.h"

namespace {

using Variables = vdFlowParser::Variables;

const Variables no_variables;
// Names that no expression below uses: the compiled program still runs typed.
const Variables unrelated_variables = {{"site", "lab"}, {"uplink", "wan0"}};

vdAddr MakeNetwork(const char *text)
{
    vdAddr network;
    vdAddr::Create(network, text);
    return network;
}

const vdAddr &OtherAddr(const vdFlow &flow)
{
    return flow.lower_map != 2 ? flow.upper_addr : flow.lower_addr;
}

bool HandOne(const vdFlow &flow)
{
    return flow.ip_protocol == 6;
}

bool HandFour(const vdFlow &flow)
{
    static const vdAddr network = MakeNetwork("203.0.113.0/24");
    return flow.ip_protocol == 6 && OtherAddr(flow).InPrefix(network) && flow.host_server_name == "www.example.com" &&
           !flow.ip_nat;
}

bool HandIndicator(const vdFlow &flow)
{
    return OtherAddr(flow).GetPort() == 10007;
}

struct Case {
    const char *name;
    const char *expression;
    bool (*hand)(const vdFlow &flow);
    bool matches;
};

// one: a single comparison; four: an int, an address in a prefix, a string
// and a bool; indicator: a typical indicator's filter that does not match.
const Case cases[] = {
    {"one", "ip_protocol == 6", HandOne, true},
    {"four", "ip_protocol == 6 && other_ip == 203.0.113.0/24 && host_server_name == 'www.example.com' && !ip_nat",
     HandFour, true},
    {"indicator", "other_port == 10007", HandIndicator, false},
};

// Each benchmark thread evaluates against its own flow.
std::unique_ptr<vdFlow> MakeFlow()
{
    auto flow = std::make_unique<vdFlow>();
    vdAddr::Create(flow->lower_addr, "192.168.1.10", 51000);
    vdAddr::Create(flow->upper_addr, "203.0.113.5", 443);
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    flow->host_server_name = "www.example.com";
    return flow;
}

// The text path before the typed steps, for comparison in the same run.
class PreviousParser
{
public:
    bool Parse(const vdFlow &flow, const Variables &variables, const std::string &expression)
    {
        std::shared_ptr<const vd_flow_expr::Node> tree = Find(expression);
        if (!tree) {
            std::unique_lock lock(mutex);
            tree = trees.emplace(expression, vd_flow_expr::Compile(expression)).first->second;
        }
        vd_flow_expr::EvalContext context{flow, variables, {}};
        return tree->Test(context);
    }

private:
    std::shared_ptr<const vd_flow_expr::Node> Find(const std::string &expression)
    {
        std::shared_lock lock(mutex);
        auto entry = trees.find(expression);
        return entry == trees.end() ? nullptr : entry->second;
    }

    std::shared_mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<const vd_flow_expr::Node>> trees;
};

// One parser and one compiled program per case, shared by the threads as a
// plug-in's workers share them.
struct Shared {
    vdFlowParser parser;
    PreviousParser previous;
    std::map<std::string, vdFlowParser::Handle> programs;
    std::map<std::string, vd_flow_expr::NodePtr> trees;

    Shared()
    {
        for (const Case &c : cases) {
            programs[c.name] = parser.Compile(c.expression);
            trees[c.name] = vd_flow_expr::Compile(c.expression);
        }
    }
};

Shared &SharedState()
{
    static Shared shared;
    return shared;
}

// Runs evaluate once per iteration after checking its answer.
template <class Evaluate> void Measure(benchmark::State &state, const Case &c, Evaluate evaluate)
{
    auto flow = MakeFlow();
    if (evaluate(*flow) != c.matches || c.hand(*flow) != c.matches) {
        state.SkipWithError("the expression's answer is not the expected one");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(evaluate(*flow));
}

struct Path {
    const char *name;
    void (*run)(benchmark::State &state, const Case &c);
};

const Path paths[] = {
    {"hand", [](benchmark::State &state, const Case &c) { Measure(state, c, c.hand); }},
    {"compiled",
     [](benchmark::State &state, const Case &c) {
         const vdFlowParser::Program &program = *SharedState().programs.at(c.name);
         Measure(state, c, [&](const vdFlow &flow) { return vdFlowParser::Evaluate(program, flow, no_variables); });
     }},
    {"compiled_unrelated_variables",
     [](benchmark::State &state, const Case &c) {
         const vdFlowParser::Program &program = *SharedState().programs.at(c.name);
         Measure(state, c,
                 [&](const vdFlow &flow) { return vdFlowParser::Evaluate(program, flow, unrelated_variables); });
     }},
    {"text",
     [](benchmark::State &state, const Case &c) {
         vdFlowParser &parser = SharedState().parser;
         const std::string expression = c.expression;
         Measure(state, c, [&](const vdFlow &flow) { return parser.Parse(flow, no_variables, expression); });
     }},
    {"tree",
     [](benchmark::State &state, const Case &c) {
         const vd_flow_expr::Node &tree = *SharedState().trees.at(c.name);
         Measure(state, c, [&](const vdFlow &flow) {
             vd_flow_expr::EvalContext context{flow, no_variables, {}};
             return tree.Test(context);
         });
     }},
    {"previous_text",
     [](benchmark::State &state, const Case &c) {
         PreviousParser &previous = SharedState().previous;
         const std::string expression = c.expression;
         Measure(state, c, [&](const vdFlow &flow) { return previous.Parse(flow, no_variables, expression); });
     }},
};

void RegisterAll()
{
    for (const Case &c : cases) {
        for (const Path &path : paths) {
            std::string name = std::string(c.name) + "/" + path.name;
            benchmark::RegisterBenchmark(name.c_str(), [&c, &path](benchmark::State &state) { path.run(state, c); })
                ->Threads(1)
                ->Threads(4);
        }
    }
}

// The console table, then CPU time per call of each path against the
// hand-written predicate, and with four threads against one (with
// repetitions, of the medians).
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!run.error_occurred && (single || run.aggregate_name == "median"))
                cpu_ns[Key(run.run_name.function_name, run.threads)] = run.GetAdjustedCPUTime();
        }
    }

    void PrintRatios() const
    {
        std::printf("\nCPU ns per call; x: against the hand-written predicate; 4t/1t: four threads against one\n");
        for (const Case &c : cases) {
            for (const Path &path : paths)
                PrintPath(c, path);
        }
    }

private:
    static std::string Key(const std::string &function, int threads)
    {
        return function + "@" + std::to_string(threads);
    }

    double Find(const Case &c, const char *path, int threads) const
    {
        auto entry = cpu_ns.find(Key(std::string(c.name) + "/" + path, threads));
        return entry == cpu_ns.end() ? 0 : entry->second;
    }

    void PrintPath(const Case &c, const Path &path) const
    {
        double hand[2] = {Find(c, "hand", 1), Find(c, "hand", 4)};
        double own[2] = {Find(c, path.name, 1), Find(c, path.name, 4)};
        if (hand[0] <= 0 || hand[1] <= 0 || own[0] <= 0 || own[1] <= 0)
            return;
        std::printf("%-10s %-30s 1t %7.2f ns %6.1fx   4t %7.2f ns %6.1fx   4t/1t %5.2f\n", c.name, path.name, own[0],
                    own[0] / hand[0], own[1], own[1] / hand[1], own[1] / own[0]);
    }

    std::map<std::string, double> cpu_ns;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RegisterAll();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
