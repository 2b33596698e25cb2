// Carries out the requests read from the events input on the plug-in.
#pragma once

#include <memory>
#include <vector>

#include "event_reader.h"
#include "output.h"
#include "vd_api.h"
#include "vd_plugin.h"

class EventDispatcher
{
public:
    EventDispatcher(vdPluginProcessor &processor, vdVelborApiManager &api_manager, LineWriter &output);

    // Exceptions from the plug-in pass through.
    void Dispatch(ReplayRequest &request);

private:
    void operator()(FlowEvent &event);
    void operator()(FlowMapEvent &event);
    void operator()(ReloadRequest &);
    void operator()(PollRequest &);
    void operator()(StatusRequest &);
    void operator()(SleepRequest &request);
    void operator()(SignaturesRequest &request);

    vdPluginProcessor &processor;
    vdVelborApiManager &api_manager;
    LineWriter &output;
    // Flow maps handed in stay alive while the plug-in runs: like the host's
    // own map, the plug-in may keep the pointer.
    std::vector<std::unique_ptr<vdFlowMap>> flow_maps;

    friend struct RequestVisitor;
};
