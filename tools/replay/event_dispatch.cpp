#include "event_dispatch.h"

#include <chrono>
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

void EventDispatcher::operator()(FlowEvent &event)
{
    processor.DispatchProcessorEvent(event.code, event.flow);
}

void EventDispatcher::operator()(FlowMapEvent &event)
{
    flow_maps.push_back(std::move(event.map));
    processor.DispatchProcessorEvent(event.code, flow_maps.back().get());
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
