// A real HTTP/1.1 server on 127.0.0.1 for tests: an ephemeral port, a thread
// per connection, plain or over TLS, one request per connection ("Connection:
// close") unless keep-alive is asked for. The handler decides each response
// entirely: status, headers, body, a delay, a stall or a close.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class ServerStream;
class TlsIdentity;

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
    // Never answer: the connection stays open, unread, until Stop.
    bool stall = false;
    // Send no Content-Length: the body ends where the connection closes.
    bool length_by_close = false;
};

struct HttpServerOptions {
    // Serves HTTPS with this identity; plain HTTP when null.
    std::shared_ptr<const TlsIdentity> tls;
    // Serves further requests on a connection until the client closes it or
    // either side sends "Connection: close".
    bool keep_alive = false;
    // Largest request body accepted; a larger one is answered 413.
    size_t max_body_bytes = 64 * 1024 * 1024;
};

// A loopback port nothing listens on: bound, read back, then released.
uint16_t UnusedLoopbackPort();

using HttpHandler = std::function<HttpResponse(const HttpRequest &)>;

class LoopbackHttpServer
{
public:
    // Largest request header section accepted.
    static constexpr size_t max_header_bytes = 64 * 1024;

    explicit LoopbackHttpServer(HttpServerOptions options = {});
    ~LoopbackHttpServer();

    LoopbackHttpServer(const LoopbackHttpServer &) = delete;
    LoopbackHttpServer &operator=(const LoopbackHttpServer &) = delete;

    // Calls are serialised, so a handler needs no locking of its own. The
    // default answers 200 with an empty body. A throw answers 500.
    void SetHandler(HttpHandler handler);

    // Binds 127.0.0.1 on an ephemeral port and starts serving; throws
    // std::runtime_error on failure or when already started.
    void Start();
    // The same on address, "127.0.0.1" or "::1", and port (0: an ephemeral
    // one); throws std::runtime_error also when the port is taken.
    void Start(const std::string &address, uint16_t port);
    // Stops accepting, interrupts delays and joins every thread; idempotent.
    void Stop();

    // From now on, accepted connections are left alone until Stop: no
    // handshake, nothing read, nothing sent.
    void StallConnections(bool stall);

    uint16_t Port() const { return port; }
    // "http://127.0.0.1:<port><path>" (or "[::1]"), https with TLS.
    std::string Url(const std::string &path = "/") const;

    // Connections served so far: accepted, not stalled, and with TLS, their
    // handshake completed.
    size_t Connections() const { return opened_connections.load(); }

    // Requests are recorded when parsed, before the handler answers them.
    std::vector<HttpRequest> Requests() const;
    // False when fewer than count requests arrived before the deadline.
    bool WaitForRequests(size_t count, std::chrono::milliseconds deadline) const;

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    // Joins the threads of connections that have ended.
    void ReapConnections();
    // Runs on the connection's own thread; marks it done at the end.
    void Serve(int fd, Connection *self);
    void ServeRequests(ServerStream &stream);
    // Waits out a response delay; true when Stop cut it short.
    bool Delay(std::chrono::milliseconds delay) const;
    HttpResponse Answer(const HttpRequest &request);
    void Record(const HttpRequest &request);

    const HttpServerOptions options;
    std::atomic<bool> stall_connections{false};
    std::atomic<size_t> opened_connections{0};
    int listen_fd = -1;
    int stop_pipe[2] = {-1, -1};  // Written once by Stop; every poll watches it.
    uint16_t port = 0;
    std::string host = "127.0.0.1";  // as in a URL
    std::thread acceptor;
    std::list<Connection> connections;  // Touched by the acceptor, then by Stop after joining it.

    std::mutex handler_lock;
    HttpHandler handler;

    mutable std::mutex requests_lock;
    mutable std::condition_variable requests_changed;
    std::vector<HttpRequest> requests;
};
