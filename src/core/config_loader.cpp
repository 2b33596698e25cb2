// Loading the configuration file: sink targets, data feeds and indicators,
// and which failures keep the set-up in force and which drop it.
#include <algorithm>

#include "common/json_reader.h"
#include "core/plugin.h"
#include "feeds/feed_registry.h"
#include "indicators/driver_registry.h"

namespace {

constexpr unsigned first_default_priority = 65536;
// Far above any real configuration; a bound so that a runaway file cannot
// exhaust memory.
constexpr size_t max_config_file_size = 16 * 1024 * 1024;

// Unqualified, as every reader in this file calls them.
using vppJson::FindMember;
using vppJson::IsDisabled;

bool IsEmptyValue(const json &value)
{
    return value.is_null() || ((value.is_object() || value.is_array()) && value.empty());
}

// Reads and parses the whole file, comments allowed; false after the error
// line.
bool ReadConfigFile(const std::string &tag, const std::string &path, json &config)
{
    try {
        config = vppJson::ParseFile(path, max_config_file_size);
    } catch (const vppJson::DocumentError &e) {
        vd_printf("%s: error loading configuration: %s: %s\n", tag.c_str(), path.c_str(), e.Problem().c_str());
        return false;
    } catch (const std::exception &e) {
        vd_printf("%s: error loading configuration: %s: %s\n", tag.c_str(), path.c_str(), e.what());
        return false;
    }
    return true;
}

}  // namespace

void vppPlugin::Reload()
{
    SaveEventId();
    vd_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());

    // A file that cannot be read or parsed leaves everything in force.
    json config;
    if (!ReadConfigFile(tag, conf_filename, config))
        return;

    try {
        LoadConfig(config);
        vd_printf("%s: intel ready to process: %zu indicator(s)\n", tag.c_str(), indicators.size());
        return;
    } catch (const std::exception &e) {
        vd_printf("%s: invalid configuration: %s\n", tag.c_str(), e.what());
    } catch (...) {
        vd_printf("%s: invalid configuration: %s: unknown exception\n", tag.c_str(), conf_filename.c_str());
    }
    // An invalid configuration drops everything but the sink targets.
    ClearIndicators();
    data_feeds.clear();
    vd_printf("%s: indicators disabled until the next reload.\n", tag.c_str());
}

void vppPlugin::LoadConfig(const json &config)
{
    const json *configured_defaults = FindMember(config, "indicator_defaults");
    const json defaults = configured_defaults != nullptr ? *configured_defaults : json();

    vppSink::LoadConfig(sinks, config, defaults);

    // Without feeds of its own, a document keeps those of the previous load.
    const json *feeds = FindMember(config, "data_feeds");
    if (feeds != nullptr && !IsEmptyValue(*feeds))
        LoadDataFeeds(*feeds);

    const json *configured = FindMember(config, "indicators");
    if (configured == nullptr || IsEmptyValue(*configured))
        throw vdException("%s: no indicators defined", conf_filename.c_str());
    if (!configured->is_object())
        throw vdException("%s: indicators entry must be an object.", conf_filename.c_str());

    ClearIndicators();

    unsigned ordinal = first_default_priority;
    for (const auto &[key, value] : configured->items()) {
        // An empty tag would name the indicator's intel with nothing.
        if (key.empty())
            throw vdException("%s: indicator tags must not be empty.", conf_filename.c_str());
        if (IsDisabled(value)) {
            vd_dprintf("%s: indicator disabled: %s\n", tag.c_str(), key.c_str());
            continue;
        }
        indicators_by_tag.emplace(key, CreateIndicator(key, value, defaults, ordinal++));
    }

    // Stable, so that indicators of equal priority run in tag order.
    IndicatorList list(indicators_by_tag.begin(), indicators_by_tag.end());
    std::stable_sort(list.begin(), list.end(),
                     [](const auto &a, const auto &b) { return a.second->priority < b.second->priority; });

    std::lock_guard<std::mutex> guard(lock);
    indicators.swap(list);
}

vppPlugin::IndicatorPtr vppPlugin::CreateIndicator(const std::string &key, const json &value, const json &defaults,
                                                   unsigned ordinal)
{
    const json conf = value;
    const json *configured_feeds = FindMember(conf, "data_feeds");
    const json feed_list = configured_feeds != nullptr ? *configured_feeds : json();

    const std::string driver_name = vppJson::RequiredString(tag, conf, "indicator_driver");
    const vppIndicator::Driver driver = vppIndicator::Base::GetDriver(driver_name);
    if (vppIndicator::NeedsDataFeeds(driver) && IsEmptyValue(feed_list)) {
        throw vdException("%s: %s: data_feeds array is required for this indicator driver.", conf_filename.c_str(),
                          key.c_str());
    }
    vppIndicator::CreateFunction create = vppIndicator::FindCreateFunction(driver);
    if (driver == vppIndicator::Driver::invalid || create == nullptr)
        throw vdException("%s: invalid indicator driver type: %s", conf_filename.c_str(), driver_name.c_str());

    IndicatorPtr indicator = create(queue, driver, key, ordinal, conf, defaults);
    if (!indicator)
        throw vdException("%s: invalid indicator driver type: %s", conf_filename.c_str(), driver_name.c_str());
    AttachDataFeeds(key, *indicator, feed_list);
    return indicator;
}

void vppPlugin::AttachDataFeeds(const std::string &key, vppIndicator::Base &indicator, const json &feed_list)
{
    // An array's elements, an object's values, a lone value itself.
    for (const json &element : feed_list) {
        if (!element.is_string())
            throw vdException("%s: %s: data_feeds entries must be strings.", conf_filename.c_str(), key.c_str());
        const std::string &name = element.get_ref<const std::string &>();
        auto feed = data_feeds.find(name);
        if (feed == data_feeds.end()) {
            throw vdException("%s: %s: data feed not found: %s", conf_filename.c_str(), key.c_str(), name.c_str());
        }
        indicator.AddDataFeed(name, feed->second);
    }
}

void vppPlugin::LoadDataFeeds(const json &feeds)
{
    // Feeds the old indicators still hold live on until those go.
    data_feeds.clear();
    data_path = vdGlobalConfig::GetInstance().path_legacy_intel;
    if (!feeds.is_object())
        throw vdException("%s: data_feeds entry must be an object.", conf_filename.c_str());

    for (const auto &[key, value] : feeds.items()) {
        const json conf = value;
        if (IsDisabled(conf))
            continue;
        data_feeds.emplace(key, CreateDataFeed(key, conf));
        vd_dprintf("%s: created data_feed: %s\n", tag.c_str(), key.c_str());
    }
}

std::shared_ptr<vppDataFeed::Base> vppPlugin::CreateDataFeed(const std::string &key, const json &conf)
{
    // The member's key names its data source; the feed table builds it.
    vppDataFeed::BuildContext context{tag, conf_filename, queue, &data_path};
    return vppDataFeed::BuildMember(key, conf, context);
}

void vppPlugin::ClearIndicators()
{
    IndicatorList offline;
    {
        std::lock_guard<std::mutex> guard(lock);
        offline.swap(indicators);
    }
    indicators_by_tag.clear();
    for (const auto &[name, indicator] : offline)
        vd_printf("%s: indicator offline: %s\n", tag.c_str(), name.c_str());
    // The last references may go here, on the worker: indicators stop their
    // threads and save their state as they are destroyed.
    offline.clear();
}
