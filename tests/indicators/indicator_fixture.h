// Shared pieces of the indicator tests: a host configuration, captured log
// lines, the real event queue, and a data feed answering from a table.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/event_queue.h"
#include "feeds/data_feed.h"
#include "indicators/driver_registry.h"
#include "indicators/indicator.h"
#include "support/error_text.h"
#include "support/flow_builder.h"
#include "support/log_capture.h"

// Answers Lookup(flow, entry, tag) from a table keyed by the tag and the
// flow's host_server_name, and records every tag it was asked for.
class TableFeed : public vppDataFeed::Base
{
public:
    using Key = std::pair<std::string, std::string>;

    explicit TableFeed(const std::string &tag, std::map<Key, unsigned> table = {})
        : vppDataFeed::Base(tag, "", vppDataFeed::DataSource::velbor_api, vppDataFeed::DataType::invalid),
          table(std::move(table))
    {
    }

    using vppDataFeed::Base::Lookup;
    bool Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &entry, const std::string &tag) override
    {
        asked.push_back(tag);
        auto row = table.find({tag, flow->host_server_name});
        if (row == table.end())
            return false;
        entry.score = row->second;
        return Matched(entry);
    }

    std::map<Key, unsigned> table;
    std::vector<std::string> asked;
};

class IndicatorTest : public ::testing::Test
{
protected:
    using Driver = vppIndicator::Driver;
    using Event = vppEventQueue::Event;

    std::shared_ptr<vppIndicator::Base> Make(Driver driver, const std::string &conf, const std::string &defaults = "{}",
                                             const std::string &tag = "t")
    {
        auto create = vppIndicator::FindCreateFunction(driver);
        if (create == nullptr) {
            ADD_FAILURE() << "no class for driver " << static_cast<int>(driver);
            return nullptr;
        }
        return create(queue, driver, tag, 0, json::parse(conf), json::parse(defaults));
    }

    std::shared_ptr<vppIndicator::Base> MakeCustom(const std::string &conf, const std::string &defaults = "{}")
    {
        return Make(Driver::custom, conf, defaults);
    }

    // The text of the error that building the indicator raises; empty when
    // it builds.
    std::string MakeError(Driver driver, const std::string &conf, const std::string &defaults = "{}")
    {
        return ErrorText([&] { Make(driver, conf, defaults); });
    }

    static std::shared_ptr<Event> FlowEvent(const vdFlow::Ptr &flow,
                                            vdPluginProcessor::Event code = vdPluginProcessor::dpi_complete,
                                            Event::Type type = Event::FLOW)
    {
        auto ev = std::make_shared<Event>();
        ev->type = type;
        ev->event = code;
        ev->flow = flow;
        ev->Write().indicator = "t";
        return ev;
    }

    static vdFlow::Ptr Flow(const std::function<void(vdFlow &)> &setter = [](vdFlow &) {})
    {
        return FlowBuilder()
            .Lower("192.0.2.1", 50000)
            .Upper("198.51.100.7", 443)
            .Set([](vdFlow &flow) { flow.digest = 0x1234; })
            .Set(setter)
            .Build();
    }

    // Everything queued so far, without waiting.
    std::vector<Event> Drain()
    {
        std::vector<Event> events;
        queue->Pop(events, 0);
        return events;
    }

    vdGlobalConfig config;
    LogCapture log;
    vppEventQueue::Queue::Ptr queue = vppEventQueue::Queue::Create("event_queue");
};
