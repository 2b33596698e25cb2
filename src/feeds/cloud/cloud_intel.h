// The cloud-intel feed: answers indicator lookups asynchronously through a
// pool of request threads that ask the cloud service and return each answer
// to the plug-in's queue as a LOOKUP event.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "feeds/cloud/api_request.h"
#include "feeds/data_feed.h"

class vdfCloudIntel : public vppDataFeed::Base
{
public:
    // More request threads than this is a configuration mistake, not a need.
    static constexpr uint32_t max_instances = 64;

    // Reads "instances" (default 1, from 1 to max_instances) and "max_queue"
    // (default 0: unbounded), builds the request queue and every request
    // thread, then starts them all. Throws vdException on a bad value; what
    // was built is stopped and joined on the way out. Worker thread.
    vdfCloudIntel(const std::string &tag, const json &conf, vppDataFeed::DataSource source, vppDataFeed::DataType type,
                  const std::shared_ptr<vppEventQueue::Queue> &queue);
    // Tells every thread to stop, then joins them all: returns within one
    // exchange plus a second. Runs where the last reference goes (the worker
    // at a reload). Pending lookups are discarded.
    ~vdfCloudIntel() override;

    // Queues a LOOKUP copy of the event, tagged with this feed; a full
    // bounded queue drops its oldest lookup. Worker thread only.
    void LookupEventPush(const vppEventQueue::Event &event) override;

    // Fixed after construction.
    uint32_t instances = 1;
    uint32_t max_queue = 0;
    std::unordered_map<std::string, std::shared_ptr<vdfVelborApiRequest>> request_threads;
    std::shared_ptr<vppEventQueue::Queue> request_queue;

private:
    void ReadConfiguration(const json &conf);
    void BuildThreads();
    void StopThreads();
};
