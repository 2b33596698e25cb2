// The byte stream of one connection accepted by a loopback test server,
// plain or TLS. Every wait also watches the server's stop pipe, so that Stop
// interrupts a connection whatever it is waiting for.
#pragma once

#include <memory>
#include <string>
#include <string_view>

enum class Readiness { ready, stopped, timed_out };

// Waits for events on fd (none when fd is negative), for the stop pipe to
// become readable, or for timeout_ms (-1: no limit).
Readiness WaitReady(int fd, short events, int stop_fd, int timeout_ms);

class ServerStream
{
public:
    virtual ~ServerStream() = default;

    // Completes the connection's handshake, if it has one; false when the
    // peer failed or left, or the server stopped.
    virtual bool Open() = 0;
    // Appends what the peer sends next; false when it closed, failed or the
    // server stopped.
    virtual bool Receive(std::string &buffer) = 0;
    // False when not all of data could be sent.
    virtual bool SendAll(std::string_view data) = 0;
    // Ends the connection and closes the socket; the destructor does it too.
    virtual void Close() = 0;
};

// The plain stream over an accepted socket, which it then owns.
std::unique_ptr<ServerStream> PlainServerStream(int fd, int stop_fd);
