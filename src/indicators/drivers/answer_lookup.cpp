#include "indicators/drivers/answer_lookup.h"

#include "common/json_reader.h"
#include "indicators/drivers/cloud_answer_reading.h"

vpiAnswerLookup::vpiAnswerLookup(std::shared_ptr<vppEventQueue::Queue> queue, vppIndicator::Driver driver,
                                 const std::string &tag, unsigned priority, const json &conf, const json &defaults,
                                 const CriteriaTypes &criteria_types, std::string answer_member)
    : vpiFeedLookup(std::move(queue), driver, tag, priority, conf, defaults, criteria_types),
      answer_member(std::move(answer_member))
{
}

void vpiAnswerLookup::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (ev->type == vppEventQueue::Event::FLOW)
        LookupFlow(*ev);
    else if (vpiCloudAnswer::IsAnswer(*ev))
        ReadAnswer(ev);
    vppIndicator::Base::ProcessFlow(ev);
}

void vpiAnswerLookup::ReadAnswer(const std::shared_ptr<vppEventQueue::Event> &ev)
{
    CountAnswer(*ev);
    vpiCloudAnswer::Read(tag, [&](std::string &reading) {
        const json *answer = vpiCloudAnswer::FlowMember(tag, *ev, reading);
        if (answer == nullptr)
            return;
        reading = answer_member;
        const json *member = vppJson::FindMember(*answer, answer_member.c_str());
        if (member == nullptr || member->is_null()) {
            LogLookup(ev, answer_member + ": none", Wanted(), false);
            return;
        }
        SetDataFeedScore(*member);
        ReadMember(ev, *member, reading);
    });
}
