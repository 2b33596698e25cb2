// The reputation drivers (domain and address): which kinds of bad reputation
// a flow has, from the signature data sets "<prefix>_<type>" and from the
// type flags of cloud answers, with per-feed lookup and match counts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "indicators/drivers/answer_lookup.h"

class vdfVelborAPI;

class vpiReputation : public vpiAnswerLookup
{
public:
    // A signature feed's reputation tags, as of the feed's tags_version.
    struct TagCache {
        // 0 never matches a feed's version, so a new record is filled first.
        uint32_t tags_version = 0;
        std::vector<std::string> tags;
    };

    // driver is reputation_domain or reputation_ip; any other throws. FLOW
    // events are looked up in the reputation data sets of each signature
    // feed; cloud answers are read for their type flags under the prefix.
    // Worker thread only (the tag cache is the worker's).
    vpiReputation(std::shared_ptr<vppEventQueue::Queue> queue, vppIndicator::Driver driver, const std::string &tag,
                  unsigned priority, const json &conf, const json &defaults);

    // "domain_reputation" or "ip_reputation" by the driver; empty otherwise.
    std::string GetFeedPrefix() const;

    const std::string prefix;
    // prefix and "_": the common beginning of the reputation tags.
    const std::string tag_prefix;
    // The types of the criteria key "types"; empty: every type.
    const std::unordered_set<std::string> types;

private:
    void LookupFlow(vppEventQueue::Event &ev) override;
    void LookupFeed(vppEventQueue::Event &ev, const std::string &name, vppDataFeed::Base &feed);
    // The tags to look up in a feed listed without configured types: its
    // reputation tags, read again only when its tags_version moves.
    const std::vector<std::string> &FeedTags(const std::string &name, vppDataFeed::Base &feed);
    // The attribute a hit on a data set sets: its tag after tag_prefix.
    std::string TypeOfTag(const std::string &data_set) const;

    // Counted under the request thread that answered.
    void CountAnswer(const vppEventQueue::Event &ev) override;
    void ReadMember(const std::shared_ptr<vppEventQueue::Event> &ev, const json &reputation,
                    std::string &reading) override;
    std::string Wanted() const override;

    // By the feed's name as the indicator lists it.
    std::unordered_map<std::string, TagCache> tag_cache;
};
