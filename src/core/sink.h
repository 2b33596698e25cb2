// Sink targets: named routes from the plug-in's intel to the host's sink
// plug-ins, each with channels that say how much of the flow travels along.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "flow/flow_document.h"
#include "vd_common.h"
#include "vd_flow.h"

namespace vppSink {

// How much of the flow record a channel sends.
enum class FlowMetadataType : uint8_t {
    none = 0,         // only what the encoder always writes
    use_default = 1,  // the sink-wide default; replaced when a channel loads
    stats = 2,        // plus the counters
    full = 0xff,      // metadata, tunnel and counters
};

// What one flow's intel sends: an envelope per flow metadata level, encoded
// once when a channel of that level first asks and then handed to every
// channel of that level. Lives on the worker thread for one flow's output.
class FlowEnvelopes
{
public:
    FlowEnvelopes(json intel, vdFlow::Ptr flow);
    // Gives the flow documents back to the encoder for later flows' use.
    ~FlowEnvelopes();
    // Holds a pointer into its own envelopes.
    FlowEnvelopes(const FlowEnvelopes &) = delete;
    FlowEnvelopes &operator=(const FlowEnvelopes &) = delete;

    // Notes a level that will be asked for: the last level noted takes the
    // intel itself when its envelope is built, not a copy.
    void Expect(FlowMetadataType level);
    // The envelope at level; what encoding throws reaches every channel that
    // asks, as the encoding is tried again for each.
    const json &For(FlowMetadataType level);

    const vdFlow::Ptr &Flow() const { return flow; }

private:
    // By the encoder flags a level stands for.
    struct Level {
        bool expected = false;
        std::optional<json> envelope;
        vdFlowEncoding::ShapeId shape;  // of the envelope's flow document
    };

    json Build(vdFlags<vdFlow::EncodeFlags> flags, bool take_intel, vdFlowEncoding::ShapeId &shape);
    const json &Intel() const;

    json intel;
    const json *taken_intel = nullptr;  // where the intel went, once taken
    vdFlow::Ptr flow;
    std::array<Level, 8> levels;
    unsigned pending = 0;  // levels expected and not built yet
};

// One channel of a host sink; a plain value.
class Channel
{
public:
    // The configured "dispatch_flags": exactly one format bit (0x07) set.
    static uint8_t LoadDispatchFlags(const std::string &tag, const json &channel);
    // The configured "flow_metadata"; sink_wide reads the sink-wide default,
    // which may not be "default" itself and is "none" when missing.
    static FlowMetadataType LoadFlowMetadata(const std::string &tag, const json &conf, bool sink_wide);

    // Encodes the flow, adds intel (the JSON array of its entries) and hands
    // the envelope to the host sink.
    void Dispatch(const std::string &sink, const json &intel, const vdFlow::Ptr &flow) const;
    // The same, with the envelope of this channel's level shared with the
    // flow's other channels.
    void Dispatch(const std::string &sink, FlowEnvelopes &envelopes) const;
    // Hands a finished document to the host sink on this channel alone.
    void Dispatch(const std::string &sink, const json &document) const;

    std::string name;
    uint8_t dispatch_flags = 0x01;
    FlowMetadataType flow_metadata = FlowMetadataType::full;
};

// One sink target: the host sink it feeds and its enabled channels.
class Base
{
public:
    // Loads the channels (a JSON object of channel name to channel object).
    Base(const std::string &name, const json &channels, FlowMetadataType default_metadata);
    virtual ~Base() = default;

    Base(const Base &) = default;
    Base &operator=(const Base &) = default;
    Base(Base &&) = default;
    Base &operator=(Base &&) = default;

    void LoadConfig(const json &channels, FlowMetadataType default_metadata);

    std::string name;
    std::unordered_map<std::string, Channel> channels;
};

using Targets = std::unordered_map<std::string, Base>;

// Adds the targets of config's "sink_targets" that are not loaded yet;
// defaults is the "indicator_defaults" value (null when absent). Throws
// vdException for a malformed target; a target missing "sink" or "channels"
// is skipped with a log line naming it.
void LoadConfig(Targets &targets, const json &config, const json &defaults);

}  // namespace vppSink
