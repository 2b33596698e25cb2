#include "indicators/drivers/feed_lookup.h"

#include <mutex>

void vpiFeedLookup::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->type == vppEventQueue::Event::FLOW)
        LookupFeeds(*ev);
    vppIndicator::Base::ProcessFlow(ev);
}

void vpiFeedLookup::LookupFeeds(vppEventQueue::Event &ev) const
{
    if (!ev.flow)
        return;
    const std::string key = GetDriverName();
    // The feeds read the flow's fields while host threads may update them.
    std::lock_guard<std::recursive_mutex> guard(ev.flow->lock);
    for (const auto &[name, feed] : data_feeds) {
        vppIntel::Entry entry;
        if (feed->Lookup(ev.flow, entry, key))
            ev.entries.push_back(std::make_shared<vppIntel::Entry>(entry));
    }
}
