// The root of every data feed: what all feeds share, the lookup interface the
// indicator drivers and the worker call, and the factory that builds feeds
// from their configuration.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "velbord.h"

#include "common/enums.h"
#include "common/intel_entry.h"
#include "common/event_queue.h"

namespace vppDataFeed {

class Base
{
public:
    using Digest = std::array<uint8_t, 20>;

    // Threads: a feed is built on the worker thread while a configuration
    // loads, and its lookups below are called on the worker thread only.
    // Its own threads (a cloud feed's request threads) reach it only through
    // what it hands them.

    Base(const std::string &tag, const std::string &display_name, DataSource data_source, DataType data_type,
         std::shared_ptr<vppEventQueue::Queue> event_queue = nullptr);
    // Runs on whichever thread drops the last reference: the worker at a
    // reload, or the host thread that deletes the plug-in after the worker
    // was joined. A feed with threads of its own stops and joins them here.
    virtual ~Base();

    Base(const Base &) = delete;
    Base &operator=(const Base &) = delete;

    // Called by nobody; offered to feeds that load a file.
    virtual void Load(const std::string &path, bool);
    // Completes the entry of a hit: data source, data feed, default score.
    // Worker thread only (from the feed's own lookups).
    virtual bool Matched(vppIntel::Entry &entry);
    // Worker thread only.
    virtual bool Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &entry);
    // Looks the flow up in the data set registered under tag; true when the
    // entry was filled. Worker thread only (from the indicator drivers).
    virtual bool Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &entry, const std::string &tag);
    // Worker thread only.
    virtual bool Lookup(const vdAddr &addr, vppIntel::Entry &entry);
    // Starts an asynchronous lookup of the event's flow. Worker thread only.
    virtual void LookupEventPush(const vppEventQueue::Event &event);

    // Builds a feed by the data source its "type" names, through the feed
    // table (feeds/feed_registry.h). An empty result is a source that
    // deliberately builds nothing (geo_maxmind).
    static std::shared_ptr<Base> Create(const std::string &tag, const json &conf,
                                        const std::shared_ptr<vppEventQueue::Queue> &queue);

    // Reads the header record of tag from a legacy intelligence file.
    static DataType LoadHeader(const std::string &tag, json &data, const std::string &path, std::string &label,
                               unsigned &score, Digest &sha1);
    // Records a new data digest; false when it equals the recorded one.
    bool UpdateDigest(const Digest &new_digest);

    static DataSource GetDataSource(const std::string &name);
    static std::string GetDataSourceName(DataSource source);
    std::string GetDataSourceName() const;
    static DataType GetDataType(const std::string &name);
    static std::string GetDataTypeName(DataType type);
    std::string GetDataTypeName() const;

    const std::string tag;
    const std::string display_name;
    const DataSource data_source;
    const DataType data_type;
    unsigned default_score = 0;
    Digest digest{};
    const std::shared_ptr<vppEventQueue::Queue> event_queue;
};

}  // namespace vppDataFeed
