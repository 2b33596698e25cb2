// The unit of work between threads and the named FIFO that carries it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/enums.h"
#include "common/intel_entry.h"
#include "vd_common.h"
#include "vd_flow.h"
#include "vd_plugin.h"

namespace vppEventQueue {

// What a LOOKUP event keeps of a cloud answer: the one member the drivers
// read, named by the digest text the flow was posted under. Built once by
// the request thread and never changed, so that every copy of the event
// (one per indicator, a prober's pending server) shares it.
struct AnswerMember {
    std::string key;
    std::optional<json> value;  // nullopt: the answer held no such member
};

struct Event {
    enum Type : uint8_t { FLOW = 1, INTEL = 2, LOOKUP = 3 };

    // What only some events carry. A FLOW event, the bulk of the queue, has
    // none, so it stays four words: queued without an allocation of its own.
    struct Details {
        std::vector<std::shared_ptr<vppIntel::Entry>> entries;
        std::string indicator;
        vppDataFeed::DataSource data_source = vppDataFeed::DataSource::none;
        std::string data_feed;  // feed tag, or the request thread on cloud answers
        // The cloud answer of a LOOKUP event; shared, never copied.
        std::shared_ptr<const AnswerMember> answer;
        std::unordered_set<std::string> proc_targets;
        std::unordered_set<std::string> sink_targets;
        // Indicators answered from their cache for this flow; they are skipped,
        // also when the event comes back from a cloud lookup.
        std::unordered_set<std::string> cached_indicators;
    };

    // A FLOW event is built field by field: type, event code and flow.
    Event() = default;
    // An INTEL event for a finding (a cache hit): one shared copy of the
    // entry, with its indicator and feed; event code 0.
    Event(Type type, const vdFlow::Ptr &flow, const vppIntel::Entry &entry);
    // One indicator's own copy of a FLOW or LOOKUP event: the flow, the code
    // and the lookup answer, without entries, targets or cache marks.
    Event(Type type, const Event &other, const std::string &indicator);

    Event(const Event &other);
    Event &operator=(const Event &other);
    Event(Event &&) noexcept = default;
    Event &operator=(Event &&) noexcept = default;
    ~Event() = default;

    // The details as they are: empty ones when none were written.
    const Details &Read() const { return details ? *details : no_details; }
    // The details to change, made on first use.
    Details &Write();

    Type type = FLOW;
    vdPluginProcessor::Event event = vdPluginProcessor::none;
    vdFlow::Ptr flow;

private:
    static const Details no_details;

    std::unique_ptr<Details> details;
};

class Queue
{
public:
    using Ptr = std::shared_ptr<Queue>;

    static Ptr Create(const std::string &name);

    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

    // With a size limit, a full queue drops its oldest event first.
    void Push(const Event &event);
    void Push(Event &&event);
    // Pushes a copy of event as the LOOKUP answer of a feed (or request
    // thread), sharing answer.
    void PushLookup(const Event &event, vppDataFeed::DataSource source, const std::string &feed,
                    std::shared_ptr<const AnswerMember> answer);

    // The waits below return as soon as an event is queued, else at the
    // deadline of seconds from the call.
    //
    // Takes the whole backlog into out (appended when out is not empty) and
    // returns out's size; 0, with out untouched, on time-out. An empty out
    // is traded for the backlog: its storage takes the next events, so a
    // consumer that clears and passes the same vector allocates nothing.
    size_t Pop(std::vector<Event> &out, int seconds);
    // Takes the oldest event; false, with out untouched, on time-out.
    bool PopSingle(Event &out, int seconds);
    // Discards the backlog; false on time-out.
    bool Clear(int seconds);

    // 0: no limit.
    void SetMaxSize(size_t size);
    size_t GetMaxSize();
    size_t Size();
    // Consumers blocked in a wait right now (Pop, PopSingle, Clear): lets a
    // caller know a push will have to wake one rather than be found at once.
    size_t Waiting();
    // Ends every wait at once, now and from then on: a stopping consumer
    // takes what is queued without sleeping. Cannot be undone.
    void StopWaits();
    // Whether StopWaits was called: the consumer is stopping, so producers
    // may stop making work for it.
    bool WaitsStopped();
    const std::string &GetName() const { return name; }

private:
    explicit Queue(const std::string &name) : name(name) {}

    void DropOldest();
    void Forget();
    size_t Queued() const { return events.size() - head; }
    bool WaitForEvents(std::unique_lock<std::mutex> &guard, int seconds);

    // Events from head on are queued, oldest first; those before it were
    // dropped (moved from) and go at the next Pop.
    std::vector<Event> events;
    size_t head = 0;
    std::mutex lock;
    std::condition_variable cond;
    const std::string name;
    size_t max_size = 0;
    size_t waiting = 0;
    bool waits_stopped = false;
};

}  // namespace vppEventQueue
