// A host for the cloud-intel feed: its configuration and instance, the
// cloud service on a loopback server named by the intel bootstrap data,
// the plug-in's queue where answers arrive, and captured log lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "feeds/cloud/cloud_intel.h"
#include "support/cloud_service.h"
#include "support/flow_builder.h"
#include "support/log_capture.h"
#include "vd_api.h"
#include "vd_config.h"

class CloudFeedTest : public ::testing::Test
{
protected:
    CloudFeedTest()
    {
        config->verbosity = 3;
        instance->api_manager = std::make_shared<vdVelborApiManager>();
        Bootstrap(service.Url(), "token-1");
    }

    // The intel bootstrap data names url for flows and token for bearer.
    void Bootstrap(const std::string &url, const std::string &token) const
    {
        auto data = std::make_shared<vdVelborApiData>();
        data->urls["flow"] = url;
        data->auth.bearer_token = token;
        instance->api_manager->SetBootstrapData(vdVelborApiData::intel, data);
    }

    // Builds the feed "cloud_intel" from conf the way the configuration does.
    vdfCloudIntel &StartFeed(const std::string &conf = R"({"type": "cloud_intel"})")
    {
        feed = vppDataFeed::Base::Create("cloud_intel", json::parse(conf), event_queue);
        cloud = dynamic_cast<vdfCloudIntel *>(feed.get());
        if (cloud == nullptr)
            throw std::runtime_error("not a cloud-intel feed");
        return *cloud;
    }

    static vdFlow::Ptr Flow(uint64_t digest, std::vector<uint64_t> history = {})
    {
        return FlowBuilder()
            .Lower("192.0.2.10", 40000)
            .Upper("198.51.100.20", 443)
            .Set([&](vdFlow &flow) {
                flow.digest = digest;
                flow.digest_prev = history;
                flow.ip_protocol = 6;
                flow.lower_map = 1;
                flow.other_type = vdFlow::other_remote;
                flow.stats.total_bytes = 1000;
            })
            .Build();
    }

    // The FLOW event the worker hands a feed, with one indicator marked as
    // answered from its cache.
    static vppEventQueue::Event FlowEvent(const vdFlow::Ptr &flow)
    {
        vppEventQueue::Event event;
        event.type = vppEventQueue::Event::FLOW;
        event.event = vdPluginProcessor::dpi_complete;
        event.flow = flow;
        event.Write().cached_indicators = {"cached"};
        return event;
    }

    void Lookup(const vdFlow::Ptr &flow) { cloud->LookupEventPush(FlowEvent(flow)); }

    // The next answer on the plug-in's queue, or nullopt at the deadline.
    std::optional<vppEventQueue::Event> NextAnswer(int seconds = 10)
    {
        vppEventQueue::Event answer;
        if (!event_queue->PopSingle(answer, seconds))
            return std::nullopt;
        return answer;
    }

    // The digest texts of the flows posted so far, in arrival order.
    std::vector<std::string> PostedDigests() const
    {
        std::vector<std::string> digests;
        for (const HttpRequest &request : service.Requests())
            digests.push_back(json::parse(request.body).at(0).at("digest").get<std::string>());
        return digests;
    }

    static std::string Text(uint64_t digest) { return vd_xxh64_to_string(digest); }

    // Declared so that the feed, whose threads use everything else, goes first.
    LogCapture log;
    std::optional<vdGlobalConfig> config{std::in_place};
    std::optional<vdInstance> instance{std::in_place};
    CloudService service;
    std::shared_ptr<vppEventQueue::Queue> event_queue = vppEventQueue::Queue::Create("event_queue");
    std::shared_ptr<vppDataFeed::Base> feed;
    vdfCloudIntel *cloud = nullptr;
};
