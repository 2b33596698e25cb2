// The replay host's command line.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

struct ReplayOptions {
    std::string plugin_path;
    std::string conf_path;
    std::string events_path;  // empty or "-": standard input
    std::string state_dir = "./state";
    std::string legacy_intel_path;
    std::string signatures_path;
    std::string bootstrap_path;
    std::map<std::string, std::string> variables;
    uint8_t verbosity = 0;
    bool debug = false;
    uint8_t plugin_type = 1;  // vdPlugin::type_processor
    std::string tag = "proc-intel";
    std::string output_path;  // empty: standard output
    std::string log_path;     // empty: standard error
    double linger_seconds = 2;
    bool help = false;
};

class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError for an unknown option, a missing or bad value, or a
// missing --plugin or --conf (unless --help is given).
ReplayOptions ParseOptions(int argc, const char *const argv[]);

const char *UsageText();
