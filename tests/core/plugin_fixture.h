// Shared pieces of the plug-in tests: a host (global configuration, an
// instance whose plug-in manager records what the plug-in hands out), a
// state directory, captured log lines, and the plug-in loaded the way the
// host loads it.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/plugin.h"
#include "support/flow_builder.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "velbord.h"

// The plug-in object with its worker-side state open to the tests.
class PluginProbe : public vppPlugin
{
public:
    using vppPlugin::data_feeds;
    using vppPlugin::indicators;
    using vppPlugin::indicators_by_tag;
    using vppPlugin::last_event_id;
    using vppPlugin::queue;
    using vppPlugin::RunTurn;
    using vppPlugin::sinks;
    using vppPlugin::vppPlugin;
};

struct ProcessorRecord {
    std::string name;
    unsigned event = 0;
    std::string digest;
    json record;
};

struct SinkDelivery {
    std::string sink;
    std::set<std::string> channels;
    json payload;
    unsigned flags = 0;
};

// What the plug-in handed to other plug-ins, as the host's manager saw it.
class Deliveries
{
public:
    using Check = std::function<void(const ProcessorRecord &)>;

    void AddRecord(ProcessorRecord record)
    {
        Check check;
        {
            std::lock_guard<std::mutex> guard(lock);
            check = before_record;
        }
        // A receiver that throws: the record is not delivered.
        if (check)
            check(record);
        {
            std::lock_guard<std::mutex> guard(lock);
            records.push_back(std::move(record));
        }
        cond.notify_all();
    }

    void AddSink(SinkDelivery delivery)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            sinks.push_back(std::move(delivery));
        }
        cond.notify_all();
    }

    void BeforeRecord(Check check)
    {
        std::lock_guard<std::mutex> guard(lock);
        before_record = std::move(check);
    }

    // The records delivered so far once there are at least count, or, at
    // the deadline, what there is.
    std::vector<ProcessorRecord> WaitForRecords(size_t count,
                                                std::chrono::milliseconds deadline = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> guard(lock);
        cond.wait_for(guard, deadline, [&] { return records.size() >= count; });
        return records;
    }

    std::vector<ProcessorRecord> Records()
    {
        std::lock_guard<std::mutex> guard(lock);
        return records;
    }

    std::vector<ProcessorRecord> RecordsFor(const std::string &digest)
    {
        std::vector<ProcessorRecord> found;
        for (auto &record : Records()) {
            if (record.digest == digest)
                found.push_back(record);
        }
        return found;
    }

    std::vector<SinkDelivery> WaitForSinks(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> guard(lock);
        cond.wait_for(guard, deadline, [&] { return sinks.size() >= count; });
        return sinks;
    }

private:
    std::mutex lock;
    std::condition_variable cond;
    std::vector<ProcessorRecord> records;
    std::vector<SinkDelivery> sinks;
    Check before_record;
};

// A running host without a plug-in yet.
class PluginHostTest : public ::testing::Test
{
protected:
    PluginHostTest()
    {
        config.path_plugin_state = dir.Path("state");
        config.path_legacy_intel = dir.Path("legacy.json");
        dir.WriteFile("state/.keep", "");
        instance.plugin_manager = std::make_shared<vdPluginManager>();
        instance.plugin_manager->SetProcessorHandler([this](const std::string &name, vdPluginProcessor::Event code,
                                                            const vdFlow::Ptr &flow, const json &document) {
            out.AddRecord({name, static_cast<unsigned>(code), flow ? vd_xxh64_to_string(flow->digest) : "", document});
        });
        instance.plugin_manager->SetSinkHandler([this](const std::string &sink, const std::set<std::string> &channels,
                                                       const json &payload, vdFlags<vdPlugin::DispatchFlags> flags) {
            out.AddSink({sink, channels, payload, flags.value()});
        });
    }

    ~PluginHostTest() override
    {
        instance.plugin_manager->SetProcessorHandler(nullptr);
        instance.plugin_manager->SetSinkHandler(nullptr);
    }

    std::string ConfPath() const { return dir.Path("intel.json"); }
    std::string EventIdPath(const std::string &tag = "proc-intel") const
    {
        return config.path_plugin_state + "/" + tag + ".event-id";
    }
    void WriteConf(const std::string &text) const { dir.WriteFile("intel.json", text); }
    std::map<std::string, std::string> Params() const { return {{"conf_filename", ConfPath()}}; }

    static vdFlow::Ptr Flow(uint64_t digest, uint16_t other_port, uint8_t ip_protocol = 6)
    {
        return FlowBuilder()
            .Lower("192.0.2.10", 40000)
            .Upper("198.51.100.20", other_port)
            .Set([&](vdFlow &flow) {
                flow.digest = digest;
                flow.ip_protocol = ip_protocol;
                flow.lower_map = 1;
                flow.other_type = vdFlow::other_remote;
                flow.stats.total_bytes = 1000;
                flow.iface = std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan});
            })
            .Build();
    }

    TempDir dir;
    vdGlobalConfig config;
    vdInstance instance;
    LogCapture log;
    Deliveries out;
};

// The plug-in library opened once for the whole test program, as a host
// opens it; vdPluginInit looked up by name.
inline vdPluginInitFunction PluginInit()
{
    static void *handle = dlopen(PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        ADD_FAILURE() << "dlopen: " << dlerror();
        return nullptr;
    }
    return reinterpret_cast<vdPluginInitFunction>(dlsym(handle, "vdPluginInit"));
}

// Stops the plug-in the host's way: Terminate, then delete.
struct PluginStopper {
    void operator()(vdPlugin *plugin) const
    {
        plugin->Terminate();
        delete plugin;
    }
};
using LoadedPlugin = std::unique_ptr<vdPluginProcessor, PluginStopper>;

// A host that has loaded the library and runs one plug-in from it.
class LoadedPluginTest : public PluginHostTest
{
protected:
    ~LoadedPluginTest() override { plugin.reset(); }

    // Creates the plug-in with conf and starts its worker.
    void Start(const std::string &conf)
    {
        WriteConf(conf);
        plugin = Load();
        ASSERT_TRUE(plugin);
        plugin->Create();
    }

    LoadedPlugin Load(const std::string &tag = "proc-intel")
    {
        vdPluginInitFunction init = PluginInit();
        if (init == nullptr)
            return nullptr;
        vdPlugin *created = init(tag, Params());
        auto *processor = dynamic_cast<vdPluginProcessor *>(created);
        if (created != nullptr && processor == nullptr) {
            ADD_FAILURE() << "not a processor plug-in";
            delete created;
        }
        return LoadedPlugin(processor);
    }

    void Hand(const vdFlow::Ptr &flow, vdPluginProcessor::Event code = vdPluginProcessor::dpi_complete)
    {
        vdFlow::Ptr handed = flow;
        plugin->DispatchProcessorEvent(code, handed);
    }

    void RequestReload() { plugin->DispatchEvent(vdPlugin::reload, nullptr); }

    json Status()
    {
        json status;
        plugin->GetStatus(status);
        return status;
    }

    LoadedPlugin plugin;
};
