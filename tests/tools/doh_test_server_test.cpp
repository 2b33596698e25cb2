// The loopback DoH test server through a real HTTPS client (libcurl): the
// scripted answers, its certificate, connection reuse, stalls and a prompt
// stop; and a real DoH server from Debian (dnsdist) where it is installed.
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "support/dns_message.h"
#include "support/dnsdist_runner.h"
#include "support/doh_server.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string content_type;
    std::string location;
    std::string body;
    std::vector<std::string> headers;  // Response header lines as received.

    bool HasHeader(const std::string &prefix) const
    {
        for (const std::string &line : headers)
            if (line.size() >= prefix.size() && strncasecmp(line.c_str(), prefix.c_str(), prefix.size()) == 0)
                return true;
        return false;
    }
};

size_t AppendBody(char *data, size_t size, size_t count, void *target)
{
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

size_t AppendHeader(char *data, size_t size, size_t count, void *target)
{
    static_cast<std::vector<std::string> *>(target)->emplace_back(data, size * count);
    return size * count;
}

// One libcurl handle, so that consecutive requests may reuse its connection.
// It trusts the given certificate only, and never uses a proxy.
class Client
{
public:
    explicit Client(const std::string &certificate_pem, std::chrono::milliseconds timeout = 10s)
        : handle(curl_easy_init()), certificate(certificate_pem)
    {
        curl_blob blob{certificate.data(), certificate.size(), CURL_BLOB_COPY};
        EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob), CURLE_OK);
        EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_NOPROXY, "*"), CURLE_OK);
        EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count())), CURLE_OK);
        EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, AppendBody), CURLE_OK);
        EXPECT_EQ(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, AppendHeader), CURLE_OK);
    }
    ~Client() { curl_easy_cleanup(handle); }

    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    CURL *Handle() { return handle; }

    // A DoH POST of body; follows no redirect unless asked to.
    Reply Post(const std::string &url, const std::string &body)
    {
        curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/dns-message");
        headers = curl_slist_append(headers, "Accept: application/dns-message");
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        Reply reply = Perform(url);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(headers);
        return reply;
    }

    Reply Get(const std::string &url)
    {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        return Perform(url);
    }

private:
    Reply Perform(const std::string &url)
    {
        Reply reply;
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply.body);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &reply.headers);
        reply.code = curl_easy_perform(handle);
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
        const char *text = nullptr;
        if (curl_easy_getinfo(handle, CURLINFO_CONTENT_TYPE, &text) == CURLE_OK && text != nullptr)
            reply.content_type = text;
        text = nullptr;
        if (curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &text) == CURLE_OK && text != nullptr)
            reply.location = text;
        return reply;
    }

    CURL *handle;
    std::string certificate;
};

// libcurl set up once, before any thread uses it; no proxy from the environment.
class NoProxyEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        for (const char *name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"})
            unsetenv(name);
    }
};

const auto *no_proxy = ::testing::AddGlobalTestEnvironment(new NoProxyEnvironment);

class DohTestServerTest : public ::testing::Test
{
protected:
    void SetUp() override { server.Start(); }

    DohTestServer server{{"doh.localhost"}};
    const std::string query = DnsQuery("example.localhost", 1, 0x1234);
};

// The query's id and question come back with QR set.
void ExpectEchoAnswer(const std::string &query, const std::string &answer)
{
    EXPECT_TRUE(IsDnsResponse(answer));
    ASSERT_EQ(answer.size(), query.size());
    EXPECT_EQ(answer.substr(0, 2), query.substr(0, 2));
    EXPECT_EQ(answer.substr(3), query.substr(3));
}

// Unpadded base64url, as a DoH GET carries its query.
std::string Base64Url(const std::string &bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string encoded;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char byte : bytes) {
        bits = (bits << 8) | byte;
        for (count += 8; count >= 6; count -= 6)
            encoded.push_back(alphabet[(bits >> (count - 6)) & 63]);
    }
    if (count > 0)
        encoded.push_back(alphabet[(bits << (6 - count)) & 63]);
    return encoded;
}

TEST_F(DohTestServerTest, PostAndGetOfAQueryAreAnsweredWithTheResponseBitSet)
{
    server.Route(doh_path, DohRoute::Answer());
    Client client(server.CertificatePem());

    Reply posted = client.Post(server.Url(), query);
    ASSERT_EQ(posted.code, CURLE_OK) << curl_easy_strerror(posted.code);
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.content_type, "application/dns-message");
    ExpectEchoAnswer(query, posted.body);

    Reply got = client.Get(server.Url(std::string(doh_path) + "?dns=" + Base64Url(query)));
    ASSERT_EQ(got.code, CURLE_OK) << curl_easy_strerror(got.code);
    ExpectEchoAnswer(query, got.body);

    std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, doh_path);
    EXPECT_EQ(requests[0].Header("content-type"), "application/dns-message");
    EXPECT_EQ(requests[0].Header("accept"), "application/dns-message");
    EXPECT_EQ(requests[0].body, query);
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(server.RequestCount(doh_path), 2u);
}

struct RouteCase {
    const char *name;
    DohRoute route;
    std::string body;  // Posted; "query" stands for the test's DNS query.
    long status;
    std::string content_type;
    size_t body_size;  // 0: not checked
};

TEST_F(DohTestServerTest, ScriptedRoutesAnswerAsScripted)
{
    const RouteCase cases[] = {
        {"charset parameter", DohRoute::Answer("application/dns-message; charset=x"), "query", 200,
         "application/dns-message; charset=x", 0},
        {"other type", DohRoute::Answer("text/html"), "query", 200, "text/html", 0},
        {"not a query", DohRoute::Answer(), "short", 400, "text/plain", 0},
        {"not found", DohRoute::Status(404), "query", 404, "", 0},
        {"server error", DohRoute::Status(503), "query", 503, "", 0},
        {"oversize with length", DohRoute::Oversize(70000), "query", 200, "application/dns-message", 70000},
        {"oversize until close", DohRoute::Oversize(70000, false), "query", 200, "application/dns-message", 70000},
    };
    for (const RouteCase &row : cases) {
        SCOPED_TRACE(row.name);
        std::string path = std::string("/") + row.name;
        for (char &c : path)
            c = c == ' ' ? '-' : c;
        server.Route(path, row.route);
        Client client(server.CertificatePem());
        Reply reply = client.Post(server.Url(path), row.body == "query" ? query : row.body);
        ASSERT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
        EXPECT_EQ(reply.status, row.status);
        EXPECT_EQ(reply.content_type, row.content_type);
        if (row.body_size != 0) {
            EXPECT_EQ(reply.body.size(), row.body_size);
            EXPECT_EQ(reply.HasHeader("Content-Length:"), row.route.declare_length);
        }
    }
    Client client(server.CertificatePem());
    EXPECT_EQ(client.Post(server.Url("/unscripted"), query).status, 404);
}

TEST_F(DohTestServerTest, PrefixedAnswerCarriesItsLengthInTwoBytes)
{
    server.Route(doh_path, DohRoute::PrefixedAnswer());
    Client client(server.CertificatePem());
    Reply reply = client.Post(server.Url(), query);
    ASSERT_EQ(reply.code, CURLE_OK);
    ASSERT_EQ(reply.body.size(), query.size() + 2);
    EXPECT_EQ(static_cast<unsigned char>(reply.body[0]) * 256u + static_cast<unsigned char>(reply.body[1]),
              query.size());
    ExpectEchoAnswer(query, reply.body.substr(2));
}

TEST_F(DohTestServerTest, CloseEndsTheConnectionWithoutAnAnswer)
{
    server.Route(doh_path, DohRoute::Close());
    Client client(server.CertificatePem());
    Reply reply = client.Post(server.Url(), query);
    EXPECT_NE(reply.code, CURLE_OK);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(server.RequestCount(doh_path), 1u);
}

TEST_F(DohTestServerTest, RedirectsGoWhereScriptedHopByHop)
{
    server.Route(doh_path, DohRoute::Answer());
    server.Route("/moved", DohRoute::Redirect(doh_path, 307));
    std::string plain = "http://127.0.0.1:" + std::to_string(server.Port()) + doh_path;
    server.Route("/to-http", DohRoute::Redirect(plain));
    std::string first = server.RouteRedirectChain("/hop", 6, doh_path);

    Client client(server.CertificatePem());
    Reply moved = client.Post(server.Url("/moved"), query);
    EXPECT_EQ(moved.status, 307);
    EXPECT_EQ(moved.location, server.Url());
    EXPECT_EQ(client.Post(server.Url("/to-http"), query).location, plain);

    curl_easy_setopt(client.Handle(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(client.Handle(), CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(client.Handle(), CURLOPT_MAXREDIRS, 6L);
    Reply followed = client.Post(server.Url(first), query);
    ASSERT_EQ(followed.code, CURLE_OK) << curl_easy_strerror(followed.code);
    ExpectEchoAnswer(query, followed.body);
    for (int hop = 1; hop <= 6; ++hop)
        EXPECT_EQ(server.RequestCount("/hop" + std::to_string(hop)), 1u) << hop;

    curl_easy_setopt(client.Handle(), CURLOPT_MAXREDIRS, 5L);
    EXPECT_EQ(client.Post(server.Url(first), query).code, CURLE_TOO_MANY_REDIRECTS);
    EXPECT_EQ(server.RequestCount("/hop6"), 2u);
    EXPECT_EQ(server.RequestCount(doh_path), 1u);
}

TEST_F(DohTestServerTest, CertificateIsTrustedForItsNamesOnly)
{
    server.Route(doh_path, DohRoute::Answer());
    std::string port = std::to_string(server.Port());
    for (const std::string host : {"127.0.0.1", "localhost", "doh.localhost"}) {
        SCOPED_TRACE(host);
        Client client(server.CertificatePem());
        Reply reply = client.Post("https://" + host + ":" + port + doh_path, query);
        EXPECT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
    }

    Client misnamed(server.CertificatePem());
    EXPECT_EQ(misnamed.Post("https://other.localhost:" + port + doh_path, query).code, CURLE_PEER_FAILED_VERIFICATION);

    DohTestServer other;
    Client trusting_another(other.CertificatePem());
    EXPECT_EQ(trusting_another.Post(server.Url(), query).code, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(server.RequestCount(doh_path), 3u);
}

TEST_F(DohTestServerTest, KeptAliveConnectionNeedsOneHandshake)
{
    server.Route(doh_path, DohRoute::Answer());
    server.Route("/missing", DohRoute::Status(404));
    {
        Client client(server.CertificatePem());
        EXPECT_EQ(client.Post(server.Url(), query).status, 200);
        EXPECT_EQ(client.Post(server.Url("/missing"), query).status, 404);
        EXPECT_EQ(client.Post(server.Url(), query).status, 200);
    }
    EXPECT_EQ(server.Handshakes(), 1u);

    Client other(server.CertificatePem());
    EXPECT_EQ(other.Post(server.Url(), query).status, 200);
    EXPECT_EQ(server.Handshakes(), 2u);
    EXPECT_EQ(server.Requests().size(), 4u);
    // That client's connection is still open, idle: it does not hold Stop.
    ExpectStopsWithin([&] { server.Stop(); }, 5s, "DohTestServer::Stop");
}

TEST_F(DohTestServerTest, StallIsBoundedByTheClientTimeoutAndStopIsPrompt)
{
    server.Route(doh_path, DohRoute::Stall());
    Client bounded(server.CertificatePem(), 300ms);
    EXPECT_EQ(bounded.Post(server.Url(), query).code, CURLE_OPERATION_TIMEDOUT);
    size_t requests_before = server.Requests().size();  // 1, or 0 when the timeout came before the request.

    // A client still waiting when the server stops: Stop does not wait for
    // it, and the client sees its connection end.
    std::optional<Reply> waiting_reply;
    std::thread waiting([&] {
        Client patient(server.CertificatePem(), 60s);
        waiting_reply = patient.Post(server.Url(), query);
    });
    EXPECT_TRUE(server.WaitForRequests(requests_before + 1, 10s));
    ExpectStopsWithin([&] { server.Stop(); }, 5s, "DohTestServer::Stop");
    waiting.join();
    ASSERT_TRUE(waiting_reply);
    EXPECT_NE(waiting_reply->code, CURLE_OK);
    EXPECT_NE(waiting_reply->code, CURLE_OPERATION_TIMEDOUT);
}

TEST_F(DohTestServerTest, StalledHandshakeBoundsTheClientAndStopIsPrompt)
{
    server.Route(doh_path, DohRoute::Answer());
    server.StallHandshakes(true);
    Client client(server.CertificatePem(), 300ms);
    EXPECT_EQ(client.Post(server.Url(), query).code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(server.Handshakes(), 0u);
    EXPECT_TRUE(server.Requests().empty());

    std::thread waiting([&] {
        Client patient(server.CertificatePem(), 60s);
        patient.Post(server.Url(), query);
    });
    ExpectStopsWithin([&] { server.Stop(); }, 5s, "DohTestServer::Stop");
    waiting.join();
}

TEST(DnsdistDohTest, AnswersADohPost)
{
    std::string missing = DnsdistRunner::Missing();
    if (!missing.empty())
        GTEST_SKIP() << missing;
    DnsdistRunner dnsdist;
    dnsdist.Start();

    std::string query = DnsQuery("probe.localhost", 1, 0x4321);
    Client client(dnsdist.CertificatePem());
    Reply reply = client.Post(dnsdist.Url(), query);
    ASSERT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code) << "\n" << dnsdist.Output();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.content_type, "application/dns-message");
    EXPECT_TRUE(IsDnsResponse(reply.body));
    EXPECT_EQ(reply.body.substr(0, 2), query.substr(0, 2));
    EXPECT_EQ(DnsAnswerAddresses(reply.body), std::vector<std::string>{DnsdistRunner::spoofed_address});
    EXPECT_EQ(client.Post(dnsdist.Url("/elsewhere"), query).status, 404);
    ExpectStopsWithin([&] { dnsdist.Stop(); }, 15s, "DnsdistRunner::Stop");
}

}  // namespace
