// What every fuzz target shares: a host whose state paths lie in a scratch
// directory, a log that formats every line (debug ones too) but keeps none,
// the input written as a file for the readers, and sample flows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vd_config.h"
#include "vd_flow.h"

namespace vppFuzz {

// The host of one fuzzing process, set up on first use: global configuration
// (state paths and variables inside the scratch directory), an instance with
// an API manager, debug logging on. The working directory is the scratch
// directory, so that relative paths in an input land there; it is removed at
// exit. FUZZ_LOG=1 prints the log lines to standard error.
class Host
{
public:
    static Host &Get();

    // The path of name inside the scratch directory.
    std::string Path(const std::string &name) const;
    // Replaces the file at path with the bytes given; aborts when it cannot,
    // as a target whose input never reaches the reader tests nothing.
    void WriteFile(const std::string &path, const uint8_t *data, size_t size) const;
    void WriteFile(const std::string &path, const std::string &text) const;

    vdGlobalConfig config;
    vdInstance instance;

private:
    Host();
    ~Host();

    std::string scratch;
};

// A flow from the replay host's JSON form; aborts on a bad sample.
vdFlow::Ptr FlowFromJson(const std::string &text);
// Flows that reach every lookup kind: IPv4 and IPv6, a TLS server name, a
// detected application and protocol, TLS version and cipher, risks, a flow
// with a digest history.
std::vector<vdFlow::Ptr> SampleFlows();

// For targets whose input names files the code under test writes: aborts
// unless the root file system is read-only to this process, as scripts/fuzz
// runs every target (a private mount namespace where only the run's own
// directory is writable). FUZZ_UNCONFINED=1 skips the check.
void RequireConfinedWrites(const char *target);

}  // namespace vppFuzz
