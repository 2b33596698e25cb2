// Turns one line of the events input into the request it names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vd_api.h"
#include "vd_flow.h"
#include "vd_plugin.h"

struct FlowEvent {
    vdPluginProcessor::Event code;
    vdFlow::Ptr flow;
};

// The flows of a flow-map line, checked and with distinct digests. The map
// itself is built only when the line is handed in: an empty map of many
// buckets takes megabytes, and lines are read well ahead of their turn.
struct FlowMapEvent {
    vdPluginProcessor::Event code;
    uint32_t buckets = 1;
    std::vector<vdFlow::Ptr> flows;
};

struct ReloadRequest {
};
struct PollRequest {
};
struct StatusRequest {
};

struct SleepRequest {
    double seconds;
};

// The signatures file is read with the line, so that a bad file is an
// error of that line.
struct SignaturesRequest {
    vdVelborApiManager::Signatures signatures;
};

using ReplayRequest =
    std::variant<FlowEvent, FlowMapEvent, ReloadRequest, PollRequest, StatusRequest, SleepRequest, SignaturesRequest>;

// Throws InputError naming the member at fault.
ReplayRequest ReadRequest(const std::string &line);
// ReadRequest for a line read ahead of its turn: nullopt for a line that
// reads a file ("signatures"), which ReadRequest reads in its turn. Throws
// InputError for every line ReadRequest refuses.
std::optional<ReplayRequest> ReadSelfContainedRequest(const std::string &line);
