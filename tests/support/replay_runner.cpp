#include "support/replay_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

class Fd
{
public:
    Fd() = default;
    ~Fd() { Close(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    void Reset(int new_fd)
    {
        Close();
        fd = new_fd;
    }
    int Get() const { return fd; }
    bool IsOpen() const { return fd >= 0; }
    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

struct Pipe {
    Fd read_end;
    Fd write_end;

    Pipe()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        read_end.Reset(fds[0]);
        write_end.Reset(fds[1]);
    }
};

// A child that stops reading must not kill the test with SIGPIPE; the child
// gets the default disposition back when spawned.
void IgnoreSigpipe()
{
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

class SpawnSetup
{
public:
    SpawnSetup(int stdin_fd, int stdout_fd, int stderr_fd)
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, stderr_fd, STDERR_FILENO);
        posix_spawnattr_init(&attributes);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        sigaddset(&signals, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

pid_t Spawn(const std::string &program, const std::vector<std::string> &arguments, const SpawnSetup &setup)
{
    std::vector<std::string> strings{program};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &text : strings)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    if (error != 0)
        throw std::runtime_error(program + ": cannot start: " + std::strerror(error));
    return pid;
}

int MillisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Appends what is there to text; closes fd at the end of the stream.
void Drain(Fd &fd, std::string &text)
{
    char buffer[65536];
    ssize_t got = read(fd.Get(), buffer, sizeof(buffer));
    if (got > 0)
        text.append(buffer, static_cast<size_t>(got));
    else if (got == 0 || (errno != EINTR && errno != EAGAIN))
        fd.Close();
}

// Writes what the pipe takes; closes fd when all is written or the child
// stopped reading.
void Feed(Fd &fd, const std::string &input, size_t &written)
{
    ssize_t put = write(fd.Get(), input.data() + written, input.size() - written);
    if (put > 0)
        written += static_cast<size_t>(put);
    else if (errno != EINTR && errno != EAGAIN)
        fd.Close();
    if (written == input.size())
        fd.Close();
}

// Exchanges data with the child until it closes its output or the deadline
// passes; false on the deadline.
bool Exchange(Fd &input_fd, Fd &out_fd, Fd &err_fd, const std::string &input, ProcessResult &result,
              Clock::time_point deadline)
{
    size_t written = 0;
    if (input.empty())
        input_fd.Close();
    else
        fcntl(input_fd.Get(), F_SETFL, fcntl(input_fd.Get(), F_GETFL) | O_NONBLOCK);

    while (out_fd.IsOpen() || err_fd.IsOpen()) {
        pollfd fds[3] = {{input_fd.Get(), POLLOUT, 0}, {out_fd.Get(), POLLIN, 0}, {err_fd.Get(), POLLIN, 0}};
        int ready = poll(fds, 3, MillisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR)
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        if (ready == 0)
            return false;
        if (fds[0].revents)
            Feed(input_fd, input, written);
        if (fds[1].revents)
            Drain(out_fd, result.out);
        if (fds[2].revents)
            Drain(err_fd, result.err);
    }
    return true;
}

void RecordStatus(int status, ProcessResult &result)
{
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
}

// Reaps the child, killing it at the deadline; false when it was killed.
bool Reap(pid_t pid, ProcessResult &result, Clock::time_point deadline)
{
    bool killed = false;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (!killed && Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            killed = true;
        } else if (!killed) {
            poll(nullptr, 0, 10);
        }
    }
    RecordStatus(status, result);
    return !killed;
}

}  // namespace

std::vector<json> ParseJsonLines(const std::string &text)
{
    std::vector<json> documents;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty())
            continue;
        json document = json::parse(line, nullptr, false);
        if (document.is_discarded())
            ADD_FAILURE() << "not a JSON line: " << line;
        else
            documents.push_back(std::move(document));
    }
    return documents;
}

std::vector<json> ProcessResult::OutputLines() const
{
    return ParseJsonLines(out);
}

std::string ProcessResult::Describe() const
{
    std::string text = signal ? "signal " + std::to_string(signal) : "exit " + std::to_string(exit_status);
    if (timed_out)
        text += " (killed at the deadline)";
    return text + ", stderr: " + err;
}

ProcessResult RunProgram(const std::string &program, const std::vector<std::string> &arguments,
                         const std::string &input, std::chrono::milliseconds deadline)
{
    IgnoreSigpipe();
    auto until = Clock::now() + deadline;
    Pipe input_pipe, out_pipe, err_pipe;
    pid_t pid;
    {
        SpawnSetup setup(input_pipe.read_end.Get(), out_pipe.write_end.Get(), err_pipe.write_end.Get());
        pid = Spawn(program, arguments, setup);
    }
    input_pipe.read_end.Close();
    out_pipe.write_end.Close();
    err_pipe.write_end.Close();

    ProcessResult result;
    bool finished = Exchange(input_pipe.write_end, out_pipe.read_end, err_pipe.read_end, input, result, until);
    if (!finished)
        kill(pid, SIGKILL);
    bool reaped = Reap(pid, result, until);
    result.timed_out = !finished || !reaped;
    return result;
}

ProcessResult RunReplay(const std::vector<std::string> &arguments, const std::string &input,
                        std::chrono::milliseconds deadline)
{
    return RunProgram(REPLAY_PROGRAM, arguments, input, deadline);
}

std::vector<json> LinesWith(const std::vector<json> &lines, const std::string &key)
{
    std::vector<json> found;
    for (const auto &line : lines) {
        if (line.contains(key))
            found.push_back(line);
    }
    return found;
}

struct ChildProcess::Streams {
    Fd input;
    Fd out;
    Fd err;
    bool output_paused = false;
    ProcessResult result;
};

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments)
    : streams(std::make_unique<Streams>())
{
    IgnoreSigpipe();
    Pipe input_pipe, out_pipe, err_pipe;
    {
        SpawnSetup setup(input_pipe.read_end.Get(), out_pipe.write_end.Get(), err_pipe.write_end.Get());
        pid = Spawn(program, arguments, setup);
    }
    // The pipes' own descriptors close with them.
    streams->input.Reset(fcntl(input_pipe.write_end.Get(), F_DUPFD_CLOEXEC, 0));
    streams->out.Reset(fcntl(out_pipe.read_end.Get(), F_DUPFD_CLOEXEC, 0));
    streams->err.Reset(fcntl(err_pipe.read_end.Get(), F_DUPFD_CLOEXEC, 0));
    fcntl(streams->input.Get(), F_SETFL, fcntl(streams->input.Get(), F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess()
{
    if (reaped)
        return;
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void ChildProcess::PauseOutput(bool paused)
{
    streams->output_paused = paused;
}

bool ChildProcess::WaitForFullOutput(Deadline deadline)
{
    // A pipe fills page by page and a write may start a page of its own:
    // within two pages of its size it takes no more.
    constexpr int slack = 2 * 4096;
    const int capacity = fcntl(streams->out.Get(), F_GETPIPE_SZ);
    if (capacity <= 0)
        return false;
    for (;;) {
        int unread = 0;
        if (ioctl(streams->out.Get(), FIONREAD, &unread) != 0)
            return false;
        if (unread > capacity - slack)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        // Nothing to wait on: the pipe's fill level has no event of its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ChildProcess::CloseOutput()
{
    streams->out.Close();
}

void ChildProcess::CloseInput()
{
    streams->input.Close();
}

bool ChildProcess::Step(Deadline deadline, const std::string *input, size_t *written)
{
    const bool feeding = input && streams->input.IsOpen();
    const bool reading_out = streams->out.IsOpen() && !streams->output_paused;
    pollfd fds[3] = {{feeding ? streams->input.Get() : -1, POLLOUT, 0},
                     {reading_out ? streams->out.Get() : -1, POLLIN, 0},
                     {streams->err.Get(), POLLIN, 0}};
    int ready = poll(fds, 3, MillisecondsUntil(deadline));
    if (ready < 0 && errno != EINTR)
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    if (ready == 0)
        return false;
    if (fds[0].revents) {
        ssize_t put = write(streams->input.Get(), input->data() + *written, input->size() - *written);
        if (put > 0)
            *written += static_cast<size_t>(put);
        else if (errno != EINTR && errno != EAGAIN)
            streams->input.Close();
    }
    if (fds[1].revents)
        Drain(streams->out, streams->result.out);
    if (fds[2].revents)
        Drain(streams->err, streams->result.err);
    return true;
}

bool ChildProcess::Write(const std::string &text, Deadline deadline)
{
    size_t written = 0;
    while (written < text.size() && streams->input.IsOpen()) {
        if (!Step(deadline, &text, &written))
            return false;
    }
    return written == text.size();
}

bool ChildProcess::WaitFor(bool in_error, const std::string &text, Deadline deadline)
{
    const Fd &stream = in_error ? streams->err : streams->out;
    const std::string &stream_text = in_error ? streams->result.err : streams->result.out;
    while (stream_text.find(text) == std::string::npos) {
        if (!stream.IsOpen() || !Step(deadline))
            return false;
    }
    return true;
}

bool ChildProcess::WaitForOutput(const std::string &text, Deadline deadline)
{
    return WaitFor(false, text, deadline);
}

bool ChildProcess::WaitForError(const std::string &text, Deadline deadline)
{
    return WaitFor(true, text, deadline);
}

void ChildProcess::Signal(int number)
{
    if (!reaped)
        kill(pid, number);
}

long ChildProcess::PeakResidentKib() const
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string field;
    while (status >> field) {
        long kib = 0;
        if (field == "VmHWM:" && status >> kib)
            return kib;
    }
    return 0;
}

bool ChildProcess::WaitForExit(Deadline deadline)
{
    constexpr auto poll_interval = std::chrono::milliseconds(10);
    while (!reaped) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (done == pid) {
            RecordStatus(status, streams->result);
            reaped = true;
        } else if (Clock::now() >= deadline) {
            return false;
        } else {
            Step(std::min(deadline, Clock::now() + poll_interval));
        }
    }
    return true;
}

ProcessResult ChildProcess::Finish(Deadline deadline)
{
    streams->output_paused = false;
    bool finished = true;
    while (finished && (streams->out.IsOpen() || streams->err.IsOpen()))
        finished = Step(deadline);
    if (!finished && !reaped)
        kill(pid, SIGKILL);
    bool in_time = reaped || Reap(pid, streams->result, deadline);
    reaped = true;
    streams->result.timed_out = !finished || !in_time;
    return streams->result;
}

const std::string &ChildProcess::Out() const
{
    return streams->result.out;
}

const std::string &ChildProcess::Err() const
{
    return streams->result.err;
}

std::unique_ptr<ChildProcess> StartReplay(const std::vector<std::string> &arguments)
{
    return std::make_unique<ChildProcess>(REPLAY_PROGRAM, arguments);
}

ChildProcess::Deadline DeadlineIn(std::chrono::milliseconds from_now)
{
    return Clock::now() + from_now;
}

std::vector<std::string> TestPluginArguments(const std::string &conf, const std::string &state_dir,
                                             const std::vector<std::string> &extra)
{
    std::vector<std::string> arguments{"--plugin", TEST_PLUGIN_LIBRARY, "--conf", conf, "--state", state_dir};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}
