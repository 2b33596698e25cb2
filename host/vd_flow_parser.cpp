// The flow-expression evaluator: compiles each distinct expression once and
// evaluates the kept tree on every later call.
#include <shared_mutex>
#include <unordered_map>

#include "vd_flow.h"
#include "vd_flow_expr_compiler.h"
#include "vd_flow_expr_error.h"

namespace {

// Expressions beyond these are compiled on every call rather than kept, so
// that a stream of distinct texts cannot grow the cache without bound.
constexpr size_t max_cached_expressions = 4096;
constexpr size_t max_cached_bytes = 4 * 1024 * 1024;

}  // namespace

// A compiled expression, or the error that compiling it raised.
class vdFlowParser::Program
{
public:
    vd_flow_expr::NodePtr root;
    std::string error;

    static Program From(const std::string &expression)
    {
        Program compiled;
        try {
            compiled.root = vd_flow_expr::Compile(expression);
        } catch (const vd_flow_expr::Error &error) {
            compiled.error = error.what();
        }
        return compiled;
    }

    bool Evaluate(const vdFlow &flow, const vdFlowParser::Variables &variables) const
    {
        if (!root)
            throw vd_flow_expr::Error(error);
        vd_flow_expr::EvalContext context{flow, variables, {}};
        return root->Test(context);
    }
};

struct vdFlowParser::Cache {
    std::shared_mutex mutex;
    // Entries are never removed; the programs themselves are shared and not
    // changed after compiling.
    std::unordered_map<std::string, Handle> entries;
    size_t bytes = 0;

    Handle Find(const std::string &expression)
    {
        std::shared_lock lock(mutex);
        auto entry = entries.find(expression);
        return entry == entries.end() ? nullptr : entry->second;
    }

    // Keeps compiled unless the cache is full; returns the kept program, or
    // compiled itself when the cache is full.
    Handle Insert(const std::string &expression, Handle compiled)
    {
        std::unique_lock lock(mutex);
        auto entry = entries.find(expression);
        if (entry != entries.end())
            return entry->second;
        if (entries.size() >= max_cached_expressions || bytes + expression.size() > max_cached_bytes)
            return compiled;
        bytes += expression.size();
        return entries.emplace(expression, std::move(compiled)).first->second;
    }

    Handle Get(const std::string &expression)
    {
        if (Handle cached = Find(expression))
            return cached;
        // Compiled outside the lock: a long expression must not stall the others.
        return Insert(expression, std::make_shared<const Program>(Program::From(expression)));
    }
};

vdFlowParser::vdFlowParser() : cache(std::make_unique<Cache>()) {}

vdFlowParser::~vdFlowParser() = default;

bool vdFlowParser::Parse(const vdFlow::Ptr &flow, const Variables &variables, const std::string &expression)
{
    if (!flow)
        vd_flow_expr::Throw("no flow to evaluate against");
    return Parse(*flow, variables, expression);
}

bool vdFlowParser::Parse(const vdFlow &flow, const Variables &variables, const std::string &expression)
{
    return cache->Get(expression)->Evaluate(flow, variables);
}

std::string vdFlowParser::Check(const std::string &expression)
{
    return cache->Get(expression)->error;
}

vdFlowParser::Handle vdFlowParser::Compile(const std::string &expression)
{
    Handle program = cache->Get(expression);
    if (!program->root)
        throw vd_flow_expr::Error(program->error);
    return program;
}

bool vdFlowParser::Evaluate(const Program &program, const vdFlow &flow, const Variables &variables)
{
    return program.Evaluate(flow, variables);
}
