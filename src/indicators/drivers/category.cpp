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
    : vpiFeedLookup(std::move(queue), vppIndicator::Driver::category, tag, priority, conf, defaults, category_criteria),
      categories(ConfiguredCategories(criteria))
{
}

std::shared_ptr<vpiCategory> vpiCategory::Create(const std::shared_ptr<vppEventQueue::Queue> &queue,
                                                 const std::string &tag, unsigned ordinal, const json &conf,
                                                 const json &defaults)
{
    unsigned priority = LoadPriority(tag, conf, ordinal);
    return std::make_shared<vpiCategory>(queue, tag, priority, conf, defaults);
}

void vpiCategory::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->type == vppEventQueue::Event::FLOW)
        LookupOwnDataSet(*ev);
    else if (vpiCloudAnswer::IsAnswer(*ev))
        ReadAnswer(ev);
    vppIndicator::Base::ProcessFlow(ev);
}

// An indicator is named after the category data set it stands for. Each feed
// takes the flow's lock itself once its data set is loaded.
void vpiCategory::LookupOwnDataSet(vppEventQueue::Event &ev) const
{
    if (!ev.flow)
        return;
    for (const auto &[name, feed] : data_feeds) {
        vppIntel::Entry entry;
        if (feed->Lookup(ev.flow, entry, tag))
            ev.Write().entries.push_back(std::make_shared<vppIntel::Entry>(std::move(entry)));
    }
}

void vpiCategory::ReadAnswer(const std::shared_ptr<vppEventQueue::Event> &ev)
{
    vpiCloudAnswer::Read(tag, [&](std::string &reading) {
        if (const json *answer = vpiCloudAnswer::FlowMember(tag, *ev, reading))
            ReadCategory(ev, *answer, reading);
    });
}

void vpiCategory::ReadCategory(const std::shared_ptr<vppEventQueue::Event> &ev, const json &answer,
                               std::string &reading)
{
    const std::string wanted = Join(categories);
    reading = "category";
    const json *category = vppJson::FindMember(answer, "category");
    if (category == nullptr || category->is_null()) {
        LogLookup(ev, "category: none", wanted, false);
        return;
    }
    SetDataFeedScore(*category);

    reading = "domain";
    const std::optional<int32_t> id = DomainCategory(*category);
    if (!id) {
        LogLookup(ev, "domain category: none", wanted, false);
        return;
    }
    const bool matched = categories.empty() || categories.count(*id) != 0;
    LogLookup(ev, "domain category: " + std::to_string(*id), wanted, matched);
    if (!matched)
        return;
    vppIntel::Entry entry = vpiCloudAnswer::NewEntry(*ev);
    entry.attrs["domain_category"] = *id;
    ev->Write().entries.push_back(std::make_shared<vppIntel::Entry>(std::move(entry)));
}
