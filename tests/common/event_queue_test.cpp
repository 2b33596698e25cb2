#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/event_queue.h"
#include "support/log_capture.h"
#include "vd_config.h"

using vppEventQueue::AnswerMember;
using vppEventQueue::Event;
using vppEventQueue::Queue;

namespace {

Event FlowEvent(uint64_t digest, vdPluginProcessor::Event code = vdPluginProcessor::dpi_complete)
{
    Event event;
    event.event = code;
    event.flow = std::make_shared<vdFlow>();
    event.flow->digest = digest;
    return event;
}

std::vector<uint64_t> Digests(const std::vector<Event> &events)
{
    std::vector<uint64_t> digests;
    for (const auto &event : events)
        digests.push_back(event.flow ? event.flow->digest : 0);
    return digests;
}

TEST(EventQueue, PopTakesTheWholeBacklogInOrder)
{
    auto queue = Queue::Create("event_queue");
    for (uint64_t digest : {1, 2, 3})
        queue->Push(FlowEvent(digest));

    std::vector<Event> batch;
    EXPECT_EQ(queue->Pop(batch, 1), 3u);
    EXPECT_EQ(Digests(batch), (std::vector<uint64_t>{1, 2, 3}));

    // Empty now: a zero wait times out at once and leaves out alone.
    EXPECT_EQ(queue->Pop(batch, 0), 0u);
    EXPECT_EQ(batch.size(), 3u);

    // Leftovers in out stay in front of the new batch, not in the queue.
    queue->Push(FlowEvent(4));
    EXPECT_EQ(queue->Pop(batch, 0), 4u);
    EXPECT_EQ(Digests(batch), (std::vector<uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(queue->Size(), 0u);
}

TEST(EventQueue, PopSingleAndClear)
{
    auto queue = Queue::Create("q");
    queue->Push(FlowEvent(1));
    queue->Push(FlowEvent(2));

    Event out;
    ASSERT_TRUE(queue->PopSingle(out, 0));
    EXPECT_EQ(out.flow->digest, 1u);
    EXPECT_TRUE(queue->Clear(0));
    EXPECT_FALSE(queue->Clear(0));
    EXPECT_FALSE(queue->PopSingle(out, 0));
    EXPECT_EQ(out.flow->digest, 1u);
}

TEST(EventQueue, EmptyWaitLastsUntilTheDeadline)
{
    auto queue = Queue::Create("q");
    Event out = FlowEvent(7);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue->PopSingle(out, 1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(out.flow->digest, 7u);
}

TEST(EventQueue, WaitingConsumersWakeOnPush)
{
    auto batch_queue = Queue::Create("q");
    auto single_queue = Queue::Create("q");
    size_t batch_size = 0;
    bool single = false;
    // Long deadlines: the waits must end with the push, not the time-out.
    std::thread batch_consumer([&] {
        std::vector<Event> batch;
        batch_size = batch_queue->Pop(batch, 60);
    });
    std::thread single_consumer([&] {
        Event out;
        single = single_queue->PopSingle(out, 60);
    });
    batch_queue->Push(FlowEvent(1));
    single_queue->Push(FlowEvent(2));
    batch_consumer.join();
    single_consumer.join();
    EXPECT_EQ(batch_size, 1u);
    EXPECT_TRUE(single);
}

// Waits, with a deadline, until the queue has count consumers blocked.
bool WaitForWaiting(Queue &queue, size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (queue.Waiting() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(EventQueue, APushWakesAConsumerThatIsAlreadyBlocked)
{
    // Each wait starts before the push (the queue counts it as blocked), so
    // only the push's wake-up can end it before its long deadline.
    constexpr int wait_seconds = 30;
    struct Consumer {
        const char *name;
        std::function<bool(Queue &)> wait;
    };
    const std::vector<Consumer> consumers = {
        {"Pop",
         [](Queue &queue) {
             std::vector<Event> batch;
             return queue.Pop(batch, wait_seconds) == 1;
         }},
        {"PopSingle",
         [](Queue &queue) {
             Event out;
             return queue.PopSingle(out, wait_seconds);
         }},
        {"Clear", [](Queue &queue) { return queue.Clear(wait_seconds); }},
    };
    struct Outcome {
        bool woken = false;
        std::chrono::steady_clock::duration waited{};
    };
    std::vector<Queue::Ptr> queues;
    for (size_t i = 0; i < consumers.size(); i++)
        queues.push_back(Queue::Create("q"));
    std::vector<Outcome> outcomes(consumers.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < consumers.size(); i++) {
        threads.emplace_back([&, i] {
            const auto start = std::chrono::steady_clock::now();
            outcomes[i].woken = consumers[i].wait(*queues[i]);
            outcomes[i].waited = std::chrono::steady_clock::now() - start;
        });
    }
    for (size_t i = 0; i < consumers.size(); i++) {
        SCOPED_TRACE(consumers[i].name);
        EXPECT_TRUE(WaitForWaiting(*queues[i], 1));
        queues[i]->Push(FlowEvent(i + 1));
    }
    for (auto &thread : threads)
        thread.join();
    for (size_t i = 0; i < consumers.size(); i++) {
        SCOPED_TRACE(consumers[i].name);
        EXPECT_TRUE(outcomes[i].woken);
        EXPECT_LT(outcomes[i].waited, std::chrono::seconds(wait_seconds / 2));
        EXPECT_EQ(queues[i]->Waiting(), 0u);
    }
}

TEST(EventQueue, SizeLimitDropsTheOldestAndLogsIt)
{
    struct Case {
        size_t max_size;
        uint8_t verbosity;
        std::vector<uint64_t> pushed;  // 0: an event without a flow
        std::vector<uint64_t> kept;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {2, 1, {0xab, 2, 3}, {2, 3}, {"q: 00000000000000ab: lookup dropped: queue full (2).\n"}},
        {1,
         1,
         {0, 2, 3},
         {3},
         {"q: : lookup dropped: queue full (1).\n", "q: 0000000000000002: lookup dropped: queue full (1).\n"}},
        {2, 0, {1, 2, 3}, {2, 3}, {}},
        {0, 1, {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {}},
    };
    vdGlobalConfig config;
    for (const auto &c : cases) {
        SCOPED_TRACE("max_size " + std::to_string(c.max_size) + ", verbosity " + std::to_string(c.verbosity));
        config.verbosity = c.verbosity;
        LogCapture capture;
        auto queue = Queue::Create("q");
        queue->SetMaxSize(c.max_size);
        for (uint64_t digest : c.pushed)
            queue->Push(digest != 0 ? FlowEvent(digest) : Event());
        std::vector<Event> batch;
        queue->Pop(batch, 0);
        EXPECT_EQ(Digests(batch), c.kept);
        EXPECT_EQ(capture.Lines(vdLogLevel::debug), c.lines);
    }
}

TEST(EventQueue, PushLookupCarriesTheAnswerAndTheCacheMarks)
{
    auto queue = Queue::Create("event_queue");
    Event flow = FlowEvent(5);
    flow.Write().cached_indicators = {"cached"};
    const auto answer = std::make_shared<const AnswerMember>(AnswerMember{"0000000000000005", json(1)});
    queue->PushLookup(flow, vppDataFeed::DataSource::cloud_intel, "cloud-1", answer);

    Event out;
    ASSERT_TRUE(queue->PopSingle(out, 0));
    EXPECT_EQ(out.type, Event::LOOKUP);
    EXPECT_EQ(out.event, vdPluginProcessor::dpi_complete);
    EXPECT_EQ(out.flow, flow.flow);
    EXPECT_EQ(out.Read().data_source, vppDataFeed::DataSource::cloud_intel);
    EXPECT_EQ(out.Read().data_feed, "cloud-1");
    EXPECT_EQ(out.Read().answer, answer) << "shared, not copied";
    EXPECT_EQ(out.Read().cached_indicators, flow.Read().cached_indicators);
}

TEST(EventQueue, EventsBuiltFromAnEntryAndForOneIndicator)
{
    vppIntel::Entry entry;
    entry.indicator = "tor";
    entry.data_feed = "feed-1";
    vdFlow::Ptr flow = std::make_shared<vdFlow>();
    Event intel(Event::INTEL, flow, entry);
    EXPECT_EQ(intel.type, Event::INTEL);
    EXPECT_EQ(intel.event, vdPluginProcessor::none);
    EXPECT_EQ(intel.flow, flow);
    ASSERT_EQ(intel.Read().entries.size(), 1u);
    EXPECT_EQ(*intel.Read().entries[0], entry);
    EXPECT_EQ(intel.Read().indicator, "tor");
    EXPECT_EQ(intel.Read().data_feed, "feed-1");
    EXPECT_EQ(intel.Read().data_source, vppDataFeed::DataSource::none);
    EXPECT_TRUE(intel.Read().proc_targets.empty() && intel.Read().sink_targets.empty() &&
                intel.Read().cached_indicators.empty());

    Event lookup = FlowEvent(9);
    lookup.type = Event::LOOKUP;
    lookup.Write().data_source = vppDataFeed::DataSource::cloud_intel;
    lookup.Write().data_feed = "cloud-1/0";
    lookup.Write().answer = std::make_shared<const AnswerMember>(AnswerMember{"0000000000000009", json(true)});
    lookup.Write().entries = intel.Read().entries;
    lookup.Write().proc_targets = {"p"};
    lookup.Write().sink_targets = {"s"};
    lookup.Write().cached_indicators = {"c"};
    Event own(lookup.type, lookup, "geo");
    EXPECT_EQ(own.type, Event::LOOKUP);
    EXPECT_EQ(own.Read().indicator, "geo");
    EXPECT_EQ(own.event, lookup.event);
    EXPECT_EQ(own.flow, lookup.flow);
    EXPECT_EQ(own.Read().data_source, lookup.Read().data_source);
    EXPECT_EQ(own.Read().data_feed, lookup.Read().data_feed);
    EXPECT_EQ(own.Read().answer, lookup.Read().answer) << "the indicator's copy shares the answer";
    EXPECT_TRUE(own.Read().entries.empty());
    EXPECT_TRUE(own.Read().proc_targets.empty() && own.Read().sink_targets.empty() &&
                own.Read().cached_indicators.empty());
}

TEST(EventQueue, EventCopiesOwnTheirDetailsAndAFlowEventHasNone)
{
    Event original = FlowEvent(5);
    EXPECT_EQ(&original.Read(), &Event().Read()) << "a FLOW event shares the empty details";
    EXPECT_TRUE(original.Read().indicator.empty() && original.Read().entries.empty());
    EXPECT_EQ(original.Read().data_source, vppDataFeed::DataSource::none);

    original.Write().indicator = "tor";
    original.Write().cached_indicators = {"cached"};
    // Each way of copying gets details of its own: changing the copy leaves
    // the original as it was.
    const std::vector<std::pair<std::string, std::function<Event(const Event &)>>> copies = {
        {"copy construction", [](const Event &from) { return Event(from); }},
        {"copy assignment",
         [](const Event &from) {
             Event to = FlowEvent(6);
             to.Write().indicator = "other";
             to = from;
             return to;
         }},
        {"self-assignment of a copy",
         [](const Event &from) {
             Event to(from);
             const Event &same = to;
             to = same;
             return to;
         }},
    };
    for (const auto &[name, copy] : copies) {
        SCOPED_TRACE(name);
        Event copied = copy(original);
        EXPECT_EQ(copied.flow, original.flow);
        EXPECT_EQ(copied.Read().indicator, "tor");
        EXPECT_EQ(copied.Read().cached_indicators, std::unordered_set<std::string>{"cached"});
        EXPECT_NE(&copied.Read(), &original.Read());
        copied.Write().indicator = "vpn";
        copied.Write().cached_indicators.clear();
        EXPECT_EQ(original.Read().indicator, "tor");
        EXPECT_EQ(original.Read().cached_indicators.size(), 1u);
    }

    // A moved event takes the details along; the source is a bare event.
    Event moved(std::move(original));
    EXPECT_EQ(moved.Read().indicator, "tor");
}

// The queue keeps a host's FLOW event (code and flow) apart from any other;
// every kind must still come out in the order pushed, whichever way it is
// taken, also after the buffer wrapped around and grew.
enum class Kind { slim, lookup, intel, flow_with_marks };

Event OfKind(Kind kind, uint64_t digest)
{
    Event event = FlowEvent(digest);
    switch (kind) {
    case Kind::slim:
        break;
    case Kind::lookup:
        event.type = Event::LOOKUP;
        event.Write().answer = std::make_shared<const AnswerMember>(AnswerMember{"", json(digest)});
        break;
    case Kind::intel:
        event.type = Event::INTEL;
        event.Write().indicator = "tor";
        break;
    case Kind::flow_with_marks:
        event.Write().cached_indicators = {"cached"};
        break;
    }
    return event;
}

// Digests 1..count with kinds in a pattern that puts runs of each next to
// runs of others.
std::vector<Event> MixedEvents(uint64_t count)
{
    const Kind pattern[] = {Kind::slim,  Kind::slim, Kind::lookup,          Kind::slim, Kind::intel,
                            Kind::intel, Kind::slim, Kind::flow_with_marks, Kind::slim, Kind::slim};
    std::vector<Event> events;
    for (uint64_t digest = 1; digest <= count; digest++)
        events.push_back(OfKind(pattern[digest % std::size(pattern)], digest));
    return events;
}

void ExpectSame(const Event &got, const Event &want)
{
    SCOPED_TRACE(want.flow->digest);
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.event, want.event);
    EXPECT_EQ(got.flow, want.flow);
    EXPECT_EQ(got.Read().answer, want.Read().answer);
    EXPECT_EQ(got.Read().indicator, want.Read().indicator);
    EXPECT_EQ(got.Read().cached_indicators, want.Read().cached_indicators);
}

TEST(EventQueue, MixedEventsKeepTheirOrderAndFieldsThroughEveryWayOut)
{
    const std::vector<Event> events = MixedEvents(1000);
    // Pushed as copies and as moved events; taken one by one, then as a
    // batch, with pushes in between so that the buffer wraps around.
    auto queue = Queue::Create("q");
    std::vector<Event> taken;
    size_t next = 0;
    while (next < events.size()) {
        for (size_t i = 0; i < 97 && next < events.size(); i++, next++) {
            if (next % 2 == 0)
                queue->Push(events[next]);
            else
                queue->Push(Event(events[next]));
        }
        for (int i = 0; i < 40; i++) {
            Event out;
            ASSERT_TRUE(queue->PopSingle(out, 0));
            taken.push_back(std::move(out));
        }
    }
    std::vector<Event> batch;
    queue->Pop(batch, 0);
    for (auto &event : batch)
        taken.push_back(std::move(event));
    ASSERT_EQ(taken.size(), events.size());
    for (size_t i = 0; i < events.size(); i++)
        ExpectSame(taken[i], events[i]);
}

TEST(EventQueue, TheSizeLimitDropsTheOldestOfMixedEventsAcrossTheWrap)
{
    // Limits below, at and above the buffer's first size, pushes well past
    // each, with a single pop now and then moving the front around.
    const std::vector<Event> events = MixedEvents(700);
    for (size_t max_size : {1u, 5u, 63u, 64u, 65u, 300u}) {
        SCOPED_TRACE("max_size " + std::to_string(max_size));
        auto queue = Queue::Create("q");
        queue->SetMaxSize(max_size);
        std::vector<const Event *> expected;  // a model of the queue
        for (size_t i = 0; i < events.size(); i++) {
            queue->Push(events[i]);
            expected.push_back(&events[i]);
            if (expected.size() > max_size)
                expected.erase(expected.begin());
            EXPECT_EQ(queue->Size(), expected.size());
            if (i % 7 == 0) {
                Event out;
                ASSERT_TRUE(queue->PopSingle(out, 0));
                ExpectSame(out, *expected.front());
                expected.erase(expected.begin());
            }
        }
        std::vector<Event> batch;
        queue->Pop(batch, 0);
        ASSERT_EQ(batch.size(), expected.size());
        for (size_t i = 0; i < batch.size(); i++)
            ExpectSame(batch[i], *expected[i]);
    }
}

TEST(EventQueue, StopWaitsEndsTheWaitingAndEveryLaterWait)
{
    constexpr int wait_seconds = 30;
    auto queue = Queue::Create("q");
    std::atomic<bool> popped{true};
    std::chrono::steady_clock::duration waited{};
    std::thread consumer([&] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<Event> batch;
        popped = queue->Pop(batch, wait_seconds) != 0;
        waited = std::chrono::steady_clock::now() - start;
    });
    ASSERT_TRUE(WaitForWaiting(*queue, 1));
    queue->StopWaits();
    consumer.join();
    EXPECT_FALSE(popped);
    EXPECT_LT(waited, std::chrono::seconds(wait_seconds / 2));

    // Later waits do not block; what is queued is still taken.
    Event out;
    EXPECT_FALSE(queue->PopSingle(out, wait_seconds));
    EXPECT_FALSE(queue->Clear(wait_seconds));
    queue->Push(FlowEvent(3));
    ASSERT_TRUE(queue->PopSingle(out, wait_seconds));
    EXPECT_EQ(out.flow->digest, 3u);
    EXPECT_EQ(queue->Waiting(), 0u);
}

// Multi-threaded completeness: every event pushed arrives exactly once.

constexpr uint64_t events_per_producer = 5000;

Event Numbered(uint64_t producer, uint64_t sequence)
{
    Event event;
    event.Write().data_feed = std::to_string(producer * events_per_producer + sequence);
    return event;
}

std::vector<std::thread> StartProducers(const Queue::Ptr &queue, size_t producers)
{
    std::vector<std::thread> threads;
    for (uint64_t p = 0; p < producers; p++)
        threads.emplace_back([queue, p] {
            for (uint64_t s = 0; s < events_per_producer; s++)
                queue->Push(Numbered(p, s));
        });
    return threads;
}

TEST(EventQueue, ManyProducersOneBatchConsumerLoseNothing)
{
    constexpr size_t producers = 8;
    auto queue = Queue::Create("event_queue");
    auto threads = StartProducers(queue, producers);

    // Each producer's events must come out in its own order, with no gap.
    std::vector<uint64_t> next(producers, 0);
    size_t received = 0, out_of_order = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::vector<Event> batch;
    while (received < producers * events_per_producer && std::chrono::steady_clock::now() < deadline) {
        batch.clear();
        queue->Pop(batch, 1);
        for (const auto &event : batch) {
            uint64_t id = std::stoull(event.Read().data_feed);
            uint64_t producer = id / events_per_producer;
            if (id % events_per_producer != next[producer]++)
                out_of_order++;
            received++;
        }
    }
    for (auto &thread : threads)
        thread.join();

    EXPECT_EQ(received, producers * events_per_producer);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(queue->Size(), 0u);
}

TEST(EventQueue, SeveralSingleConsumersShareWithoutDuplicates)
{
    constexpr size_t producers = 4, consumers = 4;
    constexpr size_t total = producers * events_per_producer;
    auto queue = Queue::Create("cloud-1");
    std::atomic<size_t> taken{0};
    std::vector<std::vector<uint64_t>> seen(consumers);
    std::vector<std::thread> threads;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (size_t c = 0; c < consumers; c++)
        threads.emplace_back([&, c] {
            Event event;
            while (taken.load() < total && std::chrono::steady_clock::now() < deadline)
                if (queue->PopSingle(event, 1)) {
                    seen[c].push_back(std::stoull(event.Read().data_feed));
                    taken++;
                }
        });
    for (auto &producer : StartProducers(queue, producers))
        producer.join();
    for (auto &thread : threads)
        thread.join();

    std::vector<int> count(total, 0);
    for (const auto &ids : seen)
        for (uint64_t id : ids)
            count[id]++;
    size_t missing = 0, duplicated = 0;
    for (int n : count) {
        missing += n == 0;
        duplicated += n > 1;
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(duplicated, 0u);
}

}  // namespace
