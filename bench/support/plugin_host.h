// A host for end-to-end benchmarks: the plug-in loaded on a configuration
// text in a scratch state directory, a processor capture that counts the
// records it receives and a sink that takes payloads and drops them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/plugin.h"

class BenchPluginHost
{
public:
    explicit BenchPluginHost(const std::string &configuration);
    ~BenchPluginHost();

    BenchPluginHost(const BenchPluginHost &) = delete;
    BenchPluginHost &operator=(const BenchPluginHost &) = delete;

    void Hand(vdFlow::Ptr &flow) { plugin->DispatchProcessorEvent(vdPluginProcessor::dpi_complete, flow); }
    // Until the capture has received count records in all.
    void WaitForRecords(uint64_t count);

private:
    std::string dir;
    vdGlobalConfig config;
    vdInstance instance;
    std::mutex lock;
    std::condition_variable cond;
    uint64_t records = 0;
    std::unique_ptr<vppPlugin> plugin;
};
