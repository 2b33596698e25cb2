#include "support/plugin_host.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

BenchPluginHost::BenchPluginHost(const std::string &configuration)
{
    char pattern[] = "/tmp/plugin-bench-XXXXXX";
    dir = mkdtemp(pattern);
    std::ofstream(dir + "/intel.json") << configuration;
    config.path_plugin_state = dir;
    vd_log_set_sink([](vdLogLevel, const std::string &) {});
    instance.plugin_manager = std::make_shared<vdPluginManager>();
    instance.plugin_manager->SetProcessorHandler(
        [this](const std::string &, vdPluginProcessor::Event, const vdFlow::Ptr &, const json &) {
            std::lock_guard<std::mutex> guard(lock);
            records++;
            cond.notify_all();
        });
    instance.plugin_manager->SetSinkHandler(
        [](const std::string &, const std::set<std::string> &, const json &payload, vdFlags<vdPlugin::DispatchFlags>) {
            benchmark::DoNotOptimize(payload);
        });
    plugin = std::make_unique<vppPlugin>("bench",
                                         std::map<std::string, std::string>{{"conf_filename", dir + "/intel.json"}});
    plugin->Create();
}

BenchPluginHost::~BenchPluginHost()
{
    plugin->Terminate();
    plugin.reset();
    instance.plugin_manager->SetProcessorHandler(nullptr);
    instance.plugin_manager->SetSinkHandler(nullptr);
    vd_log_set_sink(nullptr);
    std::filesystem::remove_all(dir);
}

void BenchPluginHost::WaitForRecords(uint64_t count)
{
    std::unique_lock<std::mutex> guard(lock);
    cond.wait(guard, [&] { return records >= count; });
}
