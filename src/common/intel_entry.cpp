#include "common/intel_entry.h"

#include "common/json_reader.h"

namespace vppIntel {
namespace {

json MapToJson(const AttrMap &map, bool typed)
{
    json object = json::object();
    for (const auto &[key, value] : map)
        nlohmann::adl_serializer<AttrValue>::to_json(object[key], value, typed);
    return object;
}

}  // namespace

void Entry::to_json(json &j, const Entry &e, bool typed)
{
    j = json::object();
    j["id"] = e.id;
    j["score"] = e.score;
    j["category"] = e.category;
    j["data_source"] = e.data_source;
    j["data_feed"] = e.data_feed;
    j["event"] = e.event;
    j["indicator"] = e.indicator;
    j["indicator_driver"] = e.indicator_driver;
    j["criteria"] = MapToJson(e.criteria, typed);
    j["attrs"] = MapToJson(e.attrs, typed);
}

void Entry::from_json(const std::string &text, Entry &e)
{
    // The shared reader refuses deep nesting (copying and destroying a value
    // recurse once per level), NUL bytes and duplicate keys before parsing.
    from_json(vppJson::ParseText(text, "intel entry", vppJson::Comments::refused), e);
}

void Entry::from_json(const json &j, Entry &e)
{
    e.score = vppJson::Strict::UInt32(j.at("score"), "score");

    e.category = j.at("category").get<std::string>();
    e.data_source = j.at("data_source").get<std::string>();
    e.data_feed = j.at("data_feed").get<std::string>();
    e.event = j.at("event").get<std::string>();
    e.indicator = j.at("indicator").get<std::string>();
    e.indicator_driver = j.at("indicator_driver").get<std::string>();

    e.criteria = j.at("criteria").get<AttrMap>();
    e.attrs = j.at("attrs").get<AttrMap>();

    auto id = j.find("id");
    e.id = id != j.end() ? vppJson::Strict::UInt64(*id, "id") : 0;
}

}  // namespace vppIntel
