// A cloud answer document as a request thread delivers it (read by the
// shared reader, an object, the flow's member put on the plug-in's queue as
// a LOOKUP event) through the LOOKUP step of the category, geography and
// reputation drivers.
#include <algorithm>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/json_reader.h"
#include "feeds/cloud/answer_member_reader.h"
#include "feeds/cloud/cloud_answer.h"
#include "indicators/driver_registry.h"
#include "support/fuzz_host.h"

namespace {

using vppEventQueue::Event;
using vppIndicator::Driver;

struct DriverConf {
    const char *tag;
    Driver driver;
    const char *conf;
};

// Each driver once, with criteria that the seeds' answers meet.
const DriverConf answer_drivers[] = {
    {"category", Driver::category, R"({"criteria": {"categories": [5, -2]}})"},
    {"geo", Driver::geo, R"({"criteria": {"countries": ["DE", "US"]}})"},
    {"reputation_domain", Driver::reputation_domain, R"({})"},
    {"reputation_ip", Driver::reputation_ip, R"({"criteria": {"types": ["malware", "spam"]}})"},
};

struct Drivers {
    vppEventQueue::Queue::Ptr queue = vppEventQueue::Queue::Create("event_queue");
    std::vector<std::shared_ptr<vppIndicator::Base>> indicators;

    Drivers()
    {
        unsigned ordinal = 1;
        for (const DriverConf &row : answer_drivers) {
            vppIndicator::CreateFunction create = vppIndicator::FindCreateFunction(row.driver);
            indicators.push_back(create(queue, row.driver, row.tag, ordinal++, json::parse(row.conf), json::object()));
        }
    }
};

// Nesting of a value: 0 for a scalar, 1 more than its deepest member.
size_t Depth(const json &value)
{
    size_t deepest = 0;
    if (value.is_structured()) {
        for (const json &member : value)
            deepest = std::max(deepest, Depth(member));
        return deepest + 1;
    }
    return 0;
}

// The one grammar accepts only what the JSON library reads the same way,
// nested no deeper than the reader's bound: the member kept is the library's
// member of that name, and there is one exactly when the library has one.
void CheckAgainstTheLibrary(const std::string &text, const vdfCloudAnswer::MemberReading &read)
{
    const json whole = json::parse(text, nullptr, false, true);
    if (whole.is_discarded() || Depth(whole) > vppJson::max_nesting_depth || whole.type_name() != read.type_name)
        std::abort();
    const json *member = vppJson::FindMember(whole, read.member.key.c_str());
    if ((member != nullptr) != read.member.value.has_value() || (member != nullptr && *member != *read.member.value))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host::Get();
    static Drivers drivers;
    static const auto flows = vppFuzz::SampleFlows();

    const std::string text(reinterpret_cast<const char *>(data), size);
    for (const vdFlow::Ptr &flow : flows) {
        vdfCloudAnswer::MemberReading answer;
        try {
            // As the request thread reads an answer for the flow.
            answer = vdfCloudAnswer::ReadMember(text, "cloud answer", vdfCloudAnswer::Key(*flow));
        } catch (const std::exception &) {
            return 0;
        }
        CheckAgainstTheLibrary(text, answer);
        // The request thread passes objects only.
        if (answer.type_name != "object")
            return 0;
        Event lookup;
        lookup.type = Event::FLOW;
        lookup.event = vdPluginProcessor::dpi_complete;
        lookup.flow = flow;
        drivers.queue->PushLookup(lookup, vppDataFeed::DataSource::cloud_intel, "cloud_intel0",
                                  std::make_shared<const vppEventQueue::AnswerMember>(std::move(answer.member)));
    }
    std::vector<Event> delivered;
    drivers.queue->Pop(delivered, 0);
    for (const Event &answered : delivered) {
        for (const auto &indicator : drivers.indicators) {
            auto ev = std::make_shared<Event>(Event::LOOKUP, answered, indicator->tag);
            indicator->ProcessFlow(ev);
        }
    }
    // What the drivers queued (their findings) is dropped.
    std::vector<Event> findings;
    drivers.queue->Pop(findings, 0);
    return 0;
}
