// Carries out the requests read from the events input on the plug-in.
#pragma once

#include <vector>

#include "event_reader.h"
#include "flow_table.h"
#include "output.h"
#include "vd_api.h"
#include "vd_plugin.h"

class EventDispatcher
{
public:
    // Destroy it after the plug-in is stopped, so that the flows still held
    // outlive the plug-in's last work, and before the plug-in's library is
    // closed, so that nothing the plug-in put into a flow outlives its code.
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

    // Holds every flow of a map; returns their digests.
    std::vector<vdDigest> HoldFlowsOf(const std::vector<vdFlow::Ptr> &map_flows);

    vdPluginProcessor &processor;
    vdVelborApiManager &api_manager;
    LineWriter &output;
    // Every flow handed in, until a flow_expired event names its digest.
    FlowTable flows;

    friend struct RequestVisitor;
};
