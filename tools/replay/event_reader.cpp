// A line is a JSON object holding exactly one request key ("event",
// "reload", ...) and the members that request allows.
#include "event_reader.h"

#include <map>
#include <set>
#include <string_view>

#include "api_data_reader.h"
#include "flow_reader.h"
#include "json_values.h"

namespace {

constexpr double max_sleep_seconds = 3600;
constexpr uint32_t max_buckets = 65536;

const std::map<std::string_view, vdPluginProcessor::Event> &ProcessorEventNames()
{
    using P = vdPluginProcessor;
    static const std::map<std::string_view, P::Event> names{
        {"none", P::none},
        {"flow_stats", P::flow_stats},
        {"flow_new", P::flow_new},
        {"flow_expiring", P::flow_expiring},
        {"flow_expired", P::flow_expired},
        {"intel_record", P::intel_record},
        {"dpi_new", P::dpi_new},
        {"dpi_update", P::dpi_update},
        {"dpi_complete", P::dpi_complete},
        {"interfaces", P::interfaces},
        {"pkt_global_stats", P::pkt_global_stats},
        {"pkt_iface_stats", P::pkt_iface_stats},
        {"update_init", P::update_init},
        {"periodic_update", P::periodic_update},
        {"update_complete", P::update_complete},
        {"status_update", P::status_update},
    };
    return names;
}

vdPluginProcessor::Event ReadEventCode(const json &value)
{
    if (value.is_string()) {
        auto name = value.get<std::string>();
        auto entry = ProcessorEventNames().find(name);
        if (entry == ProcessorEventNames().end())
            throw InputError("event", "unknown processor event " + DescribeValue(value));
        return entry->second;
    }
    if (!value.is_number())
        throw InputError("event", std::string("expected an event name or number, got ") + value.type_name());
    return static_cast<vdPluginProcessor::Event>(ReadInteger<uint16_t>(value, "event"));
}

vdFlow::Ptr ReadOneFlow(const json &value, const std::string &path)
{
    auto flow = std::make_shared<vdFlow>();
    ReadFlow(value, *flow, path);
    return flow;
}

FlowMapEvent ReadFlowMap(vdPluginProcessor::Event code, const json &flows, const json *buckets_value)
{
    FlowMapEvent event{code, 1, {}};
    if (buckets_value)
        event.buckets = ReadInteger<uint32_t>(*buckets_value, "buckets", 1, max_buckets);
    RequireArray(flows, "flowmap");

    // The map keys flows by digest: a repeated digest would replace a flow.
    std::map<uint64_t, size_t> first_with_digest;
    event.flows.reserve(flows.size());
    for (size_t index = 0; index < flows.size(); index++) {
        std::string path = ElementPath("flowmap", index);
        auto flow = ReadOneFlow(flows[index], path);
        auto [entry, inserted] = first_with_digest.emplace(flow->digest, index);
        if (!inserted)
            throw InputError(MemberPath(path, "digest"),
                             "repeats the digest of " + ElementPath("flowmap", entry->second));
        event.flows.push_back(std::move(flow));
    }
    return event;
}

ReplayRequest ReadFlowEvent(const json &line)
{
    auto code = ReadEventCode(line.at("event"));
    bool has_flow = line.contains("flow");
    bool has_flowmap = line.contains("flowmap");
    if (has_flow == has_flowmap)
        throw InputError("event", "needs exactly one of \"flow\" and \"flowmap\"");
    if (has_flow) {
        if (line.contains("buckets"))
            throw InputError("buckets", "only with \"flowmap\"");
        return FlowEvent{code, ReadOneFlow(line.at("flow"), "flow")};
    }
    auto buckets = line.find("buckets");
    return ReadFlowMap(code, line.at("flowmap"), buckets == line.end() ? nullptr : &*buckets);
}

void RequireTrue(const json &value, const std::string &path)
{
    if (!ReadBool(value, path))
        throw InputError(path, "must be true");
}

struct RequestKind {
    std::set<std::string_view> members;  // besides the kind's own key
    ReplayRequest (*read)(const json &line);
    // Reading the line reads a file too: only in the order of the lines.
    bool reads_files = false;
};

const std::map<std::string_view, RequestKind> &RequestKinds()
{
    static const std::map<std::string_view, RequestKind> kinds{
        {"event", {{"flow", "flowmap", "buckets"}, ReadFlowEvent}},
        {"reload",
         {{},
          [](const json &line) -> ReplayRequest {
              RequireTrue(line.at("reload"), "reload");
              return ReloadRequest{};
          }}},
        {"poll",
         {{},
          [](const json &line) -> ReplayRequest {
              RequireTrue(line.at("poll"), "poll");
              return PollRequest{};
          }}},
        {"status",
         {{},
          [](const json &line) -> ReplayRequest {
              RequireTrue(line.at("status"), "status");
              return StatusRequest{};
          }}},
        {"sleep",
         {{},
          [](const json &line) -> ReplayRequest {
              return SleepRequest{ReadNumber(line.at("sleep"), "sleep", 0, max_sleep_seconds)};
          }}},
        {"signatures",
         {{},
          [](const json &line) -> ReplayRequest {
              auto path = ReadString(line.at("signatures"), "signatures");
              try {
                  return SignaturesRequest{ReadSignaturesFile(path)};
              } catch (const std::exception &error) {
                  throw InputError("signatures", error.what());
              }
          },
          true}},
    };
    return kinds;
}

// The kind of request the line holds, after checking its members.
const RequestKind &FindKind(const json &line)
{
    if (!line.is_object())
        throw InputError("", std::string("expected a JSON object, got ") + line.type_name());

    std::string_view kind_name;
    const RequestKind *kind = nullptr;
    for (const auto &[name, value] : line.items()) {
        auto entry = RequestKinds().find(name);
        if (entry == RequestKinds().end())
            continue;
        if (kind)
            throw InputError(name, "a line holds one request, and it has \"" + std::string(kind_name) + "\" already");
        kind_name = entry->first;
        kind = &entry->second;
    }
    if (!kind)
        throw InputError(line.empty() ? "" : line.begin().key(),
                         line.empty() ? "empty line object" : "unknown line kind");
    for (const auto &[name, value] : line.items()) {
        if (name != kind_name && !kind->members.contains(name))
            throw InputError(name, "unknown member of a \"" + std::string(kind_name) + "\" line");
    }
    return *kind;
}

}  // namespace

ReplayRequest ReadRequest(const std::string &text)
{
    json line = ParseStrictJson(text);
    return FindKind(line).read(line);
}

std::optional<ReplayRequest> ReadSelfContainedRequest(const std::string &text)
{
    json line = ParseStrictJson(text);
    const RequestKind &kind = FindKind(line);
    if (kind.reads_files)
        return std::nullopt;
    return kind.read(line);
}
