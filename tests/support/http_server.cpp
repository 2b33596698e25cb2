// Sockets and a self-pipe: Stop writes one byte to the pipe and never reads
// it back, so it stays readable and every poll in every thread wakes up.
#include "support/http_server.h"

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
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum class Readiness { ready, stopped, timed_out };

// Waits for events on fd, for the stop pipe, or for timeout_ms (-1: no limit).
Readiness WaitFor(int fd, short events, int stop_fd, int timeout_ms)
{
    for (;;) {
        pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd, events, 0}};
        int count = poll(fds, fd < 0 ? 1 : 2, timeout_ms);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 || fds[0].revents != 0)
            return Readiness::stopped;
        if (count == 0)
            return Readiness::timed_out;
        return Readiness::ready;
    }
}

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

std::string FormatResponse(const HttpResponse &response)
{
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
    for (const auto &[name, value] : response.headers)
        text += name + ": " + value + "\r\n";
    if (FindHeader(response.headers, "Content-Length") == nullptr)
        text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    if (FindHeader(response.headers, "Connection") == nullptr)
        text += "Connection: close\r\n";
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
Parsed CheckBodyLength(Parsed parsed, size_t &length)
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
    if (length > LoopbackHttpServer::max_body_bytes)
        return Malformed(413, "body too large");
    return parsed;
}

// Appends what the peer sends next; false when it closed, failed or Stop was called.
bool Receive(int fd, int stop_fd, std::string &buffer)
{
    if (WaitFor(fd, POLLIN, stop_fd, -1) != Readiness::ready)
        return false;
    char chunk[16 * 1024];
    ssize_t count;
    do {
        count = recv(fd, chunk, sizeof(chunk), 0);
    } while (count < 0 && errno == EINTR);
    if (count <= 0)
        return false;
    buffer.append(chunk, static_cast<size_t>(count));
    return true;
}

// Reads one request; nullopt when the peer went away or Stop was called.
std::optional<Parsed> ReadRequest(int fd, int stop_fd)
{
    std::string buffer;
    size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > LoopbackHttpServer::max_header_bytes)
            return Malformed(431, "header section too large");
        if (!Receive(fd, stop_fd, buffer))
            return std::nullopt;
    }
    if (head_end > LoopbackHttpServer::max_header_bytes)
        return Malformed(431, "header section too large");

    size_t body_length = 0;
    Parsed parsed = CheckBodyLength(ParseHead(std::string_view(buffer).substr(0, head_end)), body_length);
    if (parsed.error_status != 0)
        return parsed;
    buffer.erase(0, head_end + 4);
    while (buffer.size() < body_length)
        if (!Receive(fd, stop_fd, buffer))
            return std::nullopt;
    buffer.resize(body_length);  // Bytes past the body would be a pipelined request: not served.
    parsed.request.body = std::move(buffer);
    parsed.request.received_at = std::chrono::steady_clock::now();
    return parsed;
}

void SendAll(int fd, int stop_fd, std::string_view data)
{
    while (!data.empty()) {
        if (WaitFor(fd, POLLOUT, stop_fd, -1) != Readiness::ready)
            return;
        ssize_t count = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        data.remove_prefix(static_cast<size_t>(count));
    }
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

LoopbackHttpServer::LoopbackHttpServer() = default;

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
    if (stop_pipe[0] >= 0)
        throw std::runtime_error("LoopbackHttpServer: already started");
    if (pipe2(stop_pipe, O_CLOEXEC) != 0)
        throw SystemError("pipe2");
    listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0)
        throw SystemError("socket");

    sockaddr_in address = LoopbackAnyPort();
    socklen_t length = sizeof(address);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
        throw SystemError("bind");
    if (listen(listen_fd, SOMAXCONN) != 0)
        throw SystemError("listen");
    if (getsockname(listen_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw SystemError("getsockname");
    port = ntohs(address.sin_port);
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
    for (std::thread &connection : connections)
        connection.join();
    connections.clear();
    for (int *fd : {&listen_fd, &stop_pipe[0], &stop_pipe[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::string LoopbackHttpServer::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
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
    while (WaitFor(listen_fd, POLLIN, stop_pipe[0], -1) == Readiness::ready) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        try {
            connections.emplace_back(&LoopbackHttpServer::Serve, this, fd);
        } catch (const std::exception &) {
            close(fd);  // Out of threads: this client sees the connection close.
        }
    }
}

void LoopbackHttpServer::Serve(int fd)
{
    try {
        std::optional<Parsed> parsed = ReadRequest(fd, stop_pipe[0]);
        if (parsed && parsed->error_status != 0) {
            SendAll(fd, stop_pipe[0], FormatResponse(ErrorResponse(parsed->error_status, parsed->error)));
        } else if (parsed) {
            Record(parsed->request);
            HttpResponse response = Answer(parsed->request);
            if (!response.drop && !Delay(response.delay))
                SendAll(fd, stop_pipe[0], FormatResponse(response));
        }
    } catch (const std::exception &) {
        // Out of memory on a connection: drop it; the client sees the close.
    }
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

bool LoopbackHttpServer::Delay(std::chrono::milliseconds delay) const
{
    if (delay.count() <= 0)
        return false;
    auto capped = std::min<std::chrono::milliseconds::rep>(delay.count(), std::numeric_limits<int>::max());
    return WaitFor(-1, 0, stop_pipe[0], static_cast<int>(capped)) == Readiness::stopped;
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
