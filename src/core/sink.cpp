// Loading sink targets and channels, and handing intel to the host's sinks.
#include "core/sink.h"

#include <set>

#include "flow/flow_encoder.h"
#include "common/json_reader.h"
#include "common/text_match.h"
#include "vd_plugin.h"

namespace vppSink {
namespace {

constexpr const char *loader_tag = "sink_loader";
constexpr const char *sink_defaults_tag = "sink_defaults";
// The configured bits are the host's own dispatch flag bits.
constexpr uint8_t Bit(vdPlugin::DispatchFlags flag)
{
    return static_cast<uint8_t>(flag);
}

constexpr uint8_t format_json = Bit(vdPlugin::DispatchFlags::format_json);
constexpr uint8_t format_mask =
    format_json | Bit(vdPlugin::DispatchFlags::format_json_object) | Bit(vdPlugin::DispatchFlags::format_msgpack);

struct DispatchFlagName {
    const char *name;
    uint8_t bit;
};

// In matching order; the first three are the mutually exclusive formats.
constexpr DispatchFlagName dispatch_flag_names[] = {
    {"format_json", format_json},
    {"format_json_object", Bit(vdPlugin::DispatchFlags::format_json_object)},
    {"format_msgpack", Bit(vdPlugin::DispatchFlags::format_msgpack)},
    {"append_linefeed", Bit(vdPlugin::DispatchFlags::append_linefeed)},
    {"prepend_length_header", Bit(vdPlugin::DispatchFlags::prepend_length_header)},
    {"compressor_gzip", Bit(vdPlugin::DispatchFlags::compressor_gzip)},
};

struct FlowMetadataName {
    const char *name;
    FlowMetadataType type;
};

constexpr FlowMetadataName flow_metadata_names[] = {
    {"none", FlowMetadataType::none},
    {"default", FlowMetadataType::use_default},
    {"stats", FlowMetadataType::stats},
    {"full", FlowMetadataType::full},
};

const DispatchFlagName *FindDispatchFlag(const std::string &configured)
{
    for (const auto &entry : dispatch_flag_names) {
        if (vppTextMatch::IsPrefixIgnoreCase(configured, entry.name))
            return &entry;
    }
    return nullptr;
}

const FlowMetadataName *FindFlowMetadata(const std::string &configured, bool sink_wide)
{
    for (const auto &entry : flow_metadata_names) {
        if (sink_wide && entry.type == FlowMetadataType::use_default)
            continue;
        if (vppTextMatch::IsPrefixIgnoreCase(configured, entry.name))
            return &entry;
    }
    return nullptr;
}

vdFlags<vdFlow::EncodeFlags> EncodeFlagsFor(FlowMetadataType metadata)
{
    switch (metadata) {
    case FlowMetadataType::none:
        return vdFlow::EncodeFlags::encode_none;
    case FlowMetadataType::stats:
        return vdFlow::EncodeFlags::encode_stats;
    default:
        // "default" never survives loading; a hand-built channel gets it all.
        return vdFlow::EncodeFlags::encode_all;
    }
}

FlowMetadataType SinkWideDefault(const json &defaults)
{
    const json *sink = vppJson::FindMember(defaults, "sink");
    if (sink == nullptr || !sink->is_object())
        return FlowMetadataType::full;
    return Channel::LoadFlowMetadata(sink_defaults_tag, *sink, true);
}

// Finds the target's "sink" and "channels"; false, after a log line naming
// the target, when one of them is missing.
bool FindTargetMembers(const std::string &target, const json &value, std::string &sink, const json *&channels)
{
    if (!value.is_object())
        throw vdException("%s: sink entries must be objects.", loader_tag);
    const json *sink_member = vppJson::FindMember(value, "sink");
    if (sink_member == nullptr) {
        vd_printf("%s: sink target %s skipped: \"sink\" not found.\n", loader_tag, target.c_str());
        return false;
    }
    if (!sink_member->is_string())
        throw vdException("%s: sink target must be a string.", loader_tag);
    const json *channels_member = vppJson::FindMember(value, "channels");
    if (channels_member == nullptr) {
        vd_printf("%s: sink target %s skipped: \"channels\" not found.\n", loader_tag, target.c_str());
        return false;
    }
    if (!channels_member->is_object())
        throw vdException("%s: channels entry must be an object.", loader_tag);
    sink = sink_member->get<std::string>();
    channels = channels_member;
    return true;
}

}  // namespace

uint8_t Channel::LoadDispatchFlags(const std::string &tag, const json &channel)
{
    const char *label = "dispatch_flags";
    uint8_t flags = 0;
    const json *configured = vppJson::FindMemberOrLog(tag, channel, label, label);
    if (configured != nullptr) {
        if (!configured->is_array())
            throw vdException("%s: %s entries must be an array.", tag.c_str(), label);
        for (const auto &element : *configured) {
            auto configured_name = vppJson::ConvertOrLog<std::string>(tag, element, label);
            if (!configured_name)
                break;
            const std::string &name = *configured_name;
            const DispatchFlagName *entry = FindDispatchFlag(name);
            if (entry == nullptr)
                throw vdException("%s: invalid %s dispatch_flag type: %s", tag.c_str(), label, name.c_str());
            if ((entry->bit & format_mask) && (flags & format_mask)) {
                throw vdException("%s: invalid %s dispatch_flag; multiple formats specified: %s", tag.c_str(), label,
                                  name.c_str());
            }
            flags |= entry->bit;
        }
    }

    if (!(flags & format_mask))
        flags |= format_json;
    vd_dprintf("%s: %s: dispatch_flags: %hhu\n", tag.c_str(), label, flags);
    return flags;
}

FlowMetadataType Channel::LoadFlowMetadata(const std::string &tag, const json &conf, bool sink_wide)
{
    const char *label = sink_wide ? "default flow_metadata" : "flow_metadata";
    const json *configured = vppJson::FindMemberOrLog(tag, conf, "flow_metadata", label);
    if (configured == nullptr)
        return sink_wide ? FlowMetadataType::none : FlowMetadataType::use_default;
    if (!configured->is_string())
        throw vdException("%s: %s entries must be strings.", tag.c_str(), label);

    const std::string &name = configured->get_ref<const std::string &>();
    const FlowMetadataName *entry = FindFlowMetadata(name, sink_wide);
    if (entry == nullptr)
        throw vdException("%s: invalid %s metadata type: %s", tag.c_str(), label, name.c_str());
    return entry->type;
}

FlowEnvelopes::FlowEnvelopes(json intel, vdFlow::Ptr flow) : intel(std::move(intel)), flow(std::move(flow)) {}

FlowEnvelopes::~FlowEnvelopes()
{
    for (Level &level : levels) {
        if (!level.envelope || !level.envelope->is_object())
            continue;
        auto document = level.envelope->find("flow");
        if (document == level.envelope->end() || !document->is_object())
            continue;
        // Back as it was encoded: the intel is this envelope's own.
        document->erase("intel");
        vdFlowEncoding::Members::GiveBack(*document, level.shape);
    }
}

void FlowEnvelopes::Expect(FlowMetadataType level)
{
    Level &at = levels[EncodeFlagsFor(level).value()];
    if (!at.expected && !at.envelope)
        pending++;
    at.expected = true;
}

const json &FlowEnvelopes::For(FlowMetadataType level)
{
    const vdFlags<vdFlow::EncodeFlags> flags = EncodeFlagsFor(level);
    Level &at = levels[flags.value()];
    if (at.envelope)
        return *at.envelope;
    const bool last = at.expected && pending == 1 && taken_intel == nullptr;
    at.envelope = Build(flags, last, at.shape);
    if (at.expected)
        pending--;
    if (last)
        taken_intel = &(*at.envelope)["flow"]["intel"];
    return *at.envelope;
}

json FlowEnvelopes::Build(vdFlags<vdFlow::EncodeFlags> flags, bool take_intel, vdFlowEncoding::ShapeId &shape)
{
    // Encoded as vdFlow::Encode does, keeping the document's shape.
    vdFlowEncoding::Members members;
    vdFlowEncoding::Gather(*flow, flow->stats, flags, members);
    json document = members.Build(shape);
    if (take_intel)
        document["intel"] = std::move(intel);
    else
        document["intel"] = Intel();

    std::shared_ptr<vdInterface> iface;
    {
        std::lock_guard<std::recursive_mutex> guard(flow->lock);
        iface = flow->iface;
    }

    // In key order: each member goes in at the end without a search.
    json::object_t envelope;
    envelope.emplace_hint(envelope.end(), "flow", std::move(document));
    envelope.emplace_hint(envelope.end(), "interface", iface ? iface->ifname : std::string());
    envelope.emplace_hint(envelope.end(), "internal", iface && iface->role == vdInterface::lan);
    envelope.emplace_hint(envelope.end(), "type", "flow_intel");
    return json(std::move(envelope));
}

const json &FlowEnvelopes::Intel() const
{
    return taken_intel != nullptr ? *taken_intel : intel;
}

void Channel::Dispatch(const std::string &sink, const json &intel, const vdFlow::Ptr &flow) const
{
    FlowEnvelopes envelopes(intel, flow);
    envelopes.Expect(flow_metadata);
    Dispatch(sink, envelopes);
}

void Channel::Dispatch(const std::string &sink, FlowEnvelopes &envelopes) const
{
    if (!envelopes.Flow())
        throw vdException("%s: %s: no flow to dispatch.", sink.c_str(), name.c_str());
    Dispatch(sink, envelopes.For(flow_metadata));
}

void Channel::Dispatch(const std::string &sink, const json &document) const
{
    vdPlugin::DispatchSinkPayload(sink, {name}, document, vdFlags<vdPlugin::DispatchFlags>(dispatch_flags));
}

Base::Base(const std::string &sink_name, const json &channel_config, FlowMetadataType default_metadata)
    : name(sink_name)
{
    channels.max_load_factor(1.0);
    LoadConfig(channel_config, default_metadata);
    vd_dprintf("%s: constructed with %lu channel(s).\n", name.c_str(), static_cast<unsigned long>(channels.size()));
}

void Base::LoadConfig(const json &channel_config, FlowMetadataType default_metadata)
{
    try {
        for (const auto &[channel_name, value] : channel_config.items()) {
            if (vppJson::IsDisabled(value))
                continue;
            Channel channel;
            channel.name = channel_name;
            channel.dispatch_flags = Channel::LoadDispatchFlags(name, value);
            channel.flow_metadata = Channel::LoadFlowMetadata(name, value, false);
            if (channel.flow_metadata == FlowMetadataType::use_default)
                channel.flow_metadata = default_metadata;
            channels.emplace(channel_name, std::move(channel));
            vd_dprintf("%s: loaded channel: %s\n", name.c_str(), channel_name.c_str());
        }
    } catch (const json::exception &e) {
        vppJson::LogNotFoundOrInvalid(name, "sinks/channels", e.what());
    }
}

void LoadConfig(Targets &targets, const json &config, const json &defaults)
{
    const FlowMetadataType default_metadata = SinkWideDefault(defaults);

    const json *configured = vppJson::FindMemberOrLog(loader_tag, config, "sink_targets", "sinks/channels");
    if (configured == nullptr)
        return;
    if (!configured->is_object())
        throw vdException("%s: sinks entry must be an object.", loader_tag);

    for (const auto &[target, value] : configured->items()) {
        std::string sink;
        const json *channels = nullptr;
        if (!FindTargetMembers(target, value, sink, channels))
            continue;
        // A loaded target stays as it is; the new definition is only checked.
        Base loaded(sink, *channels, default_metadata);
        targets.try_emplace(target, std::move(loaded));
        vd_dprintf("%s: loaded sink: %s\n", loader_tag, target.c_str());
    }
}

}  // namespace vppSink
