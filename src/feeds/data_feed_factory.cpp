// The feed factory: checks a feed's "type" and builds it by the row of the
// data source it names in the one feed table (feeds/feed_registry.cpp).
#include "common/json_reader.h"
#include "feeds/data_feed.h"
#include "feeds/feed_registry.h"

namespace vppDataFeed {

std::shared_ptr<Base> Base::Create(const std::string &tag, const json &conf,
                                   const std::shared_ptr<vppEventQueue::Queue> &queue)
{
    DataSource source = GetDataSource(vppJson::RequiredString(tag, conf, "type"));
    if (source == DataSource::none)
        throw vdException("%s: error loading data feed; invalid data_source", tag.c_str());

    const FeedRow *row = Feeds().Find(source);
    if (row == nullptr || !row->build)
        throw vdException("%s: error loading data feed; unsupported data_source", tag.c_str());
    BuildContext context;
    context.queue = queue;
    return row->build(tag, conf, context);
}

}  // namespace vppDataFeed
