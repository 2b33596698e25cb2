// The drivers that read both signature data sets and cloud answers
// (category, geography, reputation): a FLOW event is looked up in the
// indicator's feeds, a cloud answer is read for the driver's own member of
// the flow's answer ("category", "country", ...). Each driver says only how
// it looks a flow up and how it reads its member.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "indicators/drivers/feed_lookup.h"

class vpiAnswerLookup : public vpiFeedLookup
{
public:
    // FLOW: LookupFlow; a cloud answer: ReadMember on the driver's member
    // of the flow's answer; then the indicator's own handling.
    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev) final;

    // The member of the flow's answer the driver reads.
    const std::string answer_member;

protected:
    vpiAnswerLookup(std::shared_ptr<vppEventQueue::Queue> queue, vppIndicator::Driver driver, const std::string &tag,
                    unsigned priority, const json &conf, const json &defaults, const CriteriaTypes &criteria_types,
                    std::string answer_member);

    // A FLOW event: the feeds' data sets named after the driver.
    virtual void LookupFlow(vppEventQueue::Event &ev) { LookupFeeds(ev, GetDriverName()); }
    // Every cloud answer, before it is read: a broken answer still counts.
    virtual void CountAnswer(const vppEventQueue::Event &) {}
    // The driver's member of the flow's answer, present and not null (a
    // missing or null one is logged as "<member>: none"); reading keeps the
    // name of what is being read, for the answer's error line.
    virtual void ReadMember(const std::shared_ptr<vppEventQueue::Event> &ev, const json &member,
                            std::string &reading) = 0;
    // What the criteria want, as the lookup's debug line shows it.
    virtual std::string Wanted() const = 0;

private:
    void ReadAnswer(const std::shared_ptr<vppEventQueue::Event> &ev);
};

// The one way every such driver is made: its priority read from its
// configuration, the driver passed on for drivers that serve several.
template <class Driver, class... Chosen>
std::shared_ptr<Driver> vpiCreateAnswerLookup(const std::shared_ptr<vppEventQueue::Queue> &queue,
                                              const std::string &tag, unsigned ordinal, const json &conf,
                                              const json &defaults, Chosen... driver)
{
    unsigned priority = vppIndicator::Base::LoadPriority(tag, conf, ordinal);
    return std::make_shared<Driver>(queue, driver..., tag, priority, conf, defaults);
}
