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

// A ring's first buffer; it doubles when full.
constexpr size_t first_capacity = 64;
// An emptied buffer up to this many slots (1.5 MiB) is kept for the next
// backlog; a larger one, left by a burst, is given back.
constexpr size_t max_spare_capacity = 64 * 1024;

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

void Queue::SlotRing::PushBack(Slot &&slot)
{
    if (count == capacity)
        Grow();
    slots[(head + count) & (capacity - 1)] = std::move(slot);
    count++;
}

void Queue::SlotRing::PopFront()
{
    slots[head] = Slot();
    head = (head + 1) & (capacity - 1);
    count--;
}

void Queue::SlotRing::Clear()
{
    for (size_t i = 0; i < count; i++)
        At(i) = Slot();
    head = 0;
    count = 0;
}

void Queue::SlotRing::Swap(SlotRing &other) noexcept
{
    std::swap(slots, other.slots);
    std::swap(capacity, other.capacity);
    std::swap(head, other.head);
    std::swap(count, other.count);
}

void Queue::SlotRing::Grow()
{
    const size_t grown = capacity == 0 ? first_capacity : capacity * 2;
    auto moved = std::make_unique<Slot[]>(grown);
    for (size_t i = 0; i < count; i++)
        moved[i] = std::move(At(i));
    slots = std::move(moved);
    capacity = grown;
    head = 0;
}

bool Queue::IsSlim(const Event &event)
{
    return event.entries.empty() && event.indicator.empty() && event.data_source == vppDataFeed::DataSource::none &&
           event.data_feed.empty() && event.payload.is_null() && event.proc_targets.empty() &&
           event.sink_targets.empty() && event.cached_indicators.empty();
}

void Queue::Push(const Event &event)
{
    if (IsSlim(event))
        PushSlot(Slot{event.flow, event.type, event.event, false}, nullptr);
    else
        PushSlot(Slot{nullptr, event.type, event.event, true}, std::make_unique<Event>(event));
}

void Queue::Push(Event &&event)
{
    if (IsSlim(event))
        PushSlot(Slot{std::move(event.flow), event.type, event.event, false}, nullptr);
    else
        PushSlot(Slot{nullptr, event.type, event.event, true}, std::make_unique<Event>(std::move(event)));
}

// The full event is built before the lock is taken; the consumer is woken
// only when one sleeps, after the lock is given back.
void Queue::PushSlot(Slot &&slot, std::unique_ptr<Event> full)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (max_size != 0 && backlog.slots.Size() >= max_size)
            DropOldest();
        backlog.slots.PushBack(std::move(slot));
        if (full)
            backlog.full_events.push_back(std::move(full));
        wake = waiting != 0;
    }
    if (wake)
        cond.notify_one();
}

// Called with lock held, so the host's logger runs under the queue mutex.
void Queue::DropOldest()
{
    if (backlog.slots.Empty())
        return;
    if (HostVerbosity() >= 1) {
        const Slot &oldest = backlog.slots.Front();
        const vdFlow::Ptr &flow = oldest.full ? backlog.full_events.front()->flow : oldest.flow;
        const std::string digest = flow ? vd_xxh64_to_string(flow->digest) : std::string();
        vd_dprintf("%s: %s: lookup dropped: queue full (%zu).\n", name.c_str(), digest.c_str(), max_size);
    }
    if (backlog.slots.Front().full)
        backlog.full_events.pop_front();
    backlog.slots.PopFront();
}

void Queue::TakeFront(Backlog &from, Event &out)
{
    Slot &slot = from.slots.Front();
    if (slot.full) {
        out = std::move(*from.full_events.front());
        from.full_events.pop_front();
    } else {
        Event event;
        event.type = slot.type;
        event.event = slot.code;
        event.flow = std::move(slot.flow);
        out = std::move(event);
    }
    from.slots.PopFront();
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
    if (!backlog.slots.Empty())
        return true;
    if (waits_stopped)
        return false;
    waiting++;
    // The predicate makes spurious wake-ups wait again until the deadline.
    cond.wait_until(guard, deadline, [this] { return !backlog.slots.Empty() || waits_stopped; });
    waiting--;
    return !backlog.slots.Empty();
}

void Queue::TakeBacklog(Backlog &taken)
{
    taken.slots.Swap(backlog.slots);
    taken.full_events.swap(backlog.full_events);
    backlog.slots.Swap(spare);
}

void Queue::KeepSpare(SlotRing &&ring)
{
    ring.Clear();
    std::lock_guard<std::mutex> guard(lock);
    if (ring.Capacity() <= max_spare_capacity && ring.Capacity() > spare.Capacity())
        spare.Swap(ring);
}

size_t Queue::Pop(std::deque<Event> &out, int seconds)
{
    Backlog taken;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (!WaitForEvents(guard, seconds))
            return 0;
        TakeBacklog(taken);
    }
    // The events are built on the consumer's side, outside the lock, in
    // place for the slim ones.
    while (!taken.slots.Empty()) {
        Slot &slot = taken.slots.Front();
        if (slot.full) {
            out.push_back(std::move(*taken.full_events.front()));
            taken.full_events.pop_front();
        } else {
            Event &event = out.emplace_back();
            event.type = slot.type;
            event.event = slot.code;
            event.flow = std::move(slot.flow);
        }
        taken.slots.PopFront();
    }
    KeepSpare(std::move(taken.slots));
    return out.size();
}

bool Queue::PopSingle(Event &out, int seconds)
{
    std::unique_lock<std::mutex> guard(lock);
    if (!WaitForEvents(guard, seconds))
        return false;
    TakeFront(backlog, out);
    return true;
}

bool Queue::Clear(int seconds)
{
    Backlog discarded;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (!WaitForEvents(guard, seconds))
            return false;
        TakeBacklog(discarded);
    }
    // Flows and entries are released outside the lock.
    KeepSpare(std::move(discarded.slots));
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
    return backlog.slots.Size();
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
