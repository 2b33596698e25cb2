// The host of the soak: its global configuration and instance, the plug-in
// library opened with dlopen as a host opens it, and the receivers of what
// the plug-in hands out (processor records to the ledger, sink payloads
// counted).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "soak/intel_ledger.h"
#include "vd_api.h"
#include "vd_config.h"
#include "vd_plugin.h"

class SoakHost
{
public:
    // The processor plug-in every indicator sends its intel to.
    static constexpr const char *audit_target = "audit";
    static constexpr const char *plugin_tag = "proc-intel";

    // state_root holds the plug-in state, persistent variables and the
    // configuration file.
    SoakHost(const std::string &state_root, IntelLedger &ledger, uint8_t verbosity);
    ~SoakHost();

    std::string ConfPath() const { return root + "/intel.json"; }
    std::string PersistentPath() const { return root + "/persistent"; }
    std::string EventIdPath() const { return config.path_plugin_state + "/" + plugin_tag + ".event-id"; }

    // Creates the plug-in and starts its worker; throws std::runtime_error
    // when the library or the plug-in cannot be had.
    vdPluginProcessor &Start();
    // The plug-in Start made; the host stops it with Terminate, then Delete.
    vdPluginProcessor &Plugin() { return *plugin; }
    void Delete();

    std::shared_ptr<vdVelborApiManager> Api() const { return instance.api_manager; }
    uint64_t SinkPayloads() const { return sink_payloads.load(); }
    uint64_t Records() const { return records.load(); }

private:
    void OnRecord(const std::string &name, const vdFlow::Ptr &flow, const json &document);

    const std::string root;
    IntelLedger &ledger;
    std::map<std::string, size_t> stable_index;
    vdGlobalConfig config;
    vdInstance instance;
    vdPluginProcessor *plugin = nullptr;
    std::atomic<uint64_t> sink_payloads{0};
    std::atomic<uint64_t> records{0};
};
