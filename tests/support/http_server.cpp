// Sockets and a self-pipe: Stop writes one byte to the pipe and never reads
// it back, so it stays readable and every poll in every thread wakes up.
#include "support/http_server.h"

#include "support/server_stream.h"
#include "support/tls_identity.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

const std::string *FindHeader(const HttpHeaders &headers, std::string_view name)
{
    for (const auto &[key, value] : headers)
        if (EqualNoCase(key, name))
            return &value;
    return nullptr;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

const char *ReasonPhrase(int status)
{
    static const std::pair<int, const char *> phrases[] = {
        {200, "OK"},
        {201, "Created"},
        {204, "No Content"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {304, "Not Modified"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {413, "Content Too Large"},
        {429, "Too Many Requests"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {503, "Service Unavailable"},
    };
    for (const auto &[code, phrase] : phrases)
        if (code == status)
            return phrase;
    return "Status";
}

// The head and body of a response; the connection header says whether the
// connection goes on.
std::string FormatResponse(const HttpResponse &response, bool keep_open = false)
{
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
    for (const auto &[name, value] : response.headers)
        text += name + ": " + value + "\r\n";
    if (FindHeader(response.headers, "Content-Length") == nullptr && !response.length_by_close)
        text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    if (FindHeader(response.headers, "Connection") == nullptr)
        text += keep_open ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    text += "\r\n";
    text += response.body;
    return text;
}

HttpResponse ErrorResponse(int status, const std::string &why)
{
    HttpResponse response;
    response.status = status;
    response.headers.push_back({"Content-Type", "text/plain"});
    response.body = why + "\n";
    return response;
}

// A parsed request, or the error status to answer a malformed one with.
struct Parsed {
    HttpRequest request;
    int error_status = 0;
    std::string error;
};

Parsed Malformed(int status, std::string why)
{
    Parsed parsed;
    parsed.error_status = status;
    parsed.error = std::move(why);
    return parsed;
}

// Parses the request line and headers (the header section without its final blank line).
Parsed ParseHead(std::string_view head)
{
    Parsed parsed;
    size_t line_end = head.find("\r\n");
    std::string_view line = head.substr(0, line_end);
    size_t first_space = line.find(' ');
    size_t last_space = line.rfind(' ');
    if (first_space == std::string_view::npos || first_space == last_space)
        return Malformed(400, "malformed request line");
    parsed.request.method = line.substr(0, first_space);
    parsed.request.path = line.substr(first_space + 1, last_space - first_space - 1);
    if (!line.substr(last_space + 1).starts_with("HTTP/1."))
        return Malformed(400, "unsupported HTTP version");

    while (line_end != std::string_view::npos) {
        head.remove_prefix(line_end + 2);
        line_end = head.find("\r\n");
        line = head.substr(0, line_end);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return Malformed(400, "malformed header line");
        parsed.request.headers.emplace_back(std::string(line.substr(0, colon)),
                                            std::string(Trim(line.substr(colon + 1))));
    }
    return parsed;
}

// The body length a request declares, or an error status.
Parsed CheckBodyLength(Parsed parsed, size_t max_body_bytes, size_t &length)
{
    length = 0;
    if (parsed.request.Header("Transfer-Encoding"))
        return Malformed(501, "transfer codings are not supported");
    std::optional<std::string> declared = parsed.request.Header("Content-Length");
    if (!declared)
        return parsed;
    const char *end = declared->data() + declared->size();
    auto [stop, error] = std::from_chars(declared->data(), end, length);
    if (error != std::errc() || stop != end || declared->empty())
        return Malformed(400, "invalid Content-Length");
    if (length > max_body_bytes)
        return Malformed(413, "body too large");
    return parsed;
}

// Reads one request from the stream, starting with what buffer holds; what
// follows the request stays in buffer. Nullopt when the peer went away or
// Stop was called.
std::optional<Parsed> ReadRequest(ServerStream &stream, std::string &buffer, size_t max_body_bytes)
{
    size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > LoopbackHttpServer::max_header_bytes)
            return Malformed(431, "header section too large");
        if (!stream.Receive(buffer))
            return std::nullopt;
    }
    if (head_end > LoopbackHttpServer::max_header_bytes)
        return Malformed(431, "header section too large");

    size_t body_length = 0;
    Parsed parsed =
        CheckBodyLength(ParseHead(std::string_view(buffer).substr(0, head_end)), max_body_bytes, body_length);
    if (parsed.error_status != 0)
        return parsed;
    buffer.erase(0, head_end + 4);
    while (buffer.size() < body_length)
        if (!stream.Receive(buffer))
            return std::nullopt;
    parsed.request.body = buffer.substr(0, body_length);
    buffer.erase(0, body_length);  // What follows is the next request of a kept-alive connection.
    parsed.request.received_at = std::chrono::steady_clock::now();
    return parsed;
}

bool AsksToClose(const HttpHeaders &headers)
{
    const std::string *connection = FindHeader(headers, "Connection");
    return connection != nullptr && EqualNoCase(Trim(*connection), "close");
}

// 127.0.0.1 with port 0, which bind turns into a free ephemeral port.
sockaddr_in LoopbackAnyPort()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    return address;
}

std::runtime_error SystemError(const char *what)
{
    return std::runtime_error(std::string("LoopbackHttpServer: ") + what + ": " + std::strerror(errno));
}

}  // namespace

uint16_t UnusedLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw SystemError("socket");
    sockaddr_in address = LoopbackAnyPort();
    socklen_t length = sizeof(address);
    bool bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
                 getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    if (!bound)
        throw SystemError("bind");
    return ntohs(address.sin_port);
}

std::optional<std::string> HttpRequest::Header(const std::string &name) const
{
    const std::string *value = FindHeader(headers, name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(*value);
}

LoopbackHttpServer::LoopbackHttpServer(HttpServerOptions options) : options(std::move(options)) {}

LoopbackHttpServer::~LoopbackHttpServer()
{
    Stop();
}

void LoopbackHttpServer::SetHandler(HttpHandler replacement)
{
    std::lock_guard<std::mutex> guard(handler_lock);
    handler = std::move(replacement);
}

void LoopbackHttpServer::Start()
{
    Start("127.0.0.1", 0);
}

void LoopbackHttpServer::Start(const std::string &address, uint16_t wanted_port)
{
    if (stop_pipe[0] >= 0)
        throw std::runtime_error("LoopbackHttpServer: already started");
    sockaddr_storage bound{};
    socklen_t length = 0;
    if (address == "127.0.0.1") {
        sockaddr_in &in4 = reinterpret_cast<sockaddr_in &>(bound);
        in4 = LoopbackAnyPort();
        in4.sin_port = htons(wanted_port);
        length = sizeof(in4);
    } else if (address == "::1") {
        sockaddr_in6 &in6 = reinterpret_cast<sockaddr_in6 &>(bound);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        in6.sin6_port = htons(wanted_port);
        length = sizeof(in6);
    } else {
        throw std::runtime_error("LoopbackHttpServer: not a loopback address: " + address);
    }
    if (pipe2(stop_pipe, O_CLOEXEC) != 0)
        throw SystemError("pipe2");
    listen_fd = socket(bound.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0)
        throw SystemError("socket");
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&bound), length) != 0)
        throw SystemError("bind");
    if (listen(listen_fd, SOMAXCONN) != 0)
        throw SystemError("listen");
    if (getsockname(listen_fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        throw SystemError("getsockname");
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in &>(bound).sin_port);
    host = address == "::1" ? "[::1]" : address;
    acceptor = std::thread(&LoopbackHttpServer::AcceptLoop, this);
}

void LoopbackHttpServer::Stop()
{
    if (stop_pipe[1] >= 0) {
        char byte = 1;
        while (write(stop_pipe[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    if (acceptor.joinable())
        acceptor.join();
    for (Connection &connection : connections)
        connection.thread.join();
    connections.clear();
    for (int *fd : {&listen_fd, &stop_pipe[0], &stop_pipe[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void LoopbackHttpServer::StallConnections(bool stall)
{
    stall_connections = stall;
}

std::string LoopbackHttpServer::Url(const std::string &path) const
{
    return std::string(options.tls ? "https" : "http") + "://" + host + ":" + std::to_string(port) + path;
}

std::vector<HttpRequest> LoopbackHttpServer::Requests() const
{
    std::lock_guard<std::mutex> guard(requests_lock);
    return requests;
}

bool LoopbackHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds deadline) const
{
    std::unique_lock<std::mutex> guard(requests_lock);
    return requests_changed.wait_for(guard, deadline, [&] { return requests.size() >= count; });
}

void LoopbackHttpServer::AcceptLoop()
{
    while (WaitReady(listen_fd, POLLIN, stop_pipe[0], -1) == Readiness::ready) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ReapConnections();
        try {
            Connection &connection = connections.emplace_back();
            try {
                connection.thread = std::thread(&LoopbackHttpServer::Serve, this, fd, &connection);
            } catch (...) {
                connections.pop_back();
                throw;
            }
        } catch (const std::exception &) {
            close(fd);  // Out of threads: this client sees the connection close.
        }
    }
}

void LoopbackHttpServer::ReapConnections()
{
    for (auto connection = connections.begin(); connection != connections.end();) {
        if (connection->done) {
            connection->thread.join();
            connection = connections.erase(connection);
        } else {
            ++connection;
        }
    }
}

void LoopbackHttpServer::Serve(int fd, Connection *self)
{
    // OpenSSL writes to the socket without MSG_NOSIGNAL: with SIGPIPE blocked
    // in this thread, a write to a client that left fails with EPIPE instead
    // of ending the test program. The pending signal ends with the thread.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    try {
        if (stall_connections) {
            WaitReady(-1, 0, stop_pipe[0], -1);
            close(fd);
        } else {
            std::unique_ptr<ServerStream> stream =
                options.tls ? options.tls->Accept(fd, stop_pipe[0]) : PlainServerStream(fd, stop_pipe[0]);
            if (stream->Open()) {
                ++opened_connections;
                ServeRequests(*stream);
            }
        }
    } catch (const std::exception &) {
        // Out of memory, or no TLS for this connection: the client sees the close.
    }
    self->done = true;
}

void LoopbackHttpServer::ServeRequests(ServerStream &stream)
{
    std::string buffer;
    for (;;) {
        std::optional<Parsed> parsed = ReadRequest(stream, buffer, options.max_body_bytes);
        if (!parsed)
            return;
        if (parsed->error_status != 0) {
            stream.SendAll(FormatResponse(ErrorResponse(parsed->error_status, parsed->error)));
            return;
        }
        Record(parsed->request);
        HttpResponse response = Answer(parsed->request);
        if (response.drop)
            return;
        if (response.stall) {
            WaitReady(-1, 0, stop_pipe[0], -1);
            return;
        }
        bool keep_open = options.keep_alive && !response.length_by_close && !AsksToClose(parsed->request.headers) &&
                         !AsksToClose(response.headers);
        if (Delay(response.delay) || !stream.SendAll(FormatResponse(response, keep_open)) || !keep_open)
            return;
    }
}

bool LoopbackHttpServer::Delay(std::chrono::milliseconds delay) const
{
    if (delay.count() <= 0)
        return false;
    auto capped = std::min<std::chrono::milliseconds::rep>(delay.count(), std::numeric_limits<int>::max());
    return WaitReady(-1, 0, stop_pipe[0], static_cast<int>(capped)) == Readiness::stopped;
}

HttpResponse LoopbackHttpServer::Answer(const HttpRequest &request)
{
    std::lock_guard<std::mutex> guard(handler_lock);
    if (!handler)
        return HttpResponse{};
    try {
        return handler(request);
    } catch (const std::exception &e) {
        return ErrorResponse(500, std::string("handler failed: ") + e.what());
    } catch (...) {
        return ErrorResponse(500, "handler failed");
    }
}

void LoopbackHttpServer::Record(const HttpRequest &request)
{
    {
        std::lock_guard<std::mutex> guard(requests_lock);
        requests.push_back(request);
    }
    requests_changed.notify_all();
}
