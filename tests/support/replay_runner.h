// Runs a program as a child process with arguments and standard input text,
// capturing its standard output, standard error and exit status. A child
// still running at the deadline is killed. A child may also be driven step
// by step: input in parts, signals while it runs, then collected.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
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

// The arguments that run the test plug-in with conf and its state in
// state_dir, followed by extra.
std::vector<std::string> TestPluginArguments(const std::string &conf, const std::string &state_dir,
                                             const std::vector<std::string> &extra = {});

// RunProgram on the replay host, velbord-replay.
ProcessResult RunReplay(const std::vector<std::string> &arguments, const std::string &input = std::string(),
                        std::chrono::milliseconds deadline = std::chrono::seconds(60));

// A child driven step by step. Its standard input stays open until
// CloseInput, so a child reading it waits for more. Every wait reads the
// child's standard error, and its standard output unless that is paused.
class ChildProcess
{
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // Throws std::runtime_error when the child cannot be started.
    ChildProcess(const std::string &program, const std::vector<std::string> &arguments);
    // Kills and reaps a child still running.
    ~ChildProcess();

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Until resumed, standard output is left unread: once the pipe is full
    // the child's next write waits.
    void PauseOutput(bool paused);
    // With output paused: waits until the unread output (nearly) fills the
    // pipe, so that the child's writes wait; false at the deadline.
    bool WaitForFullOutput(Deadline deadline);
    // Closes the reading end of standard output: the child's writes fail.
    void CloseOutput();

    // Writes all of text to standard input; false at the deadline or when
    // the child stopped reading.
    bool Write(const std::string &text, Deadline deadline);
    void CloseInput();

    // Reads until standard output (or error) holds text; false at the
    // deadline or when the stream ended without it.
    bool WaitForOutput(const std::string &text, Deadline deadline);
    bool WaitForError(const std::string &text, Deadline deadline);

    void Signal(int number);

    // The running child's peak resident memory in KiB (VmHWM), 0 when it
    // cannot be read. What wait4 reports would not do: a spawned child
    // starts with its parent's peak.
    long PeakResidentKib() const;

    // Reaps the child once it has exited, reading its streams meanwhile;
    // false at the deadline (the child keeps running).
    bool WaitForExit(Deadline deadline);

    // Reads both streams to their end and reaps the child; one still
    // running at the deadline is killed (timed_out is set). Standard input is
    // left as it is.
    ProcessResult Finish(Deadline deadline);

    const std::string &Out() const;
    const std::string &Err() const;

private:
    struct Streams;

    // One poll over the open streams; false at the deadline.
    bool Step(Deadline deadline, const std::string *input = nullptr, size_t *written = nullptr);
    bool WaitFor(bool in_error, const std::string &text, Deadline deadline);

    pid_t pid = -1;
    bool reaped = false;
    std::unique_ptr<Streams> streams;
};

// A ChildProcess of the replay host, velbord-replay.
std::unique_ptr<ChildProcess> StartReplay(const std::vector<std::string> &arguments);

// The deadline this far from now.
ChildProcess::Deadline DeadlineIn(std::chrono::milliseconds from_now);
