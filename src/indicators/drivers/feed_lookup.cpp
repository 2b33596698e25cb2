#include "indicators/drivers/feed_lookup.h"

void vpiFeedLookup::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->type == vppEventQueue::Event::FLOW)
        LookupFeeds(*ev, GetDriverName());
    vppIndicator::Base::ProcessFlow(ev);
}

void vpiFeedLookup::LookupFeeds(vppEventQueue::Event &ev, const std::string &key) const
{
    if (!ev.flow)
        return;
    // Each feed reads the flow under the flow's lock itself, and only after
    // it has loaded what it needs: a data set read from disk on its first
    // lookup must not keep host threads waiting on this flow.
    for (const auto &[name, feed] : data_feeds) {
        vppIntel::Entry entry;
        if (feed->Lookup(ev.flow, entry, key))
            ev.Write().entries.push_back(std::make_shared<vppIntel::Entry>(std::move(entry)));
    }
}
