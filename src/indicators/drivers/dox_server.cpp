#include "indicators/drivers/dox_server.h"

#include <mutex>

namespace {

bool IsTlsOrDoq(const vdFlow &flow)
{
    // Host threads update the flow's detection under its lock.
    std::lock_guard<std::recursive_mutex> guard(flow.lock);
    vdProto::Id protocol = flow.GetMasterProtocol();
    return protocol == vdProto::TLS || protocol == vdProto::DOQ;
}

}  // namespace

void vpiDOXServer::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    // Looked up without the flow's lock: a data set read from disk on its
    // first lookup must not keep host threads waiting on this flow.
    if (ev->type == vppEventQueue::Event::FLOW && ev->flow && IsTlsOrDoq(*ev->flow))
        LookupFeeds(*ev, GetDriverName());
    vppIndicator::Base::ProcessFlow(ev);
}
