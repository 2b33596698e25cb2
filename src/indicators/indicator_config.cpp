// Reading an indicator's configuration: the indicator's own object and the
// "indicator_defaults" object.
#include <cfloat>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "common/json_reader.h"
#include "common/text_match.h"
#include "indicators/cache/intel_cache.h"
#include "indicators/indicator.h"

namespace vppIndicator {

namespace {

constexpr unsigned max_configured_priority = 65535;

// Names an event-filter entry may abbreviate, tried in this order.
constexpr std::pair<std::string_view, vdPluginProcessor::Event> event_names[] = {
    {"flow_new", vdPluginProcessor::flow_new},
    {"flow_stats", vdPluginProcessor::flow_stats},
    {"flow_expiring", vdPluginProcessor::flow_expiring},
    {"flow_expired", vdPluginProcessor::flow_expired},
    {"dpi_new", vdPluginProcessor::dpi_new},
    {"dpi_update", vdPluginProcessor::dpi_update},
    {"dpi_complete", vdPluginProcessor::dpi_complete},
};

std::optional<vdPluginProcessor::Event> MatchEventName(std::string_view text)
{
    for (const auto &[name, code] : event_names)
        if (vppTextMatch::IsPrefixIgnoreCase(text, name))
            return code;
    return std::nullopt;
}

// An attribute by its JSON type; nullopt for null. Numbers that do not fit
// the attribute's float or int are kept as the JSON number itself.
std::optional<vppIntel::AttrValue> MakeAttr(const json &value)
{
    switch (value.type()) {
    case json::value_t::boolean:
        return vppIntel::AttrValue(value.get<bool>());
    case json::value_t::number_float: {
        double number = value.get<double>();
        if (std::isfinite(number) && std::fabs(number) <= FLT_MAX)
            return vppIntel::AttrValue(static_cast<float>(number));
        return vppIntel::AttrValue(value);
    }
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
        if (auto number = vppJson::Lenient::Int32(value))
            return vppIntel::AttrValue(*number);
        return vppIntel::AttrValue(value);
    case json::value_t::string:
        return vppIntel::AttrValue(value.get<std::string>());
    case json::value_t::object:
    case json::value_t::array:
        return vppIntel::AttrValue(value);
    default:
        return std::nullopt;
    }
}

bool IsFlowExpressionName(const std::string &key)
{
    return key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
}

// One reader for "proc_targets" and "sink_targets"; what names them in its lines.
void LoadTargets(const std::string &tag, const json &conf, const char *key, const char *what, Base::Targets &out,
                 bool log_loaded)
{
    const json *value = vppJson::FindMemberOrLog(tag, conf, key, what);
    if (value == nullptr)
        return;
    if (!value->is_array())
        throw vdException("%s: %s entry must be an array.", tag.c_str(), what);
    auto names = vppJson::ConvertOrLog<Base::Targets>(tag, *value, what);
    if (!names)
        return;
    out = std::move(*names);
    if (log_loaded)
        vd_dprintf("%s: %s loaded: %lu\n", tag.c_str(), what, out.size());
}

}  // namespace

void Base::LoadConfig(const json &conf, const json &defaults)
{
    criteria.Load(tag, defaults, true);
    criteria.Load(tag, conf, false);
    criteria.Update();

    LoadAttrs(defaults, true);
    LoadAttrs(conf, false);

    if (driver == Driver::custom && criteria.flow_expr.empty())
        throw vdException("%s: criteria must include a flow expression (flow_expr)", tag.c_str());
    LoadFlowProgram();

    LoadScore(conf);

    // The defaults' filter applies only to an indicator without its own.
    AddEventFilter(conf, false);
    if (event_filter.Empty())
        AddEventFilter(defaults, true);
    if (event_filter.Empty())
        event_filter.Insert(vdPluginProcessor::dpi_complete);

    LoadProcessors(tag, conf, proc_targets);
    LoadSinks(tag, conf, sink_targets);

    LoadCache(conf);
}

// A bad expression leaves the indicator loaded and never matching, each
// evaluation logging why at debug level; one line at load says so up front.
// Expressions are evaluated without variables, so a name that is no flow
// field can never be supplied: it is reported here too.
void Base::LoadFlowProgram()
{
    if (criteria.flow_expr.empty())
        return;
    try {
        flow_program = FlowExpr->Compile(criteria.flow_expr, vdFlowParser::VariableNames{});
    } catch (const std::exception &e) {
        flow_program_error = e.what();
        vd_printf("%s: criteria flow_expr never matches: %s\n", tag.c_str(), flow_program_error.c_str());
    }
}

void Base::LoadAttrs(const json &j, bool defaults)
{
    const char *name = defaults ? "default attrs" : "attrs";
    const json *object = vppJson::FindMember(j, "attrs");
    if (object == nullptr)
        return;
    if (!object->is_object())
        throw vdException("%s: %s entry must be an object.", tag.c_str(), name);

    for (const auto &[key, value] : object->items()) {
        vd_dprintf("%s: %s key: %s\n", tag.c_str(), name, key.c_str());
        if (!IsFlowExpressionName(key))
            vd_printf("%s: %s: key can't be used in a flow expression (want [a-z0-9_]): %s\n", tag.c_str(), name,
                      key.c_str());
        if (auto attr = MakeAttr(value))
            attrs[key] = std::move(*attr);
        else
            vd_printf("%s: %s: null value ignored: %s\n", tag.c_str(), name, key.c_str());
    }
}

void Base::LoadScore(const json &conf)
{
    const json *value = vppJson::FindMemberOrLog(tag, conf, "score", "score");
    if (value == nullptr)
        return;
    auto number = vppJson::Lenient::Unsigned64(*value);
    if (!number)
        throw vdException("%s: %s entry must be an unsigned integer.", tag.c_str(), "score");
    if (*number > std::numeric_limits<uint32_t>::max())
        throw vdException("%s: %s entry out of range; > %u", tag.c_str(), "score",
                          std::numeric_limits<uint32_t>::max());
    score = static_cast<uint32_t>(*number);
}

void Base::LoadCache(const json &conf)
{
    const json *value = vppJson::FindMemberOrLog(tag, conf, "cache", "cache");
    if (value == nullptr)
        return;
    if (!value->is_object())
        throw vdException("%s: %s entry must be an object.", tag.c_str(), "cache");
    // The store reports a bad key itself; its errors fail the indicator.
    cache = vppCache::Store::Create(tag, *value);
    vd_dprintf("%s: cache enabled.\n", tag.c_str());
}

unsigned Base::LoadPriority(const std::string &tag, const json &conf, unsigned ordinal)
{
    const json *value = vppJson::FindMemberOrLog(tag, conf, "priority", "priority");
    if (value == nullptr)
        return ordinal;
    auto number = vppJson::Lenient::Unsigned64(*value);
    if (!number)
        throw vdException("%s: priority must be an unsigned integer.", tag.c_str());
    // Compared before narrowing, so a huge number cannot wrap onto the ordinal.
    if (*number <= max_configured_priority || *number == ordinal)
        return static_cast<unsigned>(*number);
    throw vdException("%s: %s invalid; > %u", tag.c_str(), "priority", max_configured_priority);
}

void Base::AddEventFilter(const json &j, bool defaults)
{
    const char *name = defaults ? "default event_filter" : "event_filter";
    const json *value = vppJson::FindMemberOrLog(tag, j, "event_filter", name);
    if (value == nullptr)
        return;

    // An array's elements, an object's member values, a lone string itself.
    for (const json &element : *value) {
        if (!element.is_string())
            throw vdException("%s: %s entries must be strings.", tag.c_str(), name);
        const std::string &text = element.get_ref<const std::string &>();
        auto code = MatchEventName(text);
        if (!code)
            throw vdException("%s: invalid %s entry: %s", tag.c_str(), name, text.c_str());
        vd_dprintf("%s: adding %s: %s (%02hhu)\n", tag.c_str(), name, text.c_str(), static_cast<unsigned char>(*code));
        event_filter.Insert(*code);
    }
    vd_dprintf("%s: %s %s: %lu\n", tag.c_str(), name, defaults ? "entries" : "total entries", event_filter.Size());
}

void Base::LoadProcessors(const std::string &tag, const json &conf, Targets &out)
{
    LoadTargets(tag, conf, "proc_targets", "processors", out, false);
}

void Base::LoadSinks(const std::string &tag, const json &conf, Targets &out)
{
    LoadTargets(tag, conf, "sink_targets", "sinks", out, true);
}

}  // namespace vppIndicator
