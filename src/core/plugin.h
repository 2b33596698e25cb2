// The plug-in object the host holds: it queues what the host hands in and
// runs everything else (configuration, evaluation, output) on its worker.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velbord.h"

#include "common/event_queue.h"
#include "common/intel_event.h"
#include "core/plugin_stats.h"
#include "core/sink.h"
#include "feeds/data_feed.h"
#include "indicators/indicator.h"

class vppPlugin : public vdPluginProcessor
{
public:
    using IndicatorPtr = std::shared_ptr<vppIndicator::Base>;
    using IndicatorList = std::vector<std::pair<std::string, IndicatorPtr>>;
    using DataFeedMap = std::unordered_map<std::string, std::shared_ptr<vppDataFeed::Base>>;

    // Throws vdException when conf_filename is empty or the host has no
    // global configuration. Reads nothing: the worker's first turn loads the
    // configuration.
    vppPlugin(const std::string &tag, const std::map<std::string, std::string> &params);
    // Stops and joins the worker, also when the host never called Terminate.
    ~vppPlugin() override;

    void *Entry() override;
    // Any thread: asks the worker to stop and wakes it at once from its wait
    // for flows. The worker then drains the queue for at most
    // drain_time_limit.
    void Terminate() override;

    // The longest a stop spends evaluating queued flows; those left are
    // counted in a log line. Findings of flows already evaluated are output.
    static constexpr std::chrono::seconds drain_time_limit{5};

    void GetLibrary(std::string &out) override;
    void GetName(std::string &out) override;
    void GetVersion(std::string &out) override;
    void GetStatus(json &out) override;
    void DisplayStatus(const json &) override {}
    void DispatchEvent(vdPlugin::Event event, void *) override;

    // Intel records of other processor plug-ins (the flow-and-document
    // overload) are ignored: the base's empty default stays.
    using vdPluginProcessor::DispatchProcessorEvent;
    void DispatchProcessorEvent(vdPluginProcessor::Event event, vdFlowMap *map) override;
    void DispatchProcessorEvent(vdPluginProcessor::Event event, vdFlow::Ptr &flow) override;
    void DispatchProcessorEvent(vdPluginProcessor::Event,
                                std::map<std::string, std::shared_ptr<vdInterface>> *) override
    {
    }
    void DispatchProcessorEvent(vdPluginProcessor::Event, const std::string &, vdPacketStats *) override {}
    void DispatchProcessorEvent(vdPluginProcessor::Event, vdPacketStats *) override {}
    void DispatchProcessorEvent(vdPluginProcessor::Event, vdInstanceStatus *) override {}
    void DispatchProcessorEvent(vdPluginProcessor::Event event) override;

    // Worker-thread operations.
    //
    // Re-reads the configuration file; reports every failure itself.
    void Reload();
    // Builds sink targets, data feeds and indicators from a parsed document;
    // throws on the first error.
    void LoadConfig(const json &config);
    // Replaces the data feeds; throws on the first error.
    void LoadDataFeeds(const json &feeds);
    void ClearIndicators();
    // The larger of the saved id and a clock-based seed; a saved id with
    // less than one reservation left before the largest id is not used.
    // Never throws.
    void LoadEventId();
    // Saves the last id handed out (at a reload and an orderly stop); the
    // next id then starts a new reservation. Never throws; failures are
    // logged.
    void SaveEventId();
    // The id for the next intel entry; nothing once the largest id has been
    // handed out (ids never wrap). Before handing out an id beyond the saved
    // reservation it saves a new one, so that after a crash numbering goes
    // on above every id handed out.
    std::optional<uint64_t> NextEventId();

    // Ids reserved in the state file at a time: a crash skips at most this
    // many, and the file is written once per this many ids.
    static constexpr uint64_t event_id_reservation = 4096;

    // Writes the statistics document; the caller holds lock.
    void GetStats(json &out);

    static constexpr const char *library_name = "velbor-proc-intel";
    static constexpr const char *plugin_name = "Velbor Processor Plugin Intel";
    static constexpr const char *plugin_version = "1.2.36";

protected:
    class IntelBatch;
    struct TurnContext;

    // A turn stopped by Terminate leaves what it did not evaluate in batch.
    void RunTurn(std::vector<vppEventQueue::Event> &batch);
    void RunTurnSafely(std::vector<vppEventQueue::Event> &batch);
    // Handles batch (left by the last turn) and what is queued, without
    // waiting (after a pending reload), so that flows handed in and the
    // findings of the last evaluated ones are not lost at a stop; bounded by
    // drain_time_limit.
    void DrainQueue(std::vector<vppEventQueue::Event> &batch);
    // Evaluates the batch's flows slice_size events at a time, then outputs
    // its findings together, as one batch. False when stop() ended it
    // between slices: what was not handled stays in batch.
    bool ProcessInSlices(std::vector<vppEventQueue::Event> &batch, size_t slice_size,
                         const std::function<bool()> &stop);
    // The end of a stop: outputs the findings in batch and the queue, and
    // logs how many flows were left unevaluated.
    void FinishDrain(std::vector<vppEventQueue::Event> &batch);
    void ReloadSafely();
    void PollSafely();
    void PollSignatureFeeds();
    void ProcessBatch(std::vector<vppEventQueue::Event> &batch);

    // First phase: counts the evaluation, answers indicators from their
    // caches and starts the feeds' lookups for the others.
    void StartLookups(vppEventQueue::Event &event, TurnContext &turn);
    // Queues the indicator's cached intel for the event's flow and marks the
    // event so that the indicator is skipped for it; false on a miss.
    bool AnswerFromCache(const std::string &name, vppIndicator::Base &indicator, vppEventQueue::Event &event,
                         const TurnContext &turn);
    // Second phase: each indicator that passes its filter (the verdict of
    // the first phase on a FLOW event) runs on its own copy of the event.
    void Evaluate(const vppEventQueue::Event &event, TurnContext &turn);
    void EvaluateWith(const std::string &tag, vppIndicator::Base &indicator, const vppEventQueue::Event &event);
    void CollectIntel(vppEventQueue::Event &event, IntelBatch &intel);
    // Numbers the flow's entries and hands them to its targets.
    void OutputIntel(const vdFlow::Ptr &flow, vppIntel::Event &intel, const TurnContext &turn);
    void DispatchToProcessors(const vdFlow::Ptr &flow, const vppIntel::Event &intel, const json &record);
    void DispatchToSinks(const vdFlow::Ptr &flow, const vppIntel::Event &intel, json payload);

    std::shared_ptr<vppDataFeed::Base> CreateDataFeed(const std::string &key, const json &conf);
    IndicatorPtr CreateIndicator(const std::string &key, const json &conf, const json &defaults, unsigned ordinal);
    void AttachDataFeeds(const std::string &key, vppIndicator::Base &indicator, const json &feed_list);
    // Saves value as the event-id file's content; false (logged) on failure.
    bool WriteEventIdFile(uint64_t value);

    std::atomic<bool> reload_pending{true};
    // Guards the replacement of indicators against status reads.
    std::mutex lock;
    std::unique_ptr<vppStats::PluginStats> stats;
    std::shared_ptr<vppEventQueue::Queue> queue;
    vppSink::Targets sinks;
    // Ascending priority; equal priorities in tag order.
    IndicatorList indicators;
    std::map<std::string, IndicatorPtr> indicators_by_tag;
    uint64_t last_event_id = 0;
    // No id up to this one is handed out again after a restart: the state
    // file holds it or more.
    uint64_t reserved_event_id = 0;
    bool event_ids_exhausted = false;
    std::string event_id_path;
    DataFeedMap data_feeds;
    std::string data_path;
    std::atomic<bool> poll_pending{false};
};
