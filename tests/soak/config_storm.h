// The reload storm: rewrites the plug-in's configuration (churning
// indicators added, removed and renamed around the stable ones; files that
// do not parse; now and then one that parses but is invalid, which disables
// every indicator) and the host's signature offer (sets offered, changed,
// withdrawn, broken, missing), asking for a reload or a poll each time.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "soak/fault_services.h"
#include "soak/flow_traffic.h"
#include "soak/intel_ledger.h"
#include "soak/soak_log.h"
#include "vd_api.h"
#include "vd_common.h"
#include "vd_plugin.h"

// Log phrases the storm waits for.
inline constexpr const char *ready_phrase = "intel ready to process";
inline constexpr const char *disabled_phrase = "indicators disabled until the next reload.";

enum class SignatureChange : uint8_t { offered, stamp, definition, withdrawn, broken, missing };
inline constexpr size_t signature_changes = 6;
const char *SignatureChangeName(SignatureChange change);

class ConfigStorm
{
public:
    struct Paths {
        std::string conf;              // the configuration file
        std::string state_persistent;  // ${path_state_persistent}
        std::string sets;              // where signature data files go
    };

    ConfigStorm(Paths paths, vdVelborApiManager &api, SoakLog &log, IntelLedger &ledger, HandInGate &gate,
                uint64_t seed);
    ~ConfigStorm();

    // Writes a configuration that loads, with every stable indicator and a
    // fresh choice of the others (complete: every kind of them); returns it.
    json WriteGood(bool complete = false);
    // The last configuration written that loads.
    json LastGood() const;

    void Start(vdPluginProcessor &plugin);
    void Stop();

    struct Figures {
        uint64_t reloads = 0;
        uint64_t unparseable = 0;
        uint64_t invalid = 0;
        uint64_t polls = 0;
        std::array<uint64_t, signature_changes> signatures{};
        // Waits of the invalid-configuration window that ran out.
        uint64_t timeouts = 0;
    };
    Figures Counts() const;

private:
    void Run();
    void Step();
    void Reload();
    void Poll();
    void WriteUnparseable();
    void InvalidWindow();
    void ChangeSignature();
    json Generate(bool complete = false);
    json StableIndicatorsConf() const;
    void AddChurn(json &indicators, bool complete);
    void AtomicWrite(const std::string &path, const std::string &text) const;

    const Paths paths;
    vdVelborApiManager &api;
    SoakLog &log;
    IntelLedger &ledger;
    HandInGate &gate;
    std::mt19937_64 random;
    uint64_t generation = 0;
    uint64_t steps = 0;
    vdVelborApiManager::Signatures offered;
    uint64_t stamp = 1;

    vdPluginProcessor *plugin = nullptr;
    std::thread thread;
    mutable std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    json last_good;
    Figures figures;
};
