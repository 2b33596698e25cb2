#include "indicators/drivers/dox_server.h"

void vpiDOXServer::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->type == vppEventQueue::Event::FLOW && ev->flow) {
        vdProto::Id protocol = ev->flow->GetMasterProtocol();
        if (protocol == vdProto::TLS || protocol == vdProto::DOQ)
            LookupFeeds(*ev);
    }
    vppIndicator::Base::ProcessFlow(ev);
}
