// Runs a program as a child process with arguments and standard input text,
// capturing its standard output, standard error and exit status. A child
// still running at the deadline is killed.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "vd_common.h"

struct ProcessResult {
    int exit_status = -1;  // the exit code; -1 when a signal ended the child
    int signal = 0;        // the signal that ended the child, else 0
    bool timed_out = false;
    std::string out;
    std::string err;

    // Standard output as JSON documents, one a line (blank lines skipped);
    // a line that is not JSON fails the running test.
    std::vector<json> OutputLines() const;
    // "exit 2, stderr: ..." for failure messages.
    std::string Describe() const;
};

// One JSON document a line; a line that is not JSON fails the running test.
std::vector<json> ParseJsonLines(const std::string &text);
// The output lines that hold the given key ("sink", "processor", "status").
std::vector<json> LinesWith(const std::vector<json> &lines, const std::string &key);

// Throws std::runtime_error when the child cannot be started.
ProcessResult RunProgram(const std::string &program, const std::vector<std::string> &arguments,
                         const std::string &input = std::string(),
                         std::chrono::milliseconds deadline = std::chrono::seconds(60));

// RunProgram on the replay host, velbord-replay.
ProcessResult RunReplay(const std::vector<std::string> &arguments, const std::string &input = std::string(),
                        std::chrono::milliseconds deadline = std::chrono::seconds(60));
