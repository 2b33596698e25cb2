// One request thread of a cloud-intel feed: takes lookups from the feed's
// request queue, asks the cloud service about each flow, obeys its rate
// limits, and puts the answers on the plug-in's queue as LOOKUP events,
// each with the flow's own member of its answer. It takes no lookup once
// the plug-in's queue is stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vd_api.h"

#include "common/enums.h"
#include "common/event_queue.h"
#include "common/thread_toolkit.h"
#include "feeds/cloud/rate_limit.h"

class vdfVelborApiRequest : public vdVelborApiThread
{
public:
    // Bounds of one exchange with the service, in seconds; a stop also ends
    // an exchange early.
    static constexpr long connect_timeout = 10;
    static constexpr long total_timeout = 30;

    // Built by the owning feed on its thread; started through Create once
    // every thread of the feed exists.
    vdfVelborApiRequest(const std::string &name, vppDataFeed::DataSource data_source,
                        std::shared_ptr<vppEventQueue::Queue> request_queue,
                        std::shared_ptr<vppEventQueue::Queue> event_queue);
    // Stops and joins the thread: it returns within one exchange plus a
    // second, and at once from a rate-limit wait.
    ~vdfVelborApiRequest() override;

    // The thread body. No exception leaves it: a failing lookup is logged
    // with the thread's name and dropped, and the thread goes on.
    void *Entry() override;
    // Any thread: sets the stop flag and wakes a rate-limit wait.
    void Terminate() override;

    // Performs one lookup (this thread only): the status of the answer, or
    // -1 when the exchange or its answer failed (logged here). answer gets
    // the flow's digest text and, on a status other than 429, the answer's
    // member of that name when it has one.
    int64_t ProcessRequestEvent(const vppEventQueue::Event &event, vppEventQueue::AnswerMember &answer);

    // The owning feed's data source, passed on with every answer.
    const vppDataFeed::DataSource data_source;
    // The rest is this thread's own (and its destructor's, after the join).
    // The lookup URL: read from the host's bootstrap data when empty,
    // emptied again by any answer of status 401.
    std::string url_flow;
    vdfRateLimit::Backoff backoff;
    const std::shared_ptr<vppEventQueue::Queue> request_queue;
    const std::shared_ptr<vppEventQueue::Queue> event_queue;

private:
    void RunTurn();
    void HandleLookup(vppEventQueue::Event &event, const std::string &digest);
    bool TakeBootstrapData(const std::string &digest, uint8_t verbosity);
    bool ReadAnswer(long status, uint8_t verbosity, bool pretty, vppEventQueue::AnswerMember &answer);
    bool ParseAnswer(vppEventQueue::AnswerMember &answer, std::string &type_name);
    void LogContent(const vppEventQueue::AnswerMember &answer, bool pretty) const;
    void ReleaseContent();
    void ForgetUrlIfUnauthorized(long status);

    vppThread::StopSignal stop;
};
