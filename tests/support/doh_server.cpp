#include "support/doh_server.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "support/dns_message.h"
#include "support/tls_identity.h"

namespace {

std::string_view PathOf(std::string_view target)
{
    return target.substr(0, target.find('?'));
}

// The value of name in the query part of target, undecoded.
std::optional<std::string_view> QueryParameter(std::string_view target, std::string_view name)
{
    size_t question = target.find('?');
    if (question == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
        std::string_view pair = rest.substr(0, rest.find('&'));
        rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
        if (pair.substr(0, pair.find('=')) == name && pair.find('=') != std::string_view::npos)
            return pair.substr(name.size() + 1);
    }
    return std::nullopt;
}

// Unpadded base64url, as a DoH GET carries the query; nullopt when malformed.
std::optional<std::string> DecodeBase64Url(std::string_view text)
{
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string decoded;
    unsigned bits = 0;
    int bit_count = 0;
    for (char c : text) {
        size_t value = alphabet.find(c);
        if (value == std::string_view::npos)
            return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            decoded.push_back(static_cast<char>((bits >> bit_count) & 0xff));
        }
    }
    if (bit_count >= 6)  // A single character left over cannot end a byte.
        return std::nullopt;
    return decoded;
}

// The DNS query a request carries, or nullopt.
std::optional<std::string> QueryOf(const HttpRequest &request)
{
    if (request.method == "POST")
        return request.body;
    std::optional<std::string_view> encoded = QueryParameter(request.path, "dns");
    if (!encoded)
        return std::nullopt;
    return DecodeBase64Url(*encoded);
}

HttpResponse Plain(int status, std::string body = std::string())
{
    HttpResponse response;
    response.status = status;
    if (!body.empty()) {
        response.headers.push_back({"Content-Type", "text/plain"});
        response.body = std::move(body) + "\n";
    }
    return response;
}

std::string WithLengthPrefix(const std::string &message)
{
    std::string framed;
    framed.push_back(static_cast<char>((message.size() >> 8) & 0xff));
    framed.push_back(static_cast<char>(message.size() & 0xff));
    return framed + message;
}

HttpResponse AnswerResponse(const DohRoute &route, const HttpRequest &request)
{
    if (request.method != "POST" && request.method != "GET")
        return Plain(405, "POST or GET only");
    std::optional<std::string> query = QueryOf(request);
    std::string answer = query ? EchoAnswer(*query) : std::string();
    if (answer.empty())
        return Plain(400, "no DNS query in the request");

    HttpResponse response;
    response.headers.push_back({"Content-Type", route.content_type});
    if (route.action == DohRoute::Action::oversize) {
        answer.resize(route.body_bytes, '\0');
        response.length_by_close = !route.declare_length;
    } else if (route.length_prefix) {
        answer = WithLengthPrefix(answer);
    }
    response.body = std::move(answer);
    return response;
}

HttpResponse RouteResponse(const DohRoute &route, const HttpRequest &request)
{
    HttpResponse response;
    switch (route.action) {
    case DohRoute::Action::answer:
    case DohRoute::Action::oversize:
        return AnswerResponse(route, request);
    case DohRoute::Action::status:
        response.status = route.status;
        return response;
    case DohRoute::Action::redirect:
        response.status = route.status;
        response.headers.push_back({"Location", route.location});
        return response;
    case DohRoute::Action::stall:
        response.stall = true;
        return response;
    case DohRoute::Action::close:
        response.drop = true;
        return response;
    }
    return Plain(500, "unknown route action");
}

HttpServerOptions DohServerOptions(std::shared_ptr<const TlsIdentity> identity)
{
    HttpServerOptions options;
    options.tls = std::move(identity);
    options.keep_alive = true;
    options.max_body_bytes = DohTestServer::max_request_body_bytes;
    return options;
}

}  // namespace

DohRoute DohRoute::Answer(std::string content_type)
{
    DohRoute route;
    route.content_type = std::move(content_type);
    return route;
}

DohRoute DohRoute::PrefixedAnswer()
{
    DohRoute route;
    route.length_prefix = true;
    return route;
}

DohRoute DohRoute::Status(int status)
{
    DohRoute route;
    route.action = Action::status;
    route.status = status;
    return route;
}

DohRoute DohRoute::Redirect(std::string location, int status)
{
    DohRoute route;
    route.action = Action::redirect;
    route.status = status;
    route.location = std::move(location);
    return route;
}

DohRoute DohRoute::Oversize(size_t body_bytes, bool declare_length)
{
    DohRoute route;
    route.action = Action::oversize;
    route.body_bytes = body_bytes;
    route.declare_length = declare_length;
    return route;
}

DohRoute DohRoute::Stall()
{
    DohRoute route;
    route.action = Action::stall;
    return route;
}

DohRoute DohRoute::Close()
{
    DohRoute route;
    route.action = Action::close;
    return route;
}

DohTestServer::DohTestServer(const std::vector<std::string> &extra_names)
    : identity(std::make_shared<const TlsIdentity>(extra_names)), http(DohServerOptions(identity))
{
    http.SetHandler([this](const HttpRequest &request) { return Respond(request); });
}

DohTestServer::~DohTestServer()
{
    Stop();
}

void DohTestServer::Route(const std::string &path, DohRoute route)
{
    std::lock_guard<std::mutex> guard(routes_lock);
    routes[path] = std::move(route);
}

std::string DohTestServer::RouteRedirectChain(const std::string &prefix, int hops, const std::string &final_location)
{
    for (int hop = 1; hop <= hops; ++hop)
        Route(prefix + std::to_string(hop),
              DohRoute::Redirect(hop == hops ? final_location : prefix + std::to_string(hop + 1)));
    return prefix + "1";
}

void DohTestServer::Start()
{
    http.Start();
}

void DohTestServer::Start(const std::string &address, uint16_t port)
{
    http.Start(address, port);
}

void DohTestServer::Stop()
{
    http.Stop();
}

void DohTestServer::StallHandshakes(bool stall)
{
    http.StallConnections(stall);
}

const std::string &DohTestServer::CertificatePem() const
{
    return identity->CertificatePem();
}

const std::string &DohTestServer::PrivateKeyPem() const
{
    return identity->PrivateKeyPem();
}

size_t DohTestServer::RequestCount(const std::string &path) const
{
    size_t count = 0;
    for (const HttpRequest &request : http.Requests())
        count += PathOf(request.path) == path ? 1 : 0;
    return count;
}

HttpResponse DohTestServer::Respond(const HttpRequest &request)
{
    std::optional<DohRoute> route;
    {
        std::lock_guard<std::mutex> guard(routes_lock);
        auto found = routes.find(std::string(PathOf(request.path)));
        if (found != routes.end())
            route = found->second;
    }
    return route ? RouteResponse(*route, request) : Plain(404, "no such path");
}
