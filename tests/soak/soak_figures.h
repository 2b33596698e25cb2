// The figures of a soak, the checks they must pass, and the block printed
// at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "soak/config_storm.h"
#include "soak/fault_services.h"
#include "soak/flow_traffic.h"
#include "soak/intel_ledger.h"
#include "soak/state_files.h"

struct RunFigures {
    double seconds = 0;
    uint64_t first_id = 0;
    uint64_t last_id = 0;
    std::chrono::milliseconds stop{0};
    StateCheck state;
};

struct SoakFigures {
    std::vector<RunFigures> runs;
    FlowTraffic::Figures flows;
    ConfigStorm::Figures storm;
    FaultRotation::Figures network;
    IntelLedger::Figures intel;
    size_t configurations_loaded = 0;
    size_t damaged_files = 0;
    uint64_t status_requests = 0;
    uint64_t status_malformed = 0;
    uint64_t sink_payloads = 0;
    size_t log_lines = 0;
    // Log lines saying an exception reached a guard in the plug-in, by phrase.
    std::map<std::string, size_t> guarded_failures;
    // Other lines worth a count: the plug-in reporting the faults it met.
    std::map<std::string, size_t> noted;
    uint64_t peak_rss = 0;
    uint64_t max_rss = 0;
};

// One line per failed check; empty when the soak passed.
std::vector<std::string> FailedChecks(const SoakFigures &figures);

void PrintFigures(const SoakFigures &figures, std::FILE *out);
