// The plug-in's state files between and after runs: checked to load cleanly
// with the plug-in's own readers, and damaged on purpose before a restart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "soak/soak_log.h"
#include "vd_common.h"

struct StateCheck {
    uint64_t saved_event_id = 0;
    size_t cache_files = 0;    // intel cache files loaded
    size_t cache_records = 0;  // records they held
    size_t doh_lists = 0;      // DoH server lists loaded
    std::vector<std::string> problems;
};

// Loads the event-id file, every intel cache file and DoH server list the
// configuration names, as the plug-in would; a problem is any file that is
// missing, does not load cleanly (a log line from its reader), or an event
// id below last_id.
StateCheck CheckStateFiles(const std::string &event_id_path, const json &conf, uint64_t last_id, SoakLog &log);

// Damages every intel cache file (cut short, a record overwritten, junk
// appended, by turn) and DoH server list (a bad row) under dir; returns how
// many.
size_t DamageStateFiles(const std::string &dir);
