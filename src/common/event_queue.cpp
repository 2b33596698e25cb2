#include "common/event_queue.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

#include "vd_config.h"

namespace vppEventQueue {
namespace {

// A host without its configuration (tests, shutdown) logs no drops rather
// than failing the push.
uint8_t HostVerbosity()
{
    try {
        return vdGlobalConfig::GetInstance().verbosity;
    } catch (const std::exception &) {
        return 0;
    }
}

}  // namespace

const Event::Details Event::no_details;

Event::Event(Type type, const vdFlow::Ptr &flow, const vppIntel::Entry &entry) : type(type), flow(flow)
{
    Details &own = Write();
    own.entries.push_back(std::make_shared<vppIntel::Entry>(entry));
    own.indicator = entry.indicator;
    own.data_feed = entry.data_feed;
}

Event::Event(Type type, const Event &other, const std::string &indicator)
    : type(type), event(other.event), flow(other.flow)
{
    const Details &theirs = other.Read();
    Details &own = Write();
    own.indicator = indicator;
    own.data_source = theirs.data_source;
    own.data_feed = theirs.data_feed;
    own.answer = theirs.answer;
}

Event::Event(const Event &other)
    : type(other.type), event(other.event), flow(other.flow),
      details(other.details ? std::make_unique<Details>(*other.details) : nullptr)
{
}

Event &Event::operator=(const Event &other)
{
    if (this != &other)
        *this = Event(other);
    return *this;
}

Event::Details &Event::Write()
{
    if (!details)
        details = std::make_unique<Details>();
    return *details;
}

Queue::Ptr Queue::Create(const std::string &name)
{
    return Ptr(new Queue(name));
}

namespace {

// Storage beyond this many events is given back when a consumer trades its
// vector in: a burst does not pin its peak for good.
constexpr size_t kept_capacity = 1 << 16;

// Grows by half rather than doubling: a backlog just past a step costs at
// most 1.5 slots per event.
void Reserve(std::vector<Event> &events)
{
    if (events.size() == events.capacity())
        events.reserve(std::max<size_t>(64, events.capacity() + events.capacity() / 2));
}

}  // namespace

void Queue::Push(Event &&event)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (max_size != 0 && Queued() >= max_size)
            DropOldest();
        Reserve(events);
        events.push_back(std::move(event));
        // A consumer that is not asleep finds the event on its next look;
        // waking outside the lock spares it a hop onto a held mutex.
        wake = waiting != 0;
    }
    if (wake)
        cond.notify_one();
}

void Queue::Push(const Event &event)
{
    // Copied before the lock: taking a share of the flow may wait for its
    // cache line, and other producers should not wait with it.
    Push(Event(event));
}

// Called with lock held, so the host's logger runs under the queue mutex.
void Queue::DropOldest()
{
    Event &oldest = events[head];
    if (HostVerbosity() >= 1) {
        const std::string digest = oldest.flow ? vd_xxh64_to_string(oldest.flow->digest) : std::string();
        vd_dprintf("%s: %s: lookup dropped: queue full (%zu).\n", name.c_str(), digest.c_str(), max_size);
    }
    // Released now; the slot goes with the next Pop, or once the dropped
    // outnumber the queued, so that a stalled consumer's full queue does
    // not grow.
    oldest = Event();
    head++;
    if (head >= Queued()) {
        events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
}

// Called with lock held, once the queued events were moved out.
void Queue::Forget()
{
    events.clear();
    head = 0;
}

void Queue::PushLookup(const Event &event, vppDataFeed::DataSource source, const std::string &feed,
                       std::shared_ptr<const AnswerMember> answer)
{
    Event lookup(event);
    lookup.type = Event::LOOKUP;
    Event::Details &details = lookup.Write();
    details.data_source = source;
    details.data_feed = feed;
    details.answer = std::move(answer);
    Push(std::move(lookup));
}

bool Queue::WaitForEvents(std::unique_lock<std::mutex> &guard, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    // Counted only while blocked: an event already queued returns at once.
    if (Queued() != 0)
        return true;
    if (waits_stopped)
        return false;
    waiting++;
    // The predicate makes spurious wake-ups wait again until the deadline.
    cond.wait_until(guard, deadline, [this] { return Queued() != 0 || waits_stopped; });
    waiting--;
    return Queued() != 0;
}

size_t Queue::Pop(std::vector<Event> &out, int seconds)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!WaitForEvents(guard, seconds))
        return 0;
    if (out.empty() && head == 0) {
        if (out.capacity() > kept_capacity)
            std::vector<Event>().swap(out);
        events.swap(out);
        return out.size();
    }
    // A swap would queue the caller's leftovers again, or the dropped slots.
    out.reserve(out.size() + Queued());
    std::move(events.begin() + static_cast<std::ptrdiff_t>(head), events.end(), std::back_inserter(out));
    Forget();
    return out.size();
}

bool Queue::PopSingle(Event &out, int seconds)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!WaitForEvents(guard, seconds))
        return false;
    out = std::move(events[head]);
    head++;
    if (head == events.size())
        Forget();
    return true;
}

bool Queue::Clear(int seconds)
{
    std::vector<Event> discarded;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (!WaitForEvents(guard, seconds))
            return false;
        events.swap(discarded);
        head = 0;
    }
    // Flows and entries are released outside the lock.
    return true;
}

void Queue::SetMaxSize(size_t size)
{
    std::lock_guard<std::mutex> guard(lock);
    max_size = size;
}

size_t Queue::GetMaxSize()
{
    std::lock_guard<std::mutex> guard(lock);
    return max_size;
}

size_t Queue::Size()
{
    std::lock_guard<std::mutex> guard(lock);
    return Queued();
}

size_t Queue::Waiting()
{
    std::lock_guard<std::mutex> guard(lock);
    return waiting;
}

void Queue::StopWaits()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        waits_stopped = true;
    }
    cond.notify_all();
}

bool Queue::WaitsStopped()
{
    std::lock_guard<std::mutex> guard(lock);
    return waits_stopped;
}

}  // namespace vppEventQueue
