#include "support/dnsdist_runner.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/http_server.h"
#include "support/replay_runner.h"
#include "support/temp_dir.h"
#include "support/tls_identity.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int start_attempts = 3;                            // Fresh ports each time.
constexpr auto accept_poll = std::chrono::milliseconds(25);  // Between connection attempts, waiting on the child.
constexpr auto stop_grace = std::chrono::seconds(5);

// The dnsdist program on PATH (or in the usual places), or empty.
std::string FindProgram()
{
    std::string directories = "/usr/bin:/usr/sbin:/usr/local/bin:/usr/local/sbin";
    if (const char *path = std::getenv("PATH"))
        directories = std::string(path) + ":" + directories;
    std::istringstream list(directories);
    std::string directory;
    while (std::getline(list, directory, ':')) {
        std::string candidate = (directory.empty() ? "." : directory) + "/dnsdist";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

// True when a TCP connection to 127.0.0.1:port is accepted.
bool Accepts(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
}

}  // namespace

std::string DnsdistRunner::Missing()
{
    if (FindProgram().empty())
        return "dnsdist not installed (scripts/setup test installs it): the test against a real DoH server is skipped";
    return std::string();
}

DnsdistRunner::DnsdistRunner() : identity(std::make_unique<TlsIdentity>()), directory(std::make_unique<TempDir>())
{
    directory->WriteFile("cert.pem", identity->CertificatePem());
    directory->WriteFile("key.pem", identity->PrivateKeyPem());
}

DnsdistRunner::~DnsdistRunner()
{
    Stop();
}

void DnsdistRunner::Start(std::chrono::milliseconds deadline)
{
    if (child)
        throw std::runtime_error("DnsdistRunner: already started");
    if (FindProgram().empty())
        throw std::runtime_error("DnsdistRunner: " + Missing());
    Clock::time_point end = Clock::now() + deadline;
    for (int attempt = 1; attempt <= start_attempts; ++attempt)
        if (TryStart(end))
            return;
    throw std::runtime_error("DnsdistRunner: dnsdist exited at start " + std::to_string(start_attempts) +
                             " times; its output:\n" + last_output);
}

bool DnsdistRunner::TryStart(Clock::time_point deadline)
{
    dns_port = UnusedLoopbackPort();
    doh_port = UnusedLoopbackPort();
    std::string configuration = directory->WriteFile("dnsdist.conf", Configuration());
    child = std::make_unique<ChildProcess>(
        FindProgram(), std::vector<std::string>{"--supervised", "--disable-syslog", "-C", configuration});
    child->CloseInput();
    while (!Accepts(doh_port)) {
        if (child->WaitForExit(std::min(deadline, Clock::now() + accept_poll))) {
            last_output = Output();
            child.reset();
            return false;
        }
        if (Clock::now() >= deadline) {
            std::string output = Output();
            Stop();
            throw std::runtime_error("DnsdistRunner: dnsdist not accepting on 127.0.0.1:" + std::to_string(doh_port) +
                                     " by the deadline; its output:\n" + output);
        }
    }
    return true;
}

std::string DnsdistRunner::Configuration() const
{
    const std::string dns_listener = "127.0.0.1:" + std::to_string(dns_port);
    const std::string doh_listener = "127.0.0.1:" + std::to_string(doh_port);
    // An empty suffix turns off the security poll, a DNS query off the
    // machine at start; setLocal keeps the plain listener off port 53.
    std::string text = "setSecurityPollSuffix(\"\")\n";
    text += "setLocal(\"" + dns_listener + "\")\n";
    text += "addDOHLocal(\"" + doh_listener + "\", \"" + directory->Path("cert.pem") + "\", \"" +
            directory->Path("key.pem") + "\", \"/dns-query\")\n";
    text += "addAction(AllRule(), SpoofAction(\"" + std::string(spoofed_address) + "\"))\n";
    return text;
}

void DnsdistRunner::Stop()
{
    if (!child)
        return;
    child->Signal(SIGTERM);
    if (!child->WaitForExit(ChildProcess::Deadline(Clock::now() + stop_grace)))
        child->Signal(SIGKILL);
    last_output = Output();
    child.reset();  // Reaps it.
}

std::string DnsdistRunner::Url(const std::string &path) const
{
    return "https://127.0.0.1:" + std::to_string(doh_port) + path;
}

const std::string &DnsdistRunner::CertificatePem() const
{
    return identity->CertificatePem();
}

std::string DnsdistRunner::Output() const
{
    return child ? child->Out() + child->Err() : last_output;
}
