#include "feeds/data_feed.h"

#include <utility>

#include "common/name_tables.h"

namespace vppDataFeed {

Base::Base(const std::string &tag, const std::string &display_name, DataSource data_source, DataType data_type,
           std::shared_ptr<vppEventQueue::Queue> event_queue)
    : tag(tag), display_name(display_name), data_source(data_source), data_type(data_type),
      event_queue(std::move(event_queue))
{
}

Base::~Base() = default;

void Base::Load(const std::string &, bool) {}

bool Base::Matched(vppIntel::Entry &entry)
{
    entry.data_source = GetDataSourceName();
    entry.data_feed = tag;
    if (entry.score == 0)
        entry.score = default_score;
    return true;
}

bool Base::Lookup(const vdFlow::Ptr &, vppIntel::Entry &)
{
    return false;
}

bool Base::Lookup(const vdFlow::Ptr &, vppIntel::Entry &, const std::string &)
{
    return false;
}

bool Base::Lookup(const vdAddr &, vppIntel::Entry &)
{
    return false;
}

void Base::LookupEventPush(const vppEventQueue::Event &) {}

bool Base::UpdateDigest(const Digest &new_digest)
{
    if (new_digest == digest) {
        vd_dprintf("%s: data hasn't changed.\n", tag.c_str());
        return false;
    }
    digest = new_digest;
    return true;
}

DataSource Base::GetDataSource(const std::string &name)
{
    return vppNames::GetDataSource(name);
}

std::string Base::GetDataSourceName(DataSource source)
{
    return vppNames::GetDataSourceName(source);
}

std::string Base::GetDataSourceName() const
{
    return vppNames::GetDataSourceName(data_source);
}

DataType Base::GetDataType(const std::string &name)
{
    return vppNames::GetDataType(name);
}

std::string Base::GetDataTypeName(DataType type)
{
    return vppNames::GetDataTypeName(type);
}

std::string Base::GetDataTypeName() const
{
    return vppNames::GetDataTypeName(data_type);
}

}  // namespace vppDataFeed
