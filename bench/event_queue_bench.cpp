// Event-queue hand-over: one push, and the throughput of several producers
// into one consumer that takes whole batches, as the worker does.
#include <benchmark/benchmark.h>

#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "common/event_queue.h"

namespace {

using vppEventQueue::Event;
using vppEventQueue::Queue;

// A FLOW event as the host hands it in: code and shared flow.
Event MakeFlowEvent(const vdFlow::Ptr &flow)
{
    Event event;
    event.event = vdPluginProcessor::dpi_complete;
    event.flow = flow;
    return event;
}

// One push of a copied FLOW event, single-threaded; the backlog is taken
// outside the timing now and then so that the queue stays small.
void BM_PushOne(benchmark::State &state)
{
    auto queue = Queue::Create("event_queue");
    const Event event = MakeFlowEvent(std::make_shared<vdFlow>());
    std::deque<Event> batch;
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
BENCHMARK(BM_PushOne);

// Producers push their share while the consumer pops whole batches until it
// has every event. Real time, thread start included (amortised over the run).
void BM_Throughput(benchmark::State &state)
{
    const auto producers = static_cast<size_t>(state.range(0));
    constexpr size_t events_per_producer = 200000;
    const size_t total = producers * events_per_producer;
    for (auto _ : state) {
        auto queue = Queue::Create("event_queue");
        std::vector<std::thread> threads;
        for (size_t p = 0; p < producers; p++)
            threads.emplace_back([&queue] {
                // A flow of its own, as host threads hand in different flows.
                const Event event = MakeFlowEvent(std::make_shared<vdFlow>());
                for (size_t i = 0; i < events_per_producer; i++)
                    queue->Push(event);
            });
        std::deque<Event> batch;
        size_t received = 0;
        while (received < total) {
            batch.clear();
            received += queue->Pop(batch, 1);
        }
        for (auto &thread : threads)
            thread.join();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * total));
    state.counters["events_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations() * total), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Throughput)
    ->ArgName("producers")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
