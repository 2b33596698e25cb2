// Runs a real DNS-over-HTTPS server from Debian, dnsdist, on loopback for an
// integration test: every query is answered by a spoof action, so it needs no
// backend and sends nothing off the machine.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class ChildProcess;
class TempDir;
class TlsIdentity;

class DnsdistRunner
{
public:
    // The address every A query is answered with.
    static constexpr const char *spoofed_address = "192.0.2.1";

    // Empty when dnsdist can be run; otherwise why not, for GTEST_SKIP.
    static std::string Missing();

    // Makes the certificate and the directory for the configuration.
    DnsdistRunner();
    ~DnsdistRunner();

    DnsdistRunner(const DnsdistRunner &) = delete;
    DnsdistRunner &operator=(const DnsdistRunner &) = delete;

    // Writes the configuration, starts dnsdist and waits until its DoH port
    // accepts connections. Throws std::runtime_error with dnsdist's output
    // when it exits or is not accepting by the deadline.
    void Start(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // Ends dnsdist (SIGTERM, then SIGKILL after a few seconds); idempotent.
    void Stop();

    uint16_t DohPort() const { return doh_port; }
    uint16_t DnsPort() const { return dns_port; }
    // "https://127.0.0.1:<doh port><path>".
    std::string Url(const std::string &path = "/dns-query") const;
    // The self-signed certificate dnsdist serves, for the client to trust.
    const std::string &CertificatePem() const;
    // What dnsdist wrote so far, standard output then standard error.
    std::string Output() const;

private:
    // One attempt on fresh ports; false when dnsdist exited at start (a port
    // taken meanwhile), true once it accepts.
    bool TryStart(std::chrono::steady_clock::time_point deadline);
    std::string Configuration() const;

    std::unique_ptr<TlsIdentity> identity;
    std::unique_ptr<TempDir> directory;
    std::unique_ptr<ChildProcess> child;
    std::string last_output;  // Of a child that exited.
    uint16_t dns_port = 0;
    uint16_t doh_port = 0;
};
