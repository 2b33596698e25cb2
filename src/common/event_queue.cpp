#include "common/event_queue.h"

#include <chrono>
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

Event::Event(Type type, const vdFlow::Ptr &flow, const vppIntel::Entry &entry)
    : type(type), flow(flow), entries{std::make_shared<vppIntel::Entry>(entry)}, indicator(entry.indicator),
      data_feed(entry.data_feed)
{
}

Event::Event(Type type, const Event &other, const std::string &indicator)
    : type(type), event(other.event), flow(other.flow), indicator(indicator), data_source(other.data_source),
      data_feed(other.data_feed), payload(other.payload)
{
}

Queue::Ptr Queue::Create(const std::string &name)
{
    return Ptr(new Queue(name));
}

template <typename E> void Queue::PushLocked(E &&event)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (max_size != 0 && events.size() >= max_size)
            DropOldest();
        events.push_back(std::forward<E>(event));
        // A consumer that is not asleep finds the event on its next look;
        // waking outside the lock spares it a hop onto a held mutex.
        wake = waiting != 0;
    }
    if (wake)
        cond.notify_one();
}

void Queue::Push(const Event &event)
{
    PushLocked(event);
}

void Queue::Push(Event &&event)
{
    PushLocked(std::move(event));
}

// Called with lock held, so the host's logger runs under the queue mutex.
void Queue::DropOldest()
{
    if (HostVerbosity() >= 1) {
        const vdFlow::Ptr &flow = events.front().flow;
        const std::string digest = flow ? vd_xxh64_to_string(flow->digest) : std::string();
        vd_dprintf("%s: %s: lookup dropped: queue full (%zu).\n", name.c_str(), digest.c_str(), max_size);
    }
    events.pop_front();
}

void Queue::PushLookup(const Event &event, vppDataFeed::DataSource source, const std::string &feed, const json &answer)
{
    Event lookup(event);
    lookup.type = Event::LOOKUP;
    lookup.data_source = source;
    lookup.data_feed = feed;
    lookup.payload = answer;
    Push(std::move(lookup));
}

bool Queue::WaitForEvents(std::unique_lock<std::mutex> &guard, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    // Counted only while blocked: an event already queued returns at once.
    if (!events.empty())
        return true;
    if (waits_stopped)
        return false;
    waiting++;
    // The predicate makes spurious wake-ups wait again until the deadline.
    cond.wait_until(guard, deadline, [this] { return !events.empty() || waits_stopped; });
    waiting--;
    return !events.empty();
}

size_t Queue::Pop(std::deque<Event> &out, int seconds)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!WaitForEvents(guard, seconds))
        return 0;
    if (out.empty()) {
        events.swap(out);
    } else {
        // A swap would queue the caller's leftovers again.
        for (auto &event : events)
            out.push_back(std::move(event));
        events.clear();
    }
    return out.size();
}

bool Queue::PopSingle(Event &out, int seconds)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!WaitForEvents(guard, seconds))
        return false;
    out = std::move(events.front());
    events.pop_front();
    return true;
}

bool Queue::Clear(int seconds)
{
    std::deque<Event> discarded;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (!WaitForEvents(guard, seconds))
            return false;
        events.swap(discarded);
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
    return events.size();
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

}  // namespace vppEventQueue
