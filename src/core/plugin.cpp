// The plug-in object's life and the callbacks through which the host hands
// it work: they only count, queue or raise a flag for the worker.
#include "core/plugin.h"

#include <cerrno>
#include <cstring>

namespace {

vppEventQueue::Event FlowEvent(vdPluginProcessor::Event code, const vdFlow::Ptr &flow)
{
    vppEventQueue::Event event;
    event.type = vppEventQueue::Event::FLOW;
    event.event = code;
    event.flow = flow;
    return event;
}

bool IsQueuedFromMap(const vdFlow::Ptr &flow)
{
    return flow && flow->flowmap_eligible && !flow->flowmap_excluded;
}

// Gives a flow-map bucket back however its walk ends.
class BucketLock
{
public:
    BucketLock(vdFlowMap &map, size_t index) : map(map), index(index), flows(map.Acquire(index)) {}
    ~BucketLock() { map.Release(index); }

    BucketLock(const BucketLock &) = delete;
    BucketLock &operator=(const BucketLock &) = delete;

    const vdFlowMap::Bucket &Flows() const { return flows; }

private:
    vdFlowMap &map;
    const size_t index;
    vdFlowMap::Bucket &flows;
};

}  // namespace

vppPlugin::vppPlugin(const std::string &tag, const std::map<std::string, std::string> &params)
    : vdPluginProcessor(tag, params)
{
    if (conf_filename.empty())
        throw vdException("%s: %s: %s", tag.c_str(), "conf_filename", strerror(EINVAL));
    stats = std::make_unique<vppStats::PluginStats>();
    queue = vppEventQueue::Queue::Create("event_queue");
    event_id_path = vdGlobalConfig::GetInstance().path_plugin_state + "/" + tag + ".event-id";
    vd_dprintf("%s: initialized\n", tag.c_str());
}

vppPlugin::~vppPlugin()
{
    // A host that deletes without Terminate must not wait forever.
    Terminate();
    Join();
    vd_dprintf("%s: destroyed\n", tag.c_str());
}

void vppPlugin::Terminate()
{
    // The flag first: the woken worker must see it.
    vdPluginProcessor::Terminate();
    queue->StopWaits();
}

void vppPlugin::GetLibrary(std::string &out)
{
    out = library_name;
}

void vppPlugin::GetName(std::string &out)
{
    out = plugin_name;
}

void vppPlugin::GetVersion(std::string &out)
{
    out = plugin_version;
}

void vppPlugin::GetStatus(json &out)
{
    std::lock_guard<std::mutex> guard(lock);
    GetStats(out);
}

void vppPlugin::DispatchEvent(vdPlugin::Event event, void *)
{
    if (event == vdPlugin::reload)
        reload_pending.exchange(true);
}

void vppPlugin::DispatchProcessorEvent(vdPluginProcessor::Event event, vdFlowMap *map)
{
    if (map == nullptr)
        return;
    for (size_t index = 0; index < map->buckets; index++) {
        // The bucket stays locked while its flows are queued.
        BucketLock bucket(*map, index);
        for (const auto &[key, flow] : bucket.Flows()) {
            if (!IsQueuedFromMap(flow))
                continue;
            stats->flows_processed.Add();
            queue->Push(FlowEvent(event, flow));
        }
    }
}

void vppPlugin::DispatchProcessorEvent(vdPluginProcessor::Event event, vdFlow::Ptr &flow)
{
    if (!flow)
        return;
    // Every code is queued; each indicator's event filter decides later.
    stats->flows_processed.Add();
    queue->Push(FlowEvent(event, flow));
}

void vppPlugin::DispatchProcessorEvent(vdPluginProcessor::Event event)
{
    if (event == vdPluginProcessor::periodic_update)
        poll_pending.exchange(true);
}
