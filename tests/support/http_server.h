// A real HTTP/1.1 server on 127.0.0.1 for tests: an ephemeral port, a thread
// per connection, one request per connection ("Connection: close"). The
// handler decides each response entirely: status, headers, body, a delay.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string path;     // The request target as sent, query included.
    HttpHeaders headers;  // Names as sent, in order.
    std::string body;
    // When the whole request had arrived.
    std::chrono::steady_clock::time_point received_at;

    // The first header of that name, compared without case.
    std::optional<std::string> Header(const std::string &name) const;
};

struct HttpResponse {
    int status = 200;
    HttpHeaders headers;  // Sent as given; Content-Length is added unless present.
    std::string body;
    // Wait before answering; Stop cuts it short.
    std::chrono::milliseconds delay{0};
    // Close the connection without answering.
    bool drop = false;
};

// A loopback port nothing listens on: bound, read back, then released.
uint16_t UnusedLoopbackPort();

using HttpHandler = std::function<HttpResponse(const HttpRequest &)>;

class LoopbackHttpServer
{
public:
    // Largest request header section and body accepted.
    static constexpr size_t max_header_bytes = 64 * 1024;
    static constexpr size_t max_body_bytes = 64 * 1024 * 1024;

    LoopbackHttpServer();
    ~LoopbackHttpServer();

    LoopbackHttpServer(const LoopbackHttpServer &) = delete;
    LoopbackHttpServer &operator=(const LoopbackHttpServer &) = delete;

    // Calls are serialised, so a handler needs no locking of its own. The
    // default answers 200 with an empty body. A throw answers 500.
    void SetHandler(HttpHandler handler);

    // Binds 127.0.0.1 on an ephemeral port and starts serving; throws
    // std::runtime_error on failure or when already started.
    void Start();
    // Stops accepting, interrupts delays and joins every thread; idempotent.
    void Stop();

    uint16_t Port() const { return port; }
    std::string Url(const std::string &path = "/") const;

    // Requests are recorded when parsed, before the handler answers them.
    std::vector<HttpRequest> Requests() const;
    // False when fewer than count requests arrived before the deadline.
    bool WaitForRequests(size_t count, std::chrono::milliseconds deadline) const;

private:
    void AcceptLoop();
    void Serve(int fd);
    // Waits out a response delay; true when Stop cut it short.
    bool Delay(std::chrono::milliseconds delay) const;
    HttpResponse Answer(const HttpRequest &request);
    void Record(const HttpRequest &request);

    int listen_fd = -1;
    int stop_pipe[2] = {-1, -1};  // Written once by Stop; every poll watches it.
    uint16_t port = 0;
    std::thread acceptor;
    std::vector<std::thread> connections;  // Touched by the acceptor, then by Stop after joining it.

    std::mutex handler_lock;
    HttpHandler handler;

    mutable std::mutex requests_lock;
    mutable std::condition_variable requests_changed;
    std::vector<HttpRequest> requests;
};
