#include "event_dispatch.h"

#include <chrono>
#include <memory>
#include <thread>

struct RequestVisitor {
    EventDispatcher &dispatcher;
    template <typename Request> void operator()(Request &request) { dispatcher(request); }
};

EventDispatcher::EventDispatcher(vdPluginProcessor &processor, vdVelborApiManager &api_manager, LineWriter &output)
    : processor(processor), api_manager(api_manager), output(output)
{
}

void EventDispatcher::Dispatch(ReplayRequest &request)
{
    std::visit(RequestVisitor{*this}, request);
}

// The digest is read before the plug-in has the flow, which may change it
// on its own threads.
void EventDispatcher::operator()(FlowEvent &event)
{
    vdDigest digest = event.flow->digest;
    flows.Hold(event.flow);
    processor.DispatchProcessorEvent(event.code, event.flow);
    if (event.code == vdPluginProcessor::flow_expired)
        flows.Release(digest);
}

// The map is built here, as a host builds one for each dispatch, and goes
// with this event: the plug-in keeps only flows, never the map.
void EventDispatcher::operator()(FlowMapEvent &event)
{
    std::vector<vdDigest> digests = HoldFlowsOf(event.flows);
    auto map = std::make_unique<vdFlowMap>(event.buckets);
    for (const auto &flow : event.flows)
        map->Insert(flow);
    processor.DispatchProcessorEvent(event.code, map.get());
    if (event.code == vdPluginProcessor::flow_expired) {
        for (vdDigest digest : digests)
            flows.Release(digest);
    }
}

std::vector<vdDigest> EventDispatcher::HoldFlowsOf(const std::vector<vdFlow::Ptr> &map_flows)
{
    std::vector<vdDigest> digests;
    digests.reserve(map_flows.size());
    for (const auto &flow : map_flows) {
        flows.Hold(flow);
        digests.push_back(flow->digest);
    }
    return digests;
}

void EventDispatcher::operator()(ReloadRequest &)
{
    processor.DispatchEvent(vdPlugin::reload);
}

void EventDispatcher::operator()(PollRequest &)
{
    processor.DispatchProcessorEvent(vdPluginProcessor::periodic_update);
}

void EventDispatcher::operator()(StatusRequest &)
{
    json status;
    processor.GetStatus(status);
    output.WriteJson({{"status", status}});
}

void EventDispatcher::operator()(SleepRequest &request)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(request.seconds));
}

void EventDispatcher::operator()(SignaturesRequest &request)
{
    api_manager.SetIntelSignatures(request.signatures);
}
