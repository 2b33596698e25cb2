// The encrypted-DNS prober (driver doh_scanner): finds DNS-over-HTTPS servers
// among the TLS servers the network talks to by probing each one once, on a
// thread of its own, and keeps the verdicts in two bounded server lists.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "indicators/drivers/doh/probe.h"
#include "indicators/drivers/doh/server_lists.h"
#include "indicators/indicator.h"

class vpiDOHScanner : public vppIndicator::Base
{
public:
    // The driver's own keys, read once from the indicator's object.
    struct Settings {
        std::string query = "example.com";
        std::vector<std::string> routes{"dns-query"};
        long timeout = 5;  // seconds, vpiDOHProbe::min_timeout..max_timeout
        uint32_t cache_size_positive = 1000;
        uint32_t cache_size_negative = 10000;
        uint32_t max_queue = 1000;
        std::string cache_path_positive = "${path_state_persistent}/doh-positive.csv";
        std::string cache_path_negative = "${path_state_persistent}/doh-negative.csv";

        // A key of another type keeps its default; an out-of-range timeout
        // is brought into range with a line saying so. Throws vdException
        // for a bad route and without a host configuration (the paths'
        // variables).
        static Settings Read(const std::string &tag, const json &conf);
    };

    // One server waiting for the prober thread.
    struct Request {
        std::shared_ptr<vppEventQueue::Event> event;  // its flow handle cleared
        std::weak_ptr<vdFlow> flow;                   // the intel's flow, if it still exists
        vpiDOHScannerFlowCacheEntry entry;
        std::string host;  // the flow's server name when plain, else empty
    };

    static constexpr time_t drop_report_interval = 60;

    // Reads the configuration and builds the probe query; no list, no thread.
    vpiDOHScanner(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority,
                  const json &conf, const json &defaults);
    // Stops and joins the prober thread, then saves both lists.
    ~vpiDOHScanner() override;

    // Builds the indicator, loads both lists and starts the prober thread.
    static std::shared_ptr<vpiDOHScanner> Create(const std::shared_ptr<vppEventQueue::Queue> &queue,
                                                 const std::string &tag, unsigned ordinal, const json &conf,
                                                 const json &defaults);

    // Threads: the worker. Never waits on the network: for a TLS flow to a
    // server not judged yet, queues one probe request per server; a server
    // already listed counts a cache hit. Intel comes from the prober thread.
    void ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev) override;

    // Servers queued or being probed.
    size_t PendingServers() const;
    // Flows not queued since the last drop report.
    uint64_t Dropped() const { return dropped.load(); }
    // Null until Create has made them. Locked lists: usable from any thread.
    vpiDOHScannerFlowCache *Positive() { return positive.get(); }
    vpiDOHScannerDigestCache *Negative() { return negative.get(); }

    const Settings settings;

private:
    bool IsListed(vdDigest digest);
    void Enqueue(Request &&request, std::shared_ptr<vppEventQueue::Event> &ev);

    // Prober thread.
    void Entry();
    void RunBatch();
    void HandleSafely(Request &request);
    // Whether the probe came to a verdict.
    bool Handle(Request &request);
    void ReportDetection(Request &request);
    // "address:port", IPv6 in brackets, for the prober's lines.
    static std::string ServerText(const Request &request);
    void Unpend(vdDigest digest);
    void LogDropped();

    const std::vector<uint8_t> query;
    std::deque<Request> pending;
    std::unordered_set<vdDigest> pending_servers;
    mutable std::mutex pending_lock;
    std::condition_variable pending_cond;
    std::atomic<uint64_t> dropped{0};
    std::optional<time_t> last_drop_report;  // prober thread only
    std::atomic<bool> terminate{false};
    std::unique_ptr<vpiDOHScannerFlowCache> positive;
    std::unique_ptr<vpiDOHScannerDigestCache> negative;
    vpiDOHProbe probe;  // prober thread only
    std::thread prober_thread;
};
