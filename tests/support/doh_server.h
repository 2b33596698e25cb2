// A real DNS-over-HTTPS server on 127.0.0.1 for tests: HTTP/1.1 over TLS with
// keep-alive, a self-signed certificate made at construction, and a script
// of what each path does. It counts TLS handshakes and records every request.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/http_server.h"

inline constexpr const char *dns_message_type = "application/dns-message";
inline constexpr const char *doh_path = "/dns-query";

// What the server does with a request to one path.
struct DohRoute {
    enum class Action {
        answer,    // 200 and the query echoed as a response (see EchoAnswer)
        status,    // the status alone, empty body
        redirect,  // the status with a Location
        oversize,  // 200 and a body of body_bytes: the answer, then zeros
        stall,     // read the request, never answer, keep the connection until Stop
        close,     // read the request, close the connection without answering
    };

    Action action = Action::answer;
    std::string content_type = dns_message_type;  // answer, oversize
    bool length_prefix = false;                   // answer: the message behind a 2-byte big-endian length
    int status = 200;                             // status, redirect
    std::string location;                         // redirect
    size_t body_bytes = 0;                        // oversize
    bool declare_length = true;                   // oversize: false sends no Content-Length and closes after

    // The echo answer, by POST (the body) or GET (?dns=, base64url). A
    // request with no DNS query in it is answered 400; another method 405.
    static DohRoute Answer(std::string content_type = dns_message_type);
    static DohRoute PrefixedAnswer();
    static DohRoute Status(int status);
    // location as the Location header: a path, or a full URL (another
    // server, or http://).
    static DohRoute Redirect(std::string location, int status = 302);
    static DohRoute Oversize(size_t body_bytes, bool declare_length = true);
    static DohRoute Stall();
    static DohRoute Close();
};

class DohTestServer
{
public:
    // The certificate also names extra_names (e.g. "doh.localhost"), for
    // clients that verify host names. Throws std::runtime_error when TLS
    // cannot be set up.
    explicit DohTestServer(const std::vector<std::string> &extra_names = {});
    ~DohTestServer();

    DohTestServer(const DohTestServer &) = delete;
    DohTestServer &operator=(const DohTestServer &) = delete;

    // Scripts a path (the request target up to '?'); may change while
    // serving. A path with no route is answered 404.
    void Route(const std::string &path, DohRoute route);
    // "<prefix>1" redirects to "<prefix>2" and so on, "<prefix><hops>" to
    // final_location; returns the first path.
    std::string RouteRedirectChain(const std::string &prefix, int hops, const std::string &final_location);

    // Throws std::runtime_error on failure or when already started.
    void Start();
    // On address, "127.0.0.1" or "::1", and port (0: an ephemeral one).
    void Start(const std::string &address, uint16_t port);
    // Stops accepting, ends every connection, stalled ones included, and
    // joins every thread; idempotent.
    void Stop();
    // From now on, accepted connections get no TLS handshake until Stop.
    void StallHandshakes(bool stall);

    uint16_t Port() const { return http.Port(); }
    // "https://127.0.0.1:<port><path>" (or "[::1]").
    std::string Url(const std::string &path = doh_path) const { return http.Url(path); }
    // The certificate a client trusts (e.g. CURLOPT_CAINFO_BLOB), and its key.
    const std::string &CertificatePem() const;
    const std::string &PrivateKeyPem() const;

    // TLS handshakes completed so far: one per connection a client opened.
    size_t Handshakes() const { return http.Connections(); }
    // Requests in arrival order: method, target, headers, body.
    std::vector<HttpRequest> Requests() const { return http.Requests(); }
    // Requests whose target up to '?' is path.
    size_t RequestCount(const std::string &path) const;
    // False when fewer than count requests arrived before the deadline.
    bool WaitForRequests(size_t count, std::chrono::milliseconds deadline) const
    {
        return http.WaitForRequests(count, deadline);
    }

    // Request bodies accepted: a DNS message of at most 64 KiB, with margin.
    static constexpr size_t max_request_body_bytes = 128 * 1024;

private:
    HttpResponse Respond(const HttpRequest &request);

    std::shared_ptr<const TlsIdentity> identity;
    std::mutex routes_lock;
    std::map<std::string, DohRoute> routes;
    LoopbackHttpServer http;
};
