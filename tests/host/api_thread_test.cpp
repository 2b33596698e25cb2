// The web-API request thread against a real loopback server, and the API
// manager's shared state under concurrent access.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/error_text.h"
#include "support/http_server.h"
#include "vd_api.h"
#include "vd_config.h"

namespace {

using namespace std::chrono_literals;

class TestApiThread : public vdVelborApiThread
{
public:
    TestApiThread() : vdVelborApiThread("api-test", vdVelborApiData::AuthMethod{}) {}
    ~TestApiThread() override { Join(); }
    void *Entry() override { return nullptr; }
};

// The message Perform throws, or "" when it returns.
std::string PerformError(vdVelborApiThread &api, uint8_t method, const std::string &url)
{
    return ErrorText([&] { api.Perform(method, url); });
}

class ApiThreadTest : public ::testing::Test
{
protected:
    void SetUp() override { server.Start(); }

    LoopbackHttpServer server;
    TestApiThread api;
};

TEST_F(ApiThreadTest, GetFillsResponseForAnyStatus)
{
    server.SetHandler([](const HttpRequest &request) {
        HttpResponse response;
        response.status = std::stoi(request.path.substr(request.path.rfind('/') + 1));
        response.headers = {{"Content-Type", "application/json; charset=utf-8"},
                            {"X-RateLimit-Remaining", " \t7 "},
                            {"X-Repeated", "first"},
                            {"x-REPEATED", "last"}};
        response.body = R"({"status":)" + std::to_string(response.status) + "}";
        return response;
    });

    for (int status : {200, 401, 429, 503}) {
        SCOPED_TRACE(status);
        api.Perform(vdVelborApiThread::method_get, server.Url("/status/" + std::to_string(status)));
        EXPECT_EQ(api.GetResponseCode(), status);
        EXPECT_EQ(api.content, R"({"status":)" + std::to_string(status) + "}");
        EXPECT_EQ(api.content_type, "application/json; charset=utf-8");
        std::map<std::string, std::string> expected = {{"connection", "close"},
                                                       {"content-length", std::to_string(api.content.size())},
                                                       {"content-type", "application/json; charset=utf-8"},
                                                       {"x-ratelimit-remaining", "7"},
                                                       {"x-repeated", "last"}};
        EXPECT_EQ(api.headers_response, expected);
    }

    std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/status/200");
    EXPECT_EQ(requests[0].Header("User-Agent"), vd_get_version_and_features(false));
}

TEST_F(ApiThreadTest, PostSendsExactBodyRequestHeadersAndBearerToken)
{
    // Every byte value, NUL included, and long enough that curl would
    // otherwise hold the body back for a 100 Continue.
    std::string body;
    for (int i = 0; i < 4096; i++)
        body.push_back(static_cast<char>(i % 256));
    api.SetAuthMethod({"secret-token"});
    api.headers_request = {{"Content-Type", "application/octet-stream"}, {"X-Agent-Id", "agent-1"}, {"X-Empty", ""}};

    api.Perform(vdVelborApiThread::method_post, server.Url("/upload"), body);

    std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const HttpRequest &request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, body);
    EXPECT_EQ(request.Header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(request.Header("X-Agent-Id"), "agent-1");
    EXPECT_EQ(request.Header("X-Empty"), "");
    EXPECT_EQ(request.Header("Authorization"), "Bearer secret-token");
    EXPECT_FALSE(request.Header("Expect"));
}

TEST_F(ApiThreadTest, SecondPerformStartsFromEmptyResponse)
{
    server.SetHandler([](const HttpRequest &request) {
        HttpResponse response;
        if (request.path == "/full") {
            response.headers = {{"Content-Type", "text/plain"}, {"X-Only-First", "yes"}};
            response.body = "first body";
        } else {
            response.status = 204;
        }
        return response;
    });

    api.Perform(vdVelborApiThread::method_get, server.Url("/full"));
    ASSERT_EQ(api.content, "first body");
    api.Perform(vdVelborApiThread::method_get, server.Url("/empty"));

    EXPECT_EQ(api.GetResponseCode(), 204);
    EXPECT_EQ(api.content, "");
    EXPECT_EQ(api.content_type, "");
    EXPECT_EQ(api.headers_response.count("x-only-first"), 0u);
    for (const HttpRequest &request : server.Requests())
        EXPECT_FALSE(request.Header("Authorization")) << "no token set, yet sent on " << request.path;
}

TEST_F(ApiThreadTest, TransportFailuresThrowNamingUrl)
{
    server.SetHandler([](const HttpRequest &request) {
        HttpResponse response;
        response.drop = request.path == "/drop";
        response.delay = request.path == "/slow" ? 10s : 0s;  // Stop cuts it short.
        return response;
    });
    api.timeout_connect = 1;
    api.timeout_total = 1;

    const std::string closed_port = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/";
    struct Case {
        const char *what;
        std::string url;
    } cases[] = {
        {"connection refused", closed_port},
        {"closed without reply", server.Url("/drop")},
        {"total timeout", server.Url("/slow")},
        {"malformed URL", "http://127.0.0.1:99999/"},
        {"protocol not allowed", "file:///etc/hostname"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string error = PerformError(api, vdVelborApiThread::method_get, c.url);
        EXPECT_NE(error.find(c.url), std::string::npos) << error;
    }
}

TEST_F(ApiThreadTest, UnsupportedMethodThrowsNamingIt)
{
    std::string error = PerformError(api, 3, server.Url("/"));
    EXPECT_NE(error.find("method: 3"), std::string::npos) << error;
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(ApiThreadTest, OversizedResponseIsRefused)
{
    server.SetHandler([](const HttpRequest &) {
        HttpResponse response;
        response.body.assign(16 * 1024 * 1024 + 1, 'x');
        return response;
    });
    std::string error = PerformError(api, vdVelborApiThread::method_get, server.Url("/big"));
    EXPECT_NE(error.find("exceeds"), std::string::npos) << error;
    EXPECT_LE(api.content.size(), 16u * 1024 * 1024);
}

TEST_F(ApiThreadTest, TerminateAbortsRequestInFlight)
{
    server.SetHandler([](const HttpRequest &) {
        HttpResponse response;
        response.delay = 60s;
        return response;
    });
    std::thread terminator([&] {
        if (server.WaitForRequests(1, 30s))
            api.Terminate();
    });
    std::string error = PerformError(api, vdVelborApiThread::method_get, server.Url("/slow"));
    terminator.join();
    EXPECT_NE(error.find("terminating"), std::string::npos) << error;
}

// An exception from an AppendContent override must come out of Perform, not
// unwind through curl.
TEST_F(ApiThreadTest, AppendContentFailureSurfacesFromPerform)
{
    class RefusingApiThread : public TestApiThread
    {
    public:
        void AppendContent(const char *, size_t) override { throw std::length_error("refused by subclass"); }
    } refusing;
    server.SetHandler([](const HttpRequest &) {
        HttpResponse response;
        response.body = "payload";
        return response;
    });
    EXPECT_THROW(refusing.Perform(vdVelborApiThread::method_get, server.Url("/")), std::length_error);
}

TEST_F(ApiThreadTest, CurlDebugLogMasksBearerToken)
{
    std::mutex lines_lock;
    std::vector<std::string> lines;
    vd_log_set_sink([&](vdLogLevel, const std::string &line) {
        std::lock_guard<std::mutex> guard(lines_lock);
        lines.push_back(line);
    });
    {
        vdGlobalConfig config;
        config.flags = vdGlobalFlags::debug_curl;
        api.SetAuthMethod({"secret-token"});
        api.Perform(vdVelborApiThread::method_get, server.Url("/"));
    }
    vd_log_set_sink(nullptr);

    bool saw_authorization = false;
    for (const std::string &line : lines) {
        EXPECT_EQ(line.find("secret-token"), std::string::npos) << line;
        saw_authorization = saw_authorization || line.find("Authorization:") != std::string::npos;
    }
    EXPECT_TRUE(saw_authorization);
    EXPECT_EQ(server.Requests().at(0).Header("Authorization"), "Bearer secret-token");
}

vdVelborApiData::Signature MakeSignature(const std::string &tag, uint32_t version)
{
    vdVelborApiData::Signature signature;
    signature.tag = tag;
    signature.format = "json";
    signature.version = version;
    signature.path = "/signatures/" + tag;
    signature.definition = {{"tag", tag}};
    return signature;
}

TEST(ApiManagerTest, BootstrapDataByTypeAndSignaturesReplaced)
{
    vdVelborApiManager manager;
    EXPECT_EQ(manager.GetBootstrapData(vdVelborApiData::intel), nullptr);

    auto intel = std::make_shared<vdVelborApiData>();
    intel->urls["lookup"] = "http://127.0.0.1/lookup";
    manager.SetBootstrapData(vdVelborApiData::intel, intel);
    EXPECT_EQ(manager.GetBootstrapData(vdVelborApiData::intel), intel);
    EXPECT_EQ(manager.GetBootstrapData(vdVelborApiData::agent), nullptr);
    manager.SetBootstrapData(vdVelborApiData::intel, nullptr);
    EXPECT_EQ(manager.GetBootstrapData(vdVelborApiData::intel), nullptr);

    vdVelborApiManager::Signatures out = {{"stale", MakeSignature("stale", 1)}};
    manager.GetIntelSignatures(out);
    EXPECT_TRUE(out.empty());
    vdVelborApiManager::Signatures offered = {{"a", MakeSignature("a", 2)}, {"b", MakeSignature("b", 3)}};
    manager.SetIntelSignatures(offered);
    manager.GetIntelSignatures(out);
    EXPECT_EQ(out, offered);
}

// Readers must only ever see one whole set the writer stored, never a mix.
// The writer starts once every reader runs and goes on until each has read
// many times while it wrote, so reads and writes overlap in every run: a
// read without the lock then shows as a mix or a crash, under ASan as a use
// of freed memory (each bootstrap snapshot is new, so the one it replaces
// is freed) and under TSan as a race. The read counts are relaxed, so that
// they order nothing TSan could take for the lock.
TEST(ApiManagerTest, ConcurrentReadersSeeWholeSnapshots)
{
    constexpr int reader_count = 3;
    constexpr uint64_t reads_while_writing = 20000;  // by each reader
    constexpr int min_writes = 2000;
    const auto deadline = std::chrono::steady_clock::now() + 10s;

    vdVelborApiManager manager;
    const vdVelborApiManager::Signatures first = {{"a", MakeSignature("a", 1)}, {"b", MakeSignature("b", 1)}};
    const vdVelborApiManager::Signatures second = {{"c", MakeSignature("c", 2)}};
    auto snapshot = [](const char *token) {
        auto data = std::make_shared<vdVelborApiData>();
        data->auth.bearer_token = token;
        return data;
    };

    std::atomic<bool> writing{true};
    std::atomic<int> mixed{0};
    std::vector<std::atomic<uint64_t>> reads(reader_count);
    std::vector<std::thread> readers;
    for (int r = 0; r < reader_count; r++) {
        readers.emplace_back([&, r] {
            vdVelborApiManager::Signatures out;
            do {
                manager.GetIntelSignatures(out);
                if (!out.empty() && out != first && out != second)
                    mixed++;
                auto data = manager.GetBootstrapData(vdVelborApiData::agent);
                if (data != nullptr && data->auth.bearer_token != "first" && data->auth.bearer_token != "second")
                    mixed++;
                reads[r].fetch_add(1, std::memory_order_relaxed);
            } while (writing);
        });
    }

    // The fewest reads any reader has made so far.
    auto fewest_reads = [&] {
        uint64_t fewest = UINT64_MAX;
        for (const auto &count : reads)
            fewest = std::min(fewest, count.load(std::memory_order_relaxed));
        return fewest;
    };
    while (fewest_reads() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    const uint64_t reads_before = fewest_reads();

    int writes = 0;
    for (; writes < min_writes || (fewest_reads() - reads_before < reads_while_writing &&
                                   std::chrono::steady_clock::now() < deadline);
         writes++) {
        manager.SetIntelSignatures(writes % 2 ? first : second);
        manager.SetBootstrapData(vdVelborApiData::agent,
                                 writes % 3 ? snapshot("first") : writes % 2 ? snapshot("second") : nullptr);
    }
    const uint64_t overlapping = fewest_reads() - reads_before;
    writing = false;
    for (std::thread &reader : readers)
        reader.join();

    EXPECT_GE(overlapping, reads_while_writing) << "reads and writes hardly overlapped in " << writes << " writes";
    EXPECT_EQ(mixed, 0);
}

}  // namespace
