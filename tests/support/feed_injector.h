// Replaces one row of the data-feed table for a test's scope: the feed a
// "type" names is built by the test's own function until the injector goes.
#pragma once

#include <memory>
#include <utility>

#include "feeds/feed_registry.h"

class FeedInjector
{
public:
    // The row of source builds by build; a member keyed by source is built
    // as before.
    FeedInjector(vppDataFeed::DataSource source, vppDataFeed::Build build)
        : FeedInjector(vppDataFeed::FeedRow{source, std::move(build), MemberOf(source)})
    {
    }

    // Puts the whole row in place of the row of its source (or adds it).
    explicit FeedInjector(vppDataFeed::FeedRow row)
        : table(std::make_unique<vppDataFeed::FeedTable>(vppDataFeed::Feeds().Replacing(std::move(row)))),
          previous(vppDataFeed::SwapFeedTableForTests(table.get()))
    {
    }

    // Injectors nest; each must go before the one made before it.
    ~FeedInjector() { vppDataFeed::SwapFeedTableForTests(previous); }

    FeedInjector(const FeedInjector &) = delete;
    FeedInjector &operator=(const FeedInjector &) = delete;

private:
    static vppDataFeed::Build MemberOf(vppDataFeed::DataSource source)
    {
        const vppDataFeed::FeedRow *row = vppDataFeed::Feeds().Find(source);
        return row != nullptr ? row->member : nullptr;
    }

    std::unique_ptr<vppDataFeed::FeedTable> table;
    const vppDataFeed::FeedTable *previous;
};
