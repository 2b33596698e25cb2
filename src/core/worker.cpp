// The worker thread: each turn reloads and polls when asked, takes the
// queue's whole backlog, evaluates its flows, merges the intel that came
// back per flow, numbers it and hands it to the flow's targets.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "common/thread_toolkit.h"
#include "core/filter_verdicts.h"
#include "core/plugin.h"
#include "feeds/signatures/velbor_api.h"
#include "indicators/cache/intel_cache.h"

namespace {

// Passes of the final drain: a flow's findings need two (evaluation, then
// output); the bound keeps a producer that never stops from holding up a
// stop.
constexpr int max_drain_passes = 4;
// Events evaluated between two checks for a stop: a large backlog does not
// keep the worker from stopping.
constexpr size_t slice_events = 256;
// The drain looks at its deadline after every event: a few slow events
// must not carry a stop past it.
constexpr size_t drain_slice_events = 1;

// No exception may leave the worker: it would end the host process.
using vppThread::Guard;

std::string FlowId(const vdFlow::Ptr &flow)
{
    return vppIndicator::Base::GetFlowId(flow);
}

void AddUnique(std::vector<vppDataFeed::Base *> &feeds, vppDataFeed::Base *feed)
{
    if (feed != nullptr && std::find(feeds.begin(), feeds.end(), feed) == feeds.end())
        feeds.push_back(feed);
}

// Whether the indicator evaluates the event: by the verdict taken as the
// event's lookups started when there is one, else by filtering it now.
// Writes the filter's line (verbosity 2 and up) either way.
bool Passes(const vppIndicator::Base &indicator, const vppEventQueue::Event &event,
            const vppWorker::FilterVerdicts::Span &verdicts, size_t position, uint8_t verbosity)
{
    if (position >= verdicts.Size())
        return !indicator.Filtered(event, true);
    if (verbosity >= 2)
        indicator.LogFilter(event, verdicts.Reason(position), verdicts.Detail(position));
    return verdicts.Passed(position);
}

// After a stop: batch keeps the findings set aside, then its events from
// next on.
void KeepUnprocessed(std::vector<vppEventQueue::Event> &batch, size_t next, std::vector<vppEventQueue::Event> &findings)
{
    // The findings set aside come first, as they were taken first.
    findings.reserve(findings.size() + batch.size() - next);
    std::move(batch.begin() + static_cast<std::ptrdiff_t>(next), batch.end(), std::back_inserter(findings));
    batch.swap(findings);
}

}  // namespace

struct vppPlugin::TurnContext {
    uint8_t verbosity = 0;
    // Feeds to ask for one FLOW event; kept to reuse its storage.
    std::vector<vppDataFeed::Base *> feeds;
    // The indicators' filter verdicts on the batch's FLOW events, from the
    // lookups' pass for the evaluation's.
    vppWorker::FilterVerdicts verdicts;
};

// The batch's intel by flow (by identity), in the order the flows' first
// intel arrived.
class vppPlugin::IntelBatch
{
public:
    void Merge(const vdFlow::Ptr &flow, vppIntel::Event &&intel)
    {
        auto [slot, added] = index.try_emplace(flow.get(), flows.size());
        if (added)
            flows.emplace_back(flow, std::move(intel));
        else
            flows[slot->second].second.Merge(intel);
    }

    std::vector<std::pair<vdFlow::Ptr, vppIntel::Event>> &Flows() { return flows; }

private:
    std::vector<std::pair<vdFlow::Ptr, vppIntel::Event>> flows;
    std::unordered_map<const vdFlow *, size_t> index;
};

void *vppPlugin::Entry()
{
    // Reads far below the loop (a data set at its first lookup, a cache file
    // with its indicator) end at the stop rather than hold it up.
    vppThread::StopScope stop_scope(terminate);
    Guard(
        [&] {
            vd_printf("%s: %s v%s\n", tag.c_str(), plugin_name, plugin_version);
            LoadEventId();
        },
        [&](const char *what) { vd_printf("%s: worker start failed: %s\n", tag.c_str(), what); });

    std::vector<vppEventQueue::Event> batch;
    while (!terminate)
        RunTurnSafely(batch);

    Guard([&] { DrainQueue(batch); },
          [&](const char *what) { vd_printf("%s: worker stop failed: %s\n", tag.c_str(), what); });
    SaveEventId();
    Guard([&] { vd_printf("%s: intel offline: shutting down\n", tag.c_str()); }, [](const char *) {});
    return nullptr;
}

void vppPlugin::RunTurnSafely(std::vector<vppEventQueue::Event> &batch)
{
    bool completed = false;
    Guard(
        [&] {
            RunTurn(batch);
            completed = true;
        },
        [&](const char *what) { vd_printf("%s: worker turn failed: %s\n", tag.c_str(), what); });
    // A failed turn's events are dropped; a stopped one's go to the drain.
    if (!completed)
        batch.clear();
}

void vppPlugin::RunTurn(std::vector<vppEventQueue::Event> &batch)
{
    // Cleared before the reload, so a request made while it runs (which
    // may come after the file was read) gets a reload of its own.
    if (reload_pending.exchange(false))
        ReloadSafely();
    if (poll_pending.exchange(false))
        PollSafely();

    batch.clear();
    if (queue->Pop(batch, 1) == 0)
        return;
    ProcessInSlices(batch, slice_events, [this] { return terminate.load(); });
}

void vppPlugin::DrainQueue(std::vector<vppEventQueue::Event> &batch)
{
    const auto deadline = std::chrono::steady_clock::now() + drain_time_limit;
    const auto past_deadline = [deadline] { return std::chrono::steady_clock::now() >= deadline; };
    for (int pass = 0; pass < max_drain_passes; pass++) {
        // Appended to what the last turn left.
        queue->Pop(batch, 0);
        if (batch.empty())
            return;
        // Flows handed in before the first turn still meet the configuration.
        if (reload_pending.exchange(false))
            ReloadSafely();
        if (!ProcessInSlices(batch, drain_slice_events, past_deadline))
            break;
    }
    FinishDrain(batch);
}

bool vppPlugin::ProcessInSlices(std::vector<vppEventQueue::Event> &batch, size_t slice_size,
                                const std::function<bool()> &stop)
{
    // Findings are merged per flow over the whole batch, so they wait for
    // its end, as when the batch is handled at once.
    std::vector<vppEventQueue::Event> findings, slice;
    size_t next = 0;
    while (next < batch.size()) {
        if (stop()) {
            KeepUnprocessed(batch, next, findings);
            return false;
        }
        slice.clear();
        while (next < batch.size() && slice.size() < slice_size) {
            vppEventQueue::Event &event = batch[next++];
            (event.type == vppEventQueue::Event::INTEL ? findings : slice).push_back(std::move(event));
        }
        ProcessBatch(slice);
    }
    batch.clear();
    ProcessBatch(findings);
    return true;
}

void vppPlugin::FinishDrain(std::vector<vppEventQueue::Event> &batch)
{
    // One last look at the queue, for the findings of the last slices.
    queue->Pop(batch, 0);
    std::vector<vppEventQueue::Event> findings;
    size_t not_evaluated = 0;
    for (auto &event : batch) {
        if (event.type == vppEventQueue::Event::INTEL)
            findings.push_back(std::move(event));
        else
            not_evaluated++;
    }
    batch.clear();
    ProcessBatch(findings);
    if (not_evaluated != 0)
        vd_printf("%s: stop: %zu queued flow(s) not evaluated\n", tag.c_str(), not_evaluated);
}

void vppPlugin::ReloadSafely()
{
    Guard([&] { Reload(); }, [&](const char *what) { vd_printf("%s: reload failed: %s\n", tag.c_str(), what); });
}

void vppPlugin::PollSafely()
{
    Guard([&] { PollSignatureFeeds(); },
          [&](const char *what) { vd_printf("%s: poll failed: %s\n", tag.c_str(), what); });
}

void vppPlugin::PollSignatureFeeds()
{
    // Only signature feeds follow the host's offer; a feed of that source
    // that is some other class has nothing to poll.
    for (const auto &[name, feed] : data_feeds) {
        if (feed->data_source != vppDataFeed::DataSource::velbor_api)
            continue;
        if (auto *signatures = dynamic_cast<vdfVelborAPI *>(feed.get()))
            signatures->Poll();
    }
}

void vppPlugin::ProcessBatch(std::vector<vppEventQueue::Event> &batch)
{
    TurnContext turn;
    turn.verbosity = vdGlobalConfig::GetInstance().verbosity;

    for (auto &event : batch) {
        if (event.type != vppEventQueue::Event::FLOW)
            continue;
        Guard([&] { StartLookups(event, turn); },
              [&](const char *what) {
                  vd_printf("%s: %s: event failed: %s\n", tag.c_str(), FlowId(event.flow).c_str(), what);
              });
    }

    IntelBatch intel;
    for (auto &event : batch) {
        if (event.type == vppEventQueue::Event::INTEL) {
            Guard([&] { CollectIntel(event, intel); },
                  [&](const char *what) {
                      vd_printf("%s: %s: event failed: %s\n", tag.c_str(), FlowId(event.flow).c_str(), what);
                  });
        } else {
            Evaluate(event, turn);
        }
    }
    batch.clear();

    for (auto &[flow, flow_intel] : intel.Flows()) {
        Guard([&, &flow = flow, &flow_intel = flow_intel] { OutputIntel(flow, flow_intel, turn); },
              [&, &flow = flow](const char *what) {
                  vd_printf("%s: %s: intel output failed: %s\n", tag.c_str(), FlowId(flow).c_str(), what);
              });
    }
}

void vppPlugin::StartLookups(vppEventQueue::Event &event, TurnContext &turn)
{
    const auto verdicts = turn.verdicts.Take(event, indicators, turn.verbosity >= 2);
    turn.feeds.clear();
    for (size_t position = 0; position < indicators.size(); position++) {
        const auto &[name, indicator] = indicators[position];
        // Counted whatever the filter says.
        indicator->stats.flows_evaluated.Add();
        if (!verdicts.Passed(position))
            continue;
        if (AnswerFromCache(name, *indicator, event, turn))
            continue;
        for (const auto &[feed_name, feed] : indicator->data_feeds)
            AddUnique(turn.feeds, feed.get());
    }
    // Each distinct feed once, however many indicators share it.
    for (vppDataFeed::Base *feed : turn.feeds)
        feed->LookupEventPush(event);
}

bool vppPlugin::AnswerFromCache(const std::string &name, vppIndicator::Base &indicator, vppEventQueue::Event &event,
                                const TurnContext &turn)
{
    if (!indicator.cache)
        return false;
    vppIntel::Entry entry;
    if (!indicator.cache->Lookup(event.flow, entry))
        return false;
    // A file kept from an indicator of another name (renamed, or sharing
    // the file) holds intel the worker would drop as unknown: evaluate anew.
    if (entry.indicator != name) {
        if (turn.verbosity >= 2) {
            vd_dprintf("%s: %s: cached intel of another indicator ignored: %s\n", name.c_str(),
                       FlowId(event.flow).c_str(), entry.indicator.c_str());
        }
        return false;
    }

    indicator.stats.cache_hit.Add();
    // Output on a later turn, merged and numbered like a fresh finding.
    queue->Push(vppEventQueue::Event(vppEventQueue::Event::INTEL, event.flow, entry));
    // Also skips the indicator for the cloud answers to this flow: the
    // feeds' lookups carry the mark.
    event.Write().cached_indicators.insert(name);
    if (turn.verbosity >= 2) {
        vd_dprintf("%s: %s: cache hit: %s\n", name.c_str(), FlowId(event.flow).c_str(),
                   vppIndicator::Base::GetEventName(event.event).c_str());
    }
    return true;
}

void vppPlugin::Evaluate(const vppEventQueue::Event &event, TurnContext &turn)
{
    if (event.type == vppEventQueue::Event::FLOW && turn.verbosity >= 3) {
        vd_dprintf("%s: %s: %s:\n", tag.c_str(), FlowId(event.flow).c_str(),
                   vppIndicator::Base::GetEventName(event.event).c_str());
        if (event.flow)
            event.flow->Print(4, tag);
    }

    // A cloud answer (LOOKUP) is filtered anew, against the flow as it is now.
    const auto verdicts =
        event.type == vppEventQueue::Event::FLOW ? turn.verdicts.Next(event) : vppWorker::FilterVerdicts::Span();
    const auto &cached = event.Read().cached_indicators;
    for (size_t position = 0; position < indicators.size(); position++) {
        const auto &[name, indicator] = indicators[position];
        if (!cached.empty() && cached.count(name) != 0)
            continue;
        Guard(
            [&, &name = name, &indicator = indicator] {
                if (Passes(*indicator, event, verdicts, position, turn.verbosity))
                    EvaluateWith(name, *indicator, event);
            },
            [&, &name = name](const char *what) {
                vd_printf("%s: %s: %s: evaluation failed: %s\n", tag.c_str(), name.c_str(), FlowId(event.flow).c_str(),
                          what);
            });
    }
}

void vppPlugin::EvaluateWith(const std::string &name, vppIndicator::Base &indicator, const vppEventQueue::Event &event)
{
    // Findings come back as INTEL events, in a later batch.
    auto own = std::make_shared<vppEventQueue::Event>(event.type, event, name);
    indicator.ProcessFlow(own);
}

void vppPlugin::CollectIntel(vppEventQueue::Event &event, IntelBatch &intel)
{
    vppEventQueue::Event::Details &details = event.Write();
    if (details.indicator.empty()) {
        vd_dprintf("%s: indicator in event must be set.\n", tag.c_str());
        return;
    }
    // Intel queued by an indicator that a reload removed is dropped; one of
    // the same tag in the new configuration adopts it with its own targets.
    auto found = indicators_by_tag.find(details.indicator);
    if (found == indicators_by_tag.end()) {
        vd_printf("%s: unknown indicator in event: %s\n", tag.c_str(), details.indicator.c_str());
        return;
    }
    const vppIndicator::Base &indicator = *found->second;

    vppIntel::Event flow_intel;
    flow_intel.entries = std::move(details.entries);
    flow_intel.proc_targets = std::move(details.proc_targets);
    flow_intel.proc_targets.insert(indicator.proc_targets.begin(), indicator.proc_targets.end());
    flow_intel.sink_targets = std::move(details.sink_targets);
    flow_intel.sink_targets.insert(indicator.sink_targets.begin(), indicator.sink_targets.end());
    intel.Merge(event.flow, std::move(flow_intel));
}

void vppPlugin::OutputIntel(const vdFlow::Ptr &flow, vppIntel::Event &intel, const TurnContext &turn)
{
    // Intel nobody receives gets no event id.
    if (!intel.HasTargets())
        return;

    const std::string flow_id = FlowId(flow);
    json payload = json::array();
    for (const auto &entry : intel.entries) {
        std::optional<uint64_t> id = entry ? NextEventId() : std::nullopt;
        if (!id)
            continue;
        entry->id = *id;
        if (turn.verbosity >= 1) {
            vd_dprintf("%s: %s: intel %lu: %s: score %u\n", entry->indicator.c_str(), flow_id.c_str(),
                       static_cast<unsigned long>(entry->id), entry->event.c_str(), entry->score);
        }
        json record;
        vppIntel::Entry::to_json(record, *entry, false);
        DispatchToProcessors(flow, intel, record);
        payload.push_back(std::move(record));
    }
    if (payload.empty())
        return;

    if (turn.verbosity >= 2) {
        std::string text;
        vd_json_to_string(payload, text, true);
        vd_dprintf("%s: %s: intel payload:\n%s\n", tag.c_str(), flow_id.c_str(), text.c_str());
    }
    DispatchToSinks(flow, intel, std::move(payload));
}

void vppPlugin::DispatchToProcessors(const vdFlow::Ptr &flow, const vppIntel::Event &intel, const json &record)
{
    if (intel.proc_targets.empty())
        return;
    std::shared_ptr<vdPluginManager> manager = vdInstance::GetInstance().plugin_manager;
    if (!manager)
        return;
    // One failing receiver does not keep the intel from the others.
    for (const auto &name : intel.proc_targets) {
        Guard([&] { manager->DispatchProcessorEvent(name, vdPluginProcessor::intel_record, flow, record); },
              [&](const char *what) {
                  vd_printf("%s: %s: intel output failed: %s: %s\n", tag.c_str(), FlowId(flow).c_str(), name.c_str(),
                            what);
              });
    }
}

void vppPlugin::DispatchToSinks(const vdFlow::Ptr &flow, const vppIntel::Event &intel, json payload)
{
    // Each flow metadata level is encoded once for all channels that use it.
    vppSink::FlowEnvelopes envelopes(std::move(payload), flow);
    for (const auto &name : intel.sink_targets) {
        auto target = sinks.find(name);
        if (target != sinks.end()) {
            for (const auto &[channel_name, channel] : target->second.channels)
                envelopes.Expect(channel.flow_metadata);
        }
    }

    for (const auto &name : intel.sink_targets) {
        auto target = sinks.find(name);
        if (target == sinks.end()) {
            vd_printf("%s: WARNING: sink not found: %s\n", tag.c_str(), name.c_str());
            continue;
        }
        const vppSink::Base &sink = target->second;
        for (const auto &[channel_name, channel] : sink.channels) {
            Guard([&, &channel = channel] { channel.Dispatch(sink.name, envelopes); },
                  [&, &channel_name = channel_name](const char *what) {
                      vd_printf("%s: %s: intel output failed: %s: %s: %s\n", tag.c_str(), FlowId(flow).c_str(),
                                name.c_str(), channel_name.c_str(), what);
                  });
        }
    }
}
