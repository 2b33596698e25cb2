#include "indicators/drivers/category.h"

#include <optional>
#include <utility>

#include "common/json_reader.h"
#include "indicators/drivers/cloud_answer_reading.h"

namespace {

const vppIndicator::Base::CriteriaTypes category_criteria = {{"categories", vppCriteria::int_array}};

std::unordered_set<int32_t> ConfiguredCategories(const vppCriteria &criteria)
{
    std::unordered_set<int32_t> ids;
    criteria.Get("categories", ids);
    return ids;
}

// The answer's domain category id; nothing for a missing member, a float,
// or an integer no signed 32-bit id can hold (it must not wrap onto a
// configured id).
std::optional<int32_t> DomainCategory(const json &category)
{
    const json *domain = vppJson::FindMember(category, "domain");
    return domain == nullptr ? std::nullopt : vppJson::Lenient::Int32(*domain);
}

}  // namespace

vpiCategory::vpiCategory(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority,
                         const json &conf, const json &defaults)
    : vpiAnswerLookup(std::move(queue), vppIndicator::Driver::category, tag, priority, conf, defaults,
                      category_criteria, "category"),
      categories(ConfiguredCategories(criteria))
{
}

// An indicator is named after the category data set it stands for.
void vpiCategory::LookupFlow(vppEventQueue::Event &ev)
{
    LookupFeeds(ev, tag);
}

std::string vpiCategory::Wanted() const
{
    return Join(categories);
}

void vpiCategory::ReadMember(const std::shared_ptr<vppEventQueue::Event> &ev, const json &category,
                             std::string &reading)
{
    reading = "domain";
    const std::optional<int32_t> id = DomainCategory(category);
    if (!id) {
        LogLookup(ev, "domain category: none", Wanted(), false);
        return;
    }
    const bool matched = categories.empty() || categories.count(*id) != 0;
    LogLookup(ev, "domain category: " + std::to_string(*id), Wanted(), matched);
    if (!matched)
        return;
    vppIntel::Entry entry = vpiCloudAnswer::NewEntry(*ev);
    entry.attrs["domain_category"] = *id;
    ev->Write().entries.push_back(std::make_shared<vppIntel::Entry>(std::move(entry)));
}
