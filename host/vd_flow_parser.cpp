// The flow-expression evaluator: compiles each distinct expression once into
// flat typed steps (with its tree for what the steps cannot run) and keeps it
// in a table that evaluating threads read without a lock.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

#include "vd_flow.h"
#include "vd_flow_expr_compiler.h"
#include "vd_flow_expr_error.h"
#include "vd_flow_expr_steps.h"

namespace {

// Expressions beyond these are compiled on every call rather than kept, so
// that a stream of distinct texts cannot grow the cache without bound.
constexpr size_t max_cached_expressions = 4096;
constexpr size_t max_cached_bytes = 4 * 1024 * 1024;

// Twice the entries, a power of two: the table is never more than half
// full, so a probe always reaches an empty slot soon.
constexpr size_t cache_slots = 2 * max_cached_expressions;
static_assert((cache_slots & (cache_slots - 1)) == 0);

}  // namespace

// A compiled expression, or the error that compiling it raised.
class vdFlowParser::Program
{
public:
    explicit Program(const std::string &expression)
    {
        try {
            root = vd_flow_expr::Compile(expression);
            steps.emplace(*root);
        } catch (const vd_flow_expr::Error &failure) {
            error = failure.what();
        }
    }

    bool Compiled() const { return root != nullptr; }
    const std::string &Error() const { return error; }

    // The compile error, else the error of a name that is neither a flow
    // field nor one of variables; empty when there is neither.
    std::string Error(const vdFlowParser::VariableNames &variables) const
    {
        if (!root)
            return error;
        try {
            vd_flow_expr::CheckNames(*root, variables);
        } catch (const vd_flow_expr::Error &failure) {
            return failure.what();
        }
        return {};
    }

    bool Evaluate(const vdFlow &flow, const vdFlowParser::Variables &variables) const
    {
        if (!root)
            throw vd_flow_expr::Error(error);
        if (steps->Apply(variables))
            return steps->Run(flow, variables);
        vd_flow_expr::EvalContext context{flow, variables, {}};
        return root->Test(context);
    }

private:
    vd_flow_expr::NodePtr root;
    std::optional<vd_flow_expr::Steps> steps;  // refers to the nodes of root
    std::string error;
};

// Compiled expressions by text, in open addressing. Entries are never
// removed nor changed once published, so readers take no lock and write
// nothing shared: evaluating threads do not slow each other down.
class vdFlowParser::Cache
{
public:
    Cache() : slots(new std::atomic<const Entry *>[cache_slots]()) {}
    ~Cache()
    {
        for (size_t slot = 0; slot < cache_slots; slot++)
            delete slots[slot].load(std::memory_order_relaxed);
    }
    Cache(const Cache &) = delete;
    Cache &operator=(const Cache &) = delete;

    // The kept program of the text; nullptr when it is not kept.
    const Program *Find(const std::string &expression) const
    {
        const Entry *entry = Probe(expression, std::hash<std::string>{}(expression)).entry;
        return entry ? entry->program.get() : nullptr;
    }

    // The kept program of the text, compiling and keeping it when missing,
    // or a program of its own when the cache is full.
    Handle Get(const std::string &expression)
    {
        size_t hash = std::hash<std::string>{}(expression);
        if (const Entry *entry = Probe(expression, hash).entry)
            return entry->program;
        // Compiled outside the lock: a long expression must not stall the others.
        auto compiled = std::make_shared<const Program>(expression);
        std::lock_guard<std::mutex> lock(writer);
        Place place = Probe(expression, hash);
        if (place.entry)
            return place.entry->program;
        if (count >= max_cached_expressions || bytes + expression.size() > max_cached_bytes)
            return compiled;
        count++;
        bytes += expression.size();
        slots[place.slot].store(new Entry{hash, expression, compiled}, std::memory_order_release);
        return compiled;
    }

private:
    struct Entry {
        size_t hash;
        std::string text;
        Handle program;
    };

    // The entry of the text, or the empty slot where it would go.
    struct Place {
        const Entry *entry;
        size_t slot;
    };

    Place Probe(const std::string &expression, size_t hash) const
    {
        for (size_t slot = hash & (cache_slots - 1);; slot = (slot + 1) & (cache_slots - 1)) {
            const Entry *entry = slots[slot].load(std::memory_order_acquire);
            if (!entry || (entry->hash == hash && entry->text == expression))
                return {entry, slot};
        }
    }

    std::unique_ptr<std::atomic<const Entry *>[]> slots;
    std::mutex writer;  // one inserting thread at a time
    size_t count = 0;
    size_t bytes = 0;
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
    // The kept program is used without copying its handle: the shared count
    // would be written by every thread on every call.
    if (const Program *kept = cache->Find(expression))
        return kept->Evaluate(flow, variables);
    return cache->Get(expression)->Evaluate(flow, variables);
}

std::string vdFlowParser::Check(const std::string &expression)
{
    return cache->Get(expression)->Error();
}

std::string vdFlowParser::Check(const std::string &expression, const VariableNames &variables)
{
    return cache->Get(expression)->Error(variables);
}

vdFlowParser::Handle vdFlowParser::Compile(const std::string &expression)
{
    Handle program = cache->Get(expression);
    if (!program->Compiled())
        throw vd_flow_expr::Error(program->Error());
    return program;
}

vdFlowParser::Handle vdFlowParser::Compile(const std::string &expression, const VariableNames &variables)
{
    Handle program = cache->Get(expression);
    std::string error = program->Error(variables);
    if (!error.empty())
        throw vd_flow_expr::Error(error);
    return program;
}

bool vdFlowParser::Evaluate(const Program &program, const vdFlow &flow, const Variables &variables)
{
    return program.Evaluate(flow, variables);
}
