#include "indicators/drivers/geo.h"

#include <utility>

#include "common/json_reader.h"
#include "indicators/drivers/cloud_answer_reading.h"

namespace {

const vppIndicator::Base::CriteriaTypes geo_criteria = {{"countries", vppCriteria::string_array}};

// The members of a matching answer's "country" that become attributes when
// they are strings; each must be present.
constexpr const char *country_details[] = {"country_name", "continent_code", "continent_name"};

std::unordered_set<std::string> ConfiguredCountries(const vppCriteria &criteria)
{
    std::unordered_set<std::string> codes;
    criteria.Get("countries", codes);
    return codes;
}

}  // namespace

vpiGeo::vpiGeo(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority, const json &conf,
               const json &defaults)
    : vpiAnswerLookup(std::move(queue), vppIndicator::Driver::geo, tag, priority, conf, defaults, geo_criteria,
                      "country"),
      countries(ConfiguredCountries(criteria))
{
}

std::string vpiGeo::Wanted() const
{
    return Join(countries);
}

void vpiGeo::ReadMember(const std::shared_ptr<vppEventQueue::Event> &ev, const json &country, std::string &reading)
{
    reading = "country_code";
    const std::string *code = CountryCode(country);
    if (code == nullptr)
        return;
    const bool matched = countries.empty() || countries.count(*code) != 0;
    LogLookup(ev, "country: " + *code, Wanted(), matched);
    if (!matched)
        return;

    vppIntel::Entry entry = vpiCloudAnswer::NewEntry(*ev);
    entry.attrs["country_code"] = *code;
    for (const char *name : country_details) {
        reading = name;
        // A missing detail spoils the answer: no entry, even for a match.
        const json *value = vppJson::FindMemberOrLog(tag, country, name, name);
        if (value == nullptr)
            return;
        if (value->is_string())
            entry.attrs[name] = value->get<std::string>();
    }
    ev->Write().entries.push_back(std::make_shared<vppIntel::Entry>(std::move(entry)));
}

const std::string *vpiGeo::CountryCode(const json &country) const
{
    const json *code = vppJson::FindMemberOrLog(tag, country, "country_code", "country_code");
    if (code == nullptr)
        return nullptr;
    // Logged by the answer's handler after the key, so the line carries the
    // tag twice: "<tag>: country_code <tag>: country_code must be a string."
    if (!code->is_string())
        throw vdException("%s: %s must be a string.", tag.c_str(), "country_code");
    return &code->get_ref<const std::string &>();
}
