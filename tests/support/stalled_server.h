// A loopback TCP port that accepts connections and never answers, for
// probes and exchanges that must stall until their client gives up.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

// A TCP port on 127.0.0.1 that accepts connections and never says a word:
// a TLS handshake with it lasts until the client gives up.
class StalledServer
{
public:
    StalledServer()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("stalled server: cannot listen");
        port = ntohs(address.sin_port);
    }
    ~StalledServer()
    {
        for (int client : clients)
            close(client);
        close(fd);
    }
    StalledServer(const StalledServer &) = delete;
    StalledServer &operator=(const StalledServer &) = delete;

    // Takes the next connection (and keeps it silent); false at the deadline.
    bool WaitForConnection(std::chrono::milliseconds deadline = std::chrono::seconds(10))
    {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(deadline.count())) != 1)
            return false;
        int client = accept(fd, nullptr, nullptr);
        if (client < 0)
            return false;
        clients.push_back(client);
        return true;
    }

    uint16_t port = 0;

private:
    int fd = -1;
    std::vector<int> clients;
};
