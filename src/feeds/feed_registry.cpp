#include "feeds/feed_registry.h"

#include <atomic>
#include <utility>

#include "common/json_reader.h"
#include "feeds/cloud/cloud_intel.h"
#include "feeds/signatures/velbor_api.h"
#include "vd_config.h"

namespace vppDataFeed {

namespace {

[[noreturn]] void ThrowUnsupportedMember(const std::string &key, const BuildContext &context)
{
    throw vdException("%s: invalid or unsupported data feed: %s", context.conf_filename.c_str(), key.c_str());
}

// Geography comes from the host's own database: nothing to build.
std::shared_ptr<Base> BuildNothing(const std::string &, const json &, BuildContext &)
{
    return nullptr;
}

// The cloud-intel feed, with its request threads on the plug-in's queue.
std::shared_ptr<Base> BuildCloudIntel(const std::string &tag, const json &conf, BuildContext &context)
{
    return std::make_shared<vdfCloudIntel>(tag, conf, DataSource::cloud_intel, DataType::invalid, context.queue);
}

// A cloud member's class is the one its "type" names.
std::shared_ptr<Base> BuildByType(const std::string &key, const json &conf, BuildContext &context)
{
    return Base::Create(key, conf, context.queue);
}

// The optional "data_path": host variables expanded; absent or empty keeps
// the path the caller set.
void ReadDataPath(const json &conf, BuildContext &context)
{
    const json *path = vppJson::FindMember(conf, "data_path");
    if (path == nullptr)
        return;
    if (!path->is_string())
        throw vdException("%s: invalid %s parameter type: %s", context.plugin_tag.c_str(), "string", "data_path");
    const std::string &text = path->get_ref<const std::string &>();
    if (!text.empty() && context.data_path != nullptr)
        *context.data_path = vd_expand_variables(text, vdGlobalConfig::GetInstance().variables);
}

// The signature member: the feed of the plug-in's data path, with its tags
// registered at once (their data sets load on first use).
std::shared_ptr<Base> BuildSignatureMember(const std::string &key, const json &conf, BuildContext &context)
{
    ReadDataPath(conf, context);
    const std::string data_path =
        context.data_path != nullptr ? *context.data_path : vdGlobalConfig::GetInstance().path_legacy_intel;
    auto feed = std::make_shared<vdfVelborAPI>(key, conf, data_path);
    feed->Reload();
    return feed;
}

// The production rows. The cloud feed fills in the build of its row, the
// signature feed the member of its own.
const FeedTable &ProductionFeeds()
{
    static const FeedTable table({
        {DataSource::velbor_api, nullptr, BuildSignatureMember},
        {DataSource::cloud_intel, BuildCloudIntel, BuildByType},
        {DataSource::geo_maxmind, BuildNothing, nullptr},
    });
    return table;
}

std::atomic<const FeedTable *> &TableInForce()
{
    static std::atomic<const FeedTable *> table{&ProductionFeeds()};
    return table;
}

}  // namespace

FeedTable::FeedTable(std::vector<FeedRow> rows) : rows(std::move(rows))
{
    for (auto row = this->rows.begin(); row != this->rows.end(); ++row) {
        for (auto later = row + 1; later != this->rows.end(); ++later) {
            if (later->source == row->source) {
                throw vdException("data feed table: data source registered twice: %s",
                                  Base::GetDataSourceName(row->source).c_str());
            }
        }
    }
}

const FeedRow *FeedTable::Find(DataSource source) const
{
    for (const FeedRow &row : rows) {
        if (row.source == source)
            return &row;
    }
    return nullptr;
}

FeedTable FeedTable::Replacing(FeedRow row) const
{
    std::vector<FeedRow> replaced;
    for (const FeedRow &kept : rows) {
        if (kept.source != row.source)
            replaced.push_back(kept);
    }
    replaced.push_back(std::move(row));
    return FeedTable(std::move(replaced));
}

const FeedTable &Feeds()
{
    return *TableInForce().load(std::memory_order_acquire);
}

std::shared_ptr<Base> BuildMember(const std::string &key, const json &conf, BuildContext &context)
{
    const FeedRow *row = Feeds().Find(Base::GetDataSource(key));
    if (row == nullptr || !row->member)
        ThrowUnsupportedMember(key, context);
    std::shared_ptr<Base> feed = row->member(key, conf, context);
    if (!feed)
        throw vdException("%s: error creating data feed: %s", context.conf_filename.c_str(), key.c_str());
    return feed;
}

const FeedTable *SwapFeedTableForTests(const FeedTable *table)
{
    return TableInForce().exchange(table != nullptr ? table : &ProductionFeeds(), std::memory_order_acq_rel);
}

}  // namespace vppDataFeed
