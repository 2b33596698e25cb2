#include "indicators/drivers/reputation.h"

#include <utility>

#include "common/json_reader.h"
#include "feeds/signatures/velbor_api.h"
#include "indicators/drivers/cloud_answer_reading.h"

namespace {

using vppIndicator::Driver;

const vppIndicator::Base::CriteriaTypes reputation_criteria = {{"types", vppCriteria::string_array}};

// The data sets of a driver's reputation types begin with its prefix.
struct FeedPrefixRow {
    Driver driver;
    const char *prefix;
};

constexpr FeedPrefixRow feed_prefixes[] = {
    {Driver::reputation_domain, "domain_reputation"},
    {Driver::reputation_ip, "ip_reputation"},
};

std::string FeedPrefix(Driver driver)
{
    for (const FeedPrefixRow &row : feed_prefixes) {
        if (row.driver == driver)
            return row.prefix;
    }
    return {};
}

std::string RequireFeedPrefix(Driver driver, const std::string &tag)
{
    std::string prefix = FeedPrefix(driver);
    if (prefix.empty())
        throw vdException("%s: not a reputation driver: %s", tag.c_str(),
                          vppIndicator::Base::GetDriverName(driver).c_str());
    return prefix;
}

std::unordered_set<std::string> ConfiguredTypes(const vppCriteria &criteria)
{
    std::unordered_set<std::string> types;
    criteria.Get("types", types);
    return types;
}

// The names of the members of flags whose value is true, in key order.
std::vector<std::string> FlaggedTypes(const json *flags)
{
    std::vector<std::string> names;
    if (flags == nullptr || !flags->is_object())
        return names;
    for (const auto &[name, value] : flags->items()) {
        if (value.is_boolean() && value.get<bool>())
            names.push_back(name);
    }
    return names;
}

}  // namespace

vpiReputation::vpiReputation(std::shared_ptr<vppEventQueue::Queue> queue, Driver driver, const std::string &tag,
                             unsigned priority, const json &conf, const json &defaults)
    : vpiAnswerLookup(std::move(queue), driver, tag, priority, conf, defaults, reputation_criteria,
                      RequireFeedPrefix(driver, tag)),
      prefix(answer_member), tag_prefix(prefix + "_"), types(ConfiguredTypes(criteria))
{
}

std::string vpiReputation::GetFeedPrefix() const
{
    return FeedPrefix(driver);
}

void vpiReputation::LookupFlow(vppEventQueue::Event &ev)
{
    if (!ev.flow)
        return;
    // Each feed takes the flow's lock itself once its data set is loaded: a
    // first load from disk must not keep host threads waiting on the flow.
    for (const auto &[name, feed] : data_feeds) {
        // Cloud feeds answer later, through LOOKUP events.
        if (feed->data_source == vppDataFeed::DataSource::velbor_api)
            LookupFeed(ev, name, *feed);
    }
}

void vpiReputation::LookupFeed(vppEventQueue::Event &ev, const std::string &name, vppDataFeed::Base &feed)
{
    vppStats::DataFeedStats &counts = stats.GetDataFeedStats(name);
    // One entry per feed, whatever the number of types it matches.
    vppIntel::Entry entry;
    unsigned matched = 0;
    auto look_up = [&](const std::string &data_set, const std::string &type) {
        counts.lookups.Add();
        if (!feed.Lookup(ev.flow, entry, data_set))
            return;
        counts.matches.Add();
        entry.attrs[type] = true;
        matched++;
    };
    if (!types.empty()) {
        for (const std::string &type : types)
            look_up(tag_prefix + type, type);
    } else {
        for (const std::string &data_set : FeedTags(name, feed))
            look_up(data_set, TypeOfTag(data_set));
    }
    if (matched > 0)
        ev.Write().entries.push_back(std::make_shared<vppIntel::Entry>(std::move(entry)));
}

const std::vector<std::string> &vpiReputation::FeedTags(const std::string &name, vppDataFeed::Base &feed)
{
    TagCache &cache = tag_cache[name];
    // Only the signature feed lists its tags; another feed of its source
    // offers none.
    auto *signatures = dynamic_cast<vdfVelborAPI *>(&feed);
    if (signatures == nullptr || cache.tags_version == signatures->tags_version)
        return cache.tags;
    cache.tags.clear();
    signatures->GetTagsByPrefix(cache.tags, tag_prefix);
    cache.tags_version = signatures->tags_version;
    return cache.tags;
}

std::string vpiReputation::TypeOfTag(const std::string &data_set) const
{
    return data_set.size() > tag_prefix.size() ? data_set.substr(tag_prefix.size()) : data_set;
}

void vpiReputation::CountAnswer(const vppEventQueue::Event &ev)
{
    stats.GetDataFeedStats(ev.Read().data_feed).lookups.Add();
}

std::string vpiReputation::Wanted() const
{
    return Join(types);
}

void vpiReputation::ReadMember(const std::shared_ptr<vppEventQueue::Event> &ev, const json &reputation,
                               std::string &reading)
{
    reading = "types";
    const std::vector<std::string> flagged = FlaggedTypes(vppJson::FindMember(reputation, "types"));
    vppIntel::Entry entry = vpiCloudAnswer::NewEntry(*ev);
    unsigned matched = 0;
    for (const std::string &name : flagged) {
        if (types.empty() || types.count(name) != 0) {
            entry.attrs[name] = true;
            matched++;
        }
    }
    // The line lists every type flagged, also those not wanted.
    LogLookup(ev, prefix + " types: " + (flagged.empty() ? "none" : Join(flagged)), Wanted(), matched > 0);
    if (matched == 0)
        return;
    stats.GetDataFeedStats(ev->Read().data_feed).matches.Add(matched);
    ev->Write().entries.push_back(std::make_shared<vppIntel::Entry>(std::move(entry)));
}
