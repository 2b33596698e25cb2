// The soak program's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct SoakOptions {
    double seconds = 60;            // both runs together
    double flows_per_second = 20000;
    uint64_t backlog = 5000;        // owed intel entries in flight
    uint64_t seed = 1;
    uint64_t max_rss_mib = 0;       // 0: the build's default bound
    bool echo_log = false;
    uint8_t verbosity = 0;          // the plug-in's; debug lines from 1 on

    // The options, or nullopt after printing the usage (exit status in
    // status: 0 for --help, 2 for a bad command line).
    static std::optional<SoakOptions> Parse(int argc, char **argv, int &status);
};
