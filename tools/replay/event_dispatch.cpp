#include "event_dispatch.h"

#include <chrono>
#include <memory>
#include <thread>

namespace {

// Gives a flow-map bucket back however its walk ends.
struct BucketGuard {
    vdFlowMap &map;
    size_t index;
    ~BucketGuard() { map.Release(index); }
};

}  // namespace

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

// The map itself goes with this event: a host builds one for each dispatch,
// and the plug-in keeps only flows, never the map.
void EventDispatcher::operator()(FlowMapEvent &event)
{
    std::unique_ptr<vdFlowMap> map = std::move(event.map);
    std::vector<vdDigest> digests = HoldFlowsOf(*map);
    processor.DispatchProcessorEvent(event.code, map.get());
    if (event.code == vdPluginProcessor::flow_expired) {
        for (vdDigest digest : digests)
            flows.Release(digest);
    }
}

std::vector<vdDigest> EventDispatcher::HoldFlowsOf(vdFlowMap &map)
{
    std::vector<vdDigest> digests;
    for (size_t index = 0; index < map.buckets; index++) {
        auto &bucket = map.Acquire(index);
        BucketGuard guard{map, index};
        for (const auto &[digest, flow] : bucket) {
            flows.Hold(flow);
            digests.push_back(digest);
        }
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
