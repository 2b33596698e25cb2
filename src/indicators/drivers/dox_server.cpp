#include "indicators/drivers/dox_server.h"

#include <mutex>

void vpiDOXServer::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->type == vppEventQueue::Event::FLOW && ev->flow) {
        std::lock_guard<std::recursive_mutex> guard(ev->flow->lock);
        vdProto::Id protocol = ev->flow->GetMasterProtocol();
        if (protocol == vdProto::TLS || protocol == vdProto::DOQ)
            LookupFeeds(*ev);
    }
    vppIndicator::Base::ProcessFlow(ev);
}
