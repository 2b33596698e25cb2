// The feed factory: one constructor per data source, in a table that each
// feed kind adds its row to.
#include <mutex>
#include <unordered_map>

#include "feeds/data_feed.h"

namespace vppDataFeed {

namespace {

struct ConstructorTable {
    std::mutex lock;
    std::unordered_map<DataSource, Base::Constructor, vdEnumHasher> rows;
};

ConstructorTable &Constructors()
{
    static ConstructorTable table{
        {},
        {
            // Geography comes from the host's own database: nothing to build.
            {DataSource::geo_maxmind,
             [](const std::string &, const json &, const std::shared_ptr<vppEventQueue::Queue> &) {
                 return std::shared_ptr<Base>();
             }},
        },
    };
    return table;
}

Base::Constructor FindConstructor(DataSource source)
{
    ConstructorTable &table = Constructors();
    std::lock_guard<std::mutex> guard(table.lock);
    auto row = table.rows.find(source);
    return row == table.rows.end() ? Base::Constructor() : row->second;
}

}  // namespace

std::shared_ptr<Base> Base::Create(const std::string &tag, const json &conf,
                                   const std::shared_ptr<vppEventQueue::Queue> &queue)
{
    if (!conf.is_object() || !conf.contains("type"))
        throw vdException("%s: required %s parameter not found: %s", tag.c_str(), "string", "type");
    const json &type = conf.at("type");
    if (!type.is_string())
        throw vdException("%s: invalid %s parameter type: %s", tag.c_str(), "string", "type");

    DataSource source = GetDataSource(type.get<std::string>());
    if (source == DataSource::none)
        throw vdException("%s: error loading data feed; invalid data_source", tag.c_str());

    Constructor constructor = FindConstructor(source);
    if (!constructor)
        throw vdException("%s: error loading data feed; unsupported data_source", tag.c_str());
    return constructor(tag, conf, queue);
}

Base::Constructor Base::SetConstructor(DataSource source, Constructor constructor)
{
    ConstructorTable &table = Constructors();
    std::lock_guard<std::mutex> guard(table.lock);
    Constructor previous;
    auto row = table.rows.find(source);
    if (row != table.rows.end()) {
        previous = std::move(row->second);
        table.rows.erase(row);
    }
    if (constructor)
        table.rows.emplace(source, std::move(constructor));
    return previous;
}

}  // namespace vppDataFeed
