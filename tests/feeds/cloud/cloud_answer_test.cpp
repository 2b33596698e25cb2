// Finding a flow's member in a LOOKUP event's answer, and refusing to find
// one in anything that is not a cloud answer for that flow.
#include <gtest/gtest.h>

#include <functional>

#include "feeds/cloud/cloud_answer.h"
#include "support/flow_builder.h"

namespace {

using vppEventQueue::AnswerMember;
using vppEventQueue::Event;

TEST(CloudAnswer, OnlyACloudAnswerWithAMemberForItsFlowHasOne)
{
    const vdFlow::Ptr flow = FlowBuilder().Set([](vdFlow &f) { f.digest = 0x77; }).Build();
    const std::string key = vd_xxh64_to_string(0x77);
    auto answer = [&] {
        Event event;
        event.type = Event::LOOKUP;
        event.Write().data_source = vppDataFeed::DataSource::cloud_intel;
        event.flow = flow;
        event.Write().answer = std::make_shared<const AnswerMember>(AnswerMember{key, json{{"score", 5}}});
        return event;
    };
    struct Case {
        const char *what;
        std::function<void(Event &)> change;
        bool found;
    } cases[] = {
        {"a cloud answer", [](Event &) {}, true},
        {"a FLOW event", [](Event &e) { e.type = Event::FLOW; }, false},
        {"another source", [](Event &e) { e.Write().data_source = vppDataFeed::DataSource::velbor_api; }, false},
        {"no flow", [](Event &e) { e.flow.reset(); }, false},
        {"no member for the flow",
         [&](Event &e) { e.Write().answer = std::make_shared<const AnswerMember>(AnswerMember{key, std::nullopt}); },
         false},
        {"no answer", [](Event &e) { e.Write().answer.reset(); }, false},
        {"the flow since moved on",
         [](Event &e) {
             e.flow = FlowBuilder()
                          .Set([](vdFlow &f) {
                              f.digest = 0x77;
                              f.digest_prev = {0x78};
                          })
                          .Build();
         },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Event event = answer();
        c.change(event);
        const json *member = vdfCloudAnswer::Find(event);
        EXPECT_EQ(member != nullptr, c.found);
        if (member != nullptr) {
            EXPECT_EQ(*member, json({{"score", 5}}));
        }
    }
}

}  // namespace
