// The host's global state for one replay: configuration, instance, web API
// manager and plug-in manager, with payloads and log lines routed to the
// replay's writers.
#pragma once

#include <memory>

#include "api_data_reader.h"
#include "options.h"
#include "output.h"
#include "vd_api.h"
#include "vd_config.h"

class HostSetup
{
public:
    // Creates the state directory (throws std::runtime_error when it
    // cannot), then registers the global state. output and log must outlive
    // this object.
    HostSetup(const ReplayOptions &options, const vdVelborApiManager::Signatures &signatures,
              const BootstrapData &bootstrap, LineWriter &output, LineWriter &log);
    // Detaches the writers and restores the default log sink.
    ~HostSetup();

    HostSetup(const HostSetup &) = delete;
    HostSetup &operator=(const HostSetup &) = delete;

    vdVelborApiManager &ApiManager() { return *instance.api_manager; }

private:
    vdGlobalConfig config;
    vdInstance instance;
};
