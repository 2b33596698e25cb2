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

// A compiled expression, or the error that compiling it raised.
struct Compiled {
    vd_flow_expr::NodePtr root;
    std::string error;

    static Compiled From(const std::string &expression)
    {
        Compiled compiled;
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

}  // namespace

struct vdFlowParser::Cache {
    std::shared_mutex mutex;
    // Entries are never removed, so a found entry stays valid once the lock
    // is released; the tree itself is not changed after compiling.
    std::unordered_map<std::string, Compiled> entries;
    size_t bytes = 0;

    const Compiled *Find(const std::string &expression)
    {
        std::shared_lock lock(mutex);
        auto entry = entries.find(expression);
        return entry == entries.end() ? nullptr : &entry->second;
    }

    // Takes compiled over and returns the kept entry; nullptr (compiled left
    // as it was) when the cache is full.
    const Compiled *Insert(const std::string &expression, Compiled &compiled)
    {
        std::unique_lock lock(mutex);
        auto entry = entries.find(expression);
        if (entry != entries.end())
            return &entry->second;
        if (entries.size() >= max_cached_expressions || bytes + expression.size() > max_cached_bytes)
            return nullptr;
        bytes += expression.size();
        return &entries.emplace(expression, std::move(compiled)).first->second;
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
    if (const Compiled *cached = cache->Find(expression))
        return cached->Evaluate(flow, variables);

    // Compiled outside the lock: a long expression must not stall the others.
    Compiled compiled = Compiled::From(expression);
    if (const Compiled *cached = cache->Insert(expression, compiled))
        return cached->Evaluate(flow, variables);
    return compiled.Evaluate(flow, variables);
}

std::string vdFlowParser::Check(const std::string &expression)
{
    if (const Compiled *cached = cache->Find(expression))
        return cached->error;
    Compiled compiled = Compiled::From(expression);
    if (const Compiled *cached = cache->Insert(expression, compiled))
        return cached->error;
    return compiled.error;
}
