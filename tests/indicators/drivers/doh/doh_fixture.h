// Shared pieces of the prober tests: a host whose state directory is a
// temporary one, TLS flows to loopback servers, servers that stall or refuse,
// and deadline waits on the prober thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "indicators/indicator_fixture.h"
#include "indicators/drivers/doh/prober.h"
#include "support/stalled_server.h"
#include "support/temp_dir.h"

// A loopback port nothing listens on: connections are refused at once.
inline uint16_t RefusedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Polls until ready holds or the deadline passes; the prober thread offers
// no event to wait on for these states.
inline bool WaitUntil(const std::function<bool()> &ready,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class DohProberTest : public IndicatorTest
{
protected:
    DohProberTest()
    {
        // Probes go straight to the loopback servers.
        for (const char *name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            unsetenv(name);
        config.variables["path_state_persistent"] = dir.Path();
    }

    std::shared_ptr<vpiDOHScanner> MakeScanner(const std::string &conf = "{}")
    {
        return std::dynamic_pointer_cast<vpiDOHScanner>(Make(Driver::doh_scanner, conf));
    }

    // A TLS flow from a loopback client to the loopback server on port,
    // optionally naming the server.
    static vdFlow::Ptr TlsFlow(uint16_t port, const std::string &host = "", vdProto::Id master = vdProto::TLS,
                               const std::string &server = "127.0.0.1")
    {
        const bool ipv6 = server.find(':') != std::string::npos;
        return FlowBuilder()
            .Lower(ipv6 ? "::1" : "127.0.0.1", 50000)
            .Upper(server, port)
            .Set([&](vdFlow &flow) {
                flow.origin = 1;
                flow.digest = port;
                flow.master_protocol = master;
                flow.host_server_name = host;
                flow.stats.total_bytes = 1000;
            })
            .Build();
    }

    static vdDigest ServerOf(const vdFlow::Ptr &flow) { return vpiDOHScannerFlowCacheEntry(flow).digest; }

    static bool InNegative(vpiDOHScanner &scanner, const vdFlow::Ptr &flow)
    {
        bool value = false;
        return scanner.Negative()->CacheLookup(ServerOf(flow), value);
    }
    static bool InPositive(vpiDOHScanner &scanner, const vdFlow::Ptr &flow, std::string *url = nullptr)
    {
        vpiDOHScannerFlowCacheEntry entry;
        bool found = scanner.Positive()->CacheLookup(ServerOf(flow), entry);
        if (found && url != nullptr)
            *url = entry.url;
        return found;
    }

    // Hands the flow to the scanner as the worker does: its own event.
    static void Offer(vpiDOHScanner &scanner, const vdFlow::Ptr &flow)
    {
        auto ev = FlowEvent(flow);
        scanner.ProcessFlow(ev);
    }

    static bool Idle(const vpiDOHScanner &scanner)
    {
        return WaitUntil([&] { return scanner.PendingServers() == 0; });
    }

    TempDir dir;
};
