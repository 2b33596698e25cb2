// The data-feed table: one immutable row per data source, read both by the
// feed factory (the source a feed's "type" names) and by the configuration
// loader (the source a "data_feeds" member's key names).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "feeds/data_feed.h"

namespace vppDataFeed {

// What a build needs from the plug-in. The factory (Base::Create) passes the
// queue alone.
struct BuildContext {
    std::string plugin_tag;     // first "%s" of parameter-type messages
    std::string conf_filename;  // first "%s" of the loader's own messages
    std::shared_ptr<vppEventQueue::Queue> queue;
    // The plug-in's signature data path, which a signature member sets from
    // its "data_path"; null where the caller keeps none.
    std::string *data_path = nullptr;
};

// Builds one feed from its object; errors are thrown. An empty result is a
// source that deliberately builds nothing.
using Build = std::function<std::shared_ptr<Base>(const std::string &name, const json &conf, BuildContext &context)>;

struct FeedRow {
    DataSource source;
    // The feed a "type" of this source names (Base::Create); empty when
    // none is built that way, which Create reports as unsupported.
    Build build;
    // The feed of a "data_feeds" member keyed by this source; empty when
    // no member may be keyed so, which the loader reports as unsupported.
    Build member;
};

class FeedTable
{
public:
    // Throws vdException when two rows name the same source: a second
    // registration is a mistake, never an overwrite.
    explicit FeedTable(std::vector<FeedRow> rows);

    // The row of source, or nullptr.
    const FeedRow *Find(DataSource source) const;
    // A copy with row in place of the row of the same source (or added).
    FeedTable Replacing(FeedRow row) const;

private:
    std::vector<FeedRow> rows;
};

// The table in force: the production rows, unless a test replaced one.
const FeedTable &Feeds();

// Builds the feed of one "data_feeds" member (key, conf) through the row of
// the source its key names. Throws "%s: invalid or unsupported data feed: %s"
// when no member may be keyed so, and "%s: error creating data feed: %s" when
// the row builds nothing (file name, key).
std::shared_ptr<Base> BuildMember(const std::string &key, const json &conf, BuildContext &context);

// For tests only, through tests/support/feed_injector.h: puts table in force
// (nullptr: the production table) and returns the one it replaces. Nothing
// in the plug-in calls it.
const FeedTable *SwapFeedTableForTests(const FeedTable *table);

}  // namespace vppDataFeed
