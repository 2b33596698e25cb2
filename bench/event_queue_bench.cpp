// Event-queue hand-over: one push, the throughput of several producers into
// one consumer that takes whole batches, as the worker does, and the memory
// a queued FLOW event costs. Each is measured for the queue and for the
// previous design (a deque of whole 304-byte events, a wake-up per push),
// kept below as the baseline.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/event_queue.h"

namespace {

// The previous event: every field inline, three string sets included.
struct BaselineEvent {
    vppEventQueue::Event::Type type = vppEventQueue::Event::FLOW;
    vdPluginProcessor::Event event = vdPluginProcessor::none;
    vdFlow::Ptr flow;
    std::vector<std::shared_ptr<vppIntel::Entry>> entries;
    std::string indicator;
    vppDataFeed::DataSource data_source = vppDataFeed::DataSource::none;
    std::string data_feed;
    json payload;
    std::unordered_set<std::string> proc_targets;
    std::unordered_set<std::string> sink_targets;
    std::unordered_set<std::string> cached_indicators;
};

// The queue itself, with the benchmarks' names for its parts.
struct CurrentQueue {
    using Event = vppEventQueue::Event;
    using Batch = std::vector<Event>;
    using Ptr = vppEventQueue::Queue::Ptr;
    static Ptr Create(const std::string &name) { return vppEventQueue::Queue::Create(name); }
};

// The previous queue: every event stored whole in a deque (an allocation
// per event on the producer, freed by the consumer), a notify per push.
class BaselineQueue
{
public:
    using Event = BaselineEvent;
    using Batch = std::deque<Event>;
    using Ptr = std::shared_ptr<BaselineQueue>;
    static Ptr Create(const std::string &) { return std::make_shared<BaselineQueue>(); }

    void Push(const Event &event)
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(event);
        cond.notify_one();
    }

    size_t Pop(std::deque<Event> &out, int seconds)
    {
        std::unique_lock<std::mutex> guard(lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        if (events.empty() && !cond.wait_until(guard, deadline, [this] { return !events.empty(); }))
            return 0;
        if (out.empty()) {
            events.swap(out);
        } else {
            for (auto &event : events)
                out.push_back(std::move(event));
            events.clear();
        }
        return out.size();
    }

private:
    std::deque<Event> events;
    std::mutex lock;
    std::condition_variable cond;
};

// A FLOW event as the host hands it in: code and shared flow.
template <class Event> Event MakeFlowEvent(const vdFlow::Ptr &flow)
{
    Event event;
    event.event = vdPluginProcessor::dpi_complete;
    event.flow = flow;
    return event;
}

// One push of a copied FLOW event, single-threaded; the backlog is taken
// outside the timing now and then so that the queue stays small.
template <class Q> void BM_PushOne(benchmark::State &state)
{
    using Event = typename Q::Event;
    auto queue = Q::Create("event_queue");
    const Event event = MakeFlowEvent<Event>(std::make_shared<vdFlow>());
    typename Q::Batch batch;
    size_t pushed = 0;
    for (auto _ : state) {
        queue->Push(event);
        if (++pushed % 1024 == 0) {
            state.PauseTiming();
            batch.clear();
            queue->Pop(batch, 0);
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PushOne<CurrentQueue>)->Name("BM_PushOne/queue");
BENCHMARK(BM_PushOne<BaselineQueue>)->Name("BM_PushOne/baseline");

// Producers push their share while the consumer pops whole batches until it
// has every event. Real time, thread start included (amortised over the run).
// The second argument is the number of flows each producer cycles through:
// with one, producer and consumer pass one flow's count back and forth on
// every event; a host hands in many flows, whose counts rarely meet.
template <class Q> void BM_Throughput(benchmark::State &state)
{
    using Event = typename Q::Event;
    const auto producers = static_cast<size_t>(state.range(0));
    const auto flows = static_cast<size_t>(state.range(1));
    constexpr size_t events_per_producer = 200000;
    const size_t total = producers * events_per_producer;
    // Flows of its own for each producer, as host threads hand in different
    // flows; made before the timing.
    std::vector<std::vector<Event>> events(producers);
    for (auto &own : events) {
        for (size_t f = 0; f < flows; f++)
            own.push_back(MakeFlowEvent<Event>(std::make_shared<vdFlow>()));
    }
    for (auto _ : state) {
        auto queue = Q::Create("event_queue");
        std::vector<std::thread> threads;
        for (size_t p = 0; p < producers; p++)
            threads.emplace_back([&queue, &own = events[p]] {
                for (size_t i = 0; i < events_per_producer; i++)
                    queue->Push(own[i % own.size()]);
            });
        // The consumer on a thread of its own, as the worker is.
        std::thread consumer([&queue, total] {
            typename Q::Batch batch;
            size_t received = 0;
            while (received < total) {
                batch.clear();
                received += queue->Pop(batch, 1);
            }
        });
        consumer.join();
        for (auto &thread : threads)
            thread.join();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * total));
    state.counters["events_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations() * total), benchmark::Counter::kIsRate);
}
void ThroughputArgs(benchmark::internal::Benchmark *bench)
{
    bench->ArgNames({"producers", "flows"});
    for (int64_t flows : {1, 1024}) {
        for (int64_t producers : {1, 2, 4, 8})
            bench->Args({producers, flows});
    }
    bench->UseRealTime()->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_Throughput<CurrentQueue>)->Name("BM_Throughput/queue")->Apply(ThroughputArgs);
BENCHMARK(BM_Throughput<BaselineQueue>)->Name("BM_Throughput/baseline")->Apply(ThroughputArgs);

// Bytes handed out by malloc: from its arenas and as mapped blocks.
size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Heap bytes held per queued FLOW event (the flow itself aside: all events
// share one), read from the allocator's count of bytes in use.
template <class Q> void BM_BytesPerQueuedEvent(benchmark::State &state)
{
    using Event = typename Q::Event;
    const auto events = static_cast<size_t>(state.range(0));
    const Event event = MakeFlowEvent<Event>(std::make_shared<vdFlow>());
    double bytes_per_event = 0;
    for (auto _ : state) {
        auto queue = Q::Create("event_queue");
        const size_t before = HeapInUse();
        for (size_t i = 0; i < events; i++)
            queue->Push(event);
        const size_t after = HeapInUse();
        bytes_per_event = static_cast<double>(after - before) / static_cast<double>(events);
        state.PauseTiming();
        typename Q::Batch batch;
        queue->Pop(batch, 0);
        state.ResumeTiming();
    }
    state.counters["bytes_per_event"] = bytes_per_event;
}
// A million, and a count just past a power of two: the buffer's worst case.
BENCHMARK(BM_BytesPerQueuedEvent<CurrentQueue>)
    ->Name("BM_BytesPerQueuedEvent/queue")
    ->Arg(1000000)
    ->Arg(1048577)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BytesPerQueuedEvent<BaselineQueue>)
    ->Name("BM_BytesPerQueuedEvent/baseline")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
