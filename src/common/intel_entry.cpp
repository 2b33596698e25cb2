#include "common/intel_entry.h"

#include <utility>

#include "common/json_reader.h"

namespace vppIntel {
namespace {

const AttrMap no_attrs;

// Visits own and shared in key order, own winning on the same key.
template <class Visit> void VisitMerged(const AttrMap &own, const AttrMap &shared, Visit &&visit)
{
    auto mine = own.begin();
    auto theirs = shared.begin();
    while (mine != own.end() || theirs != shared.end()) {
        if (theirs == shared.end() || (mine != own.end() && mine->first <= theirs->first)) {
            if (theirs != shared.end() && mine->first == theirs->first)
                ++theirs;
            visit(*mine++);
        } else {
            visit(*theirs++);
        }
    }
}

// The members arrive in key order, so each one goes in at the end without a search.
json MapToJson(const AttrMap &own, const AttrMap &shared, bool typed)
{
    json::object_t object;
    VisitMerged(own, shared, [&](const AttrMap::value_type &member) {
        auto at = object.emplace_hint(object.end(), member.first, nullptr);
        nlohmann::adl_serializer<AttrValue>::to_json(at->second, member.second, typed);
    });
    return json(std::move(object));
}

}  // namespace

const AttrMap &Entry::Criteria() const
{
    return indicator_criteria ? *indicator_criteria : criteria;
}

AttrMap Entry::Attrs() const
{
    if (!indicator_attrs)
        return attrs;
    AttrMap merged;
    VisitMerged(attrs, *indicator_attrs,
                [&](const AttrMap::value_type &member) { merged.insert(merged.end(), member); });
    return merged;
}

bool Entry::operator==(const Entry &other) const
{
    return id == other.id && score == other.score && category == other.category && data_source == other.data_source &&
           data_feed == other.data_feed && event == other.event && indicator == other.indicator &&
           indicator_driver == other.indicator_driver && Criteria() == other.Criteria() && Attrs() == other.Attrs();
}

void Entry::to_json(json &j, const Entry &e, bool typed)
{
    // Written in key order: each member goes in at the end without a search.
    json::object_t object;
    auto add = [&](const char *key, json value) { object.emplace_hint(object.end(), key, std::move(value)); };
    add("attrs", MapToJson(e.attrs, e.indicator_attrs ? *e.indicator_attrs : no_attrs, typed));
    add("category", e.category);
    add("criteria", MapToJson(e.Criteria(), no_attrs, typed));
    add("data_feed", e.data_feed);
    add("data_source", e.data_source);
    add("event", e.event);
    add("id", e.id);
    add("indicator", e.indicator);
    add("indicator_driver", e.indicator_driver);
    add("score", e.score);
    j = json(std::move(object));
}

void Entry::from_json(const std::string &text, Entry &e)
{
    // The shared reader refuses deep nesting (copying and destroying a value
    // recurse once per level) and NUL bytes; a key given twice keeps its
    // last value, as the JSON library reads a record.
    from_json(vppJson::ParseText(text, "intel entry", vppJson::Comments::refused, vppJson::Keys::last_wins), e);
}

void Entry::from_json(const json &j, Entry &e)
{
    e.score = vppJson::Converted::UInt32(j.at("score"), "score");

    e.category = j.at("category").get<std::string>();
    e.data_source = j.at("data_source").get<std::string>();
    e.data_feed = j.at("data_feed").get<std::string>();
    e.event = j.at("event").get<std::string>();
    e.indicator = j.at("indicator").get<std::string>();
    e.indicator_driver = j.at("indicator_driver").get<std::string>();

    e.criteria = j.at("criteria").get<AttrMap>();
    e.indicator_criteria.reset();
    e.attrs = j.at("attrs").get<AttrMap>();
    e.indicator_attrs.reset();

    auto id = j.find("id");
    e.id = id != j.end() ? vppJson::Converted::UInt64(*id, "id") : 0;
}

}  // namespace vppIntel
