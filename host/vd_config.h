// The host's global state: its configuration and its instance.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "vd_common.h"

enum class vdGlobalFlags : uint64_t {
    none = 0,
    pretty_json = 0x1,
    debug_curl = 0x2,
    debug = 0x4,
    dhc_enabled = 0x1000,
    fhc_enabled = 0x2000,
};

// One per process while a host runs: the host creates it, then destroys it.
class vdGlobalConfig
{
public:
    // Registers this object as the instance; throws when one exists already.
    vdGlobalConfig();
    ~vdGlobalConfig();

    vdGlobalConfig(const vdGlobalConfig &) = delete;
    vdGlobalConfig &operator=(const vdGlobalConfig &) = delete;

    // Throws vdException "%s: instance not found" while none exists.
    static vdGlobalConfig &GetInstance();
    static bool HasInstance();

    std::string path_plugin_state;
    std::string path_legacy_intel;
    std::string path_state_persistent;
    uint8_t verbosity = 0;
    vdFlags<vdGlobalFlags> flags;
    std::map<std::string, std::string> variables;
};

class vdVelborApiManager;
class vdPluginManager;

class vdInstance
{
public:
    vdInstance();
    ~vdInstance();

    vdInstance(const vdInstance &) = delete;
    vdInstance &operator=(const vdInstance &) = delete;

    // Throws vdException "%s: instance not found" while none exists.
    static vdInstance &GetInstance();
    static bool HasInstance();

    std::shared_ptr<vdVelborApiManager> api_manager;
    std::shared_ptr<vdPluginManager> plugin_manager;
};
