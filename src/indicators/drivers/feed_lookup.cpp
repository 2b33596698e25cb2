#include "indicators/drivers/feed_lookup.h"

void vpiFeedLookup::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->type == vppEventQueue::Event::FLOW)
        LookupFeeds(*ev);
    vppIndicator::Base::ProcessFlow(ev);
}

void vpiFeedLookup::LookupFeeds(vppEventQueue::Event &ev) const
{
    const std::string key = GetDriverName();
    for (const auto &[name, feed] : data_feeds) {
        vppIntel::Entry entry;
        if (feed->Lookup(ev.flow, entry, key))
            ev.entries.push_back(std::make_shared<vppIntel::Entry>(entry));
    }
}
