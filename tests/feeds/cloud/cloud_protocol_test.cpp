// The cloud lookup protocol as a request thread speaks it to a real HTTP
// server: what is posted, which answers are delivered, and how every other
// answer or failure drops the one lookup while the thread goes on.
#include <functional>

#include "flow/flow_encoder.h"
#include "feeds/cloud/cloud_answer.h"
#include "feeds/cloud/cloud_fixture.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;
using vppEventQueue::Event;

using CloudProtocolTest = CloudFeedTest;

json EncodedForLookup(const vdFlow::Ptr &flow)
{
    json encoded;
    flow->Encode(encoded, flow->stats, vdFlow::EncodeFlags::encode_all);
    return encoded;
}

TEST_F(CloudProtocolTest, AFlowIsPostedAloneInAnArrayAndItsAnswerIsKeyedByItsLastDigest)
{
    struct Case {
        const char *what;
        vdFlow::Ptr flow;
        // The digest text the answer is keyed by.
        std::string key;
        bool pretty;
    } cases[] = {
        {"no history: the flow's digest", Flow(0x1111), Text(0x1111), false},
        {"a history: its last digest", Flow(0x2222, {0xa, 0xb, 0xc}), Text(0xc), false},
        {"pretty JSON asked for", Flow(0x3333), Text(0x3333), true},
    };
    StartFeed();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        config->flags = c.pretty ? vdFlags<vdGlobalFlags>(vdGlobalFlags::pretty_json) : vdFlags<vdGlobalFlags>();
        const size_t before = service.Requests().size();
        Lookup(c.flow);

        std::optional<Event> answer = NextAnswer();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->type, Event::LOOKUP);
        EXPECT_EQ(answer->flow, c.flow);
        EXPECT_EQ(answer->event, vdPluginProcessor::dpi_complete);
        EXPECT_EQ(answer->Read().data_source, vppDataFeed::DataSource::cloud_intel);
        // The thread that asked, not the feed.
        EXPECT_EQ(answer->Read().data_feed, "cloud_intel0");
        ASSERT_TRUE(answer->Read().answer);
        EXPECT_EQ(answer->Read().answer->key, c.key);
        EXPECT_EQ(answer->Read().answer->value, CloudService::Intel(c.key));
        EXPECT_EQ(answer->Read().cached_indicators, std::unordered_set<std::string>{"cached"});
        EXPECT_TRUE(answer->Read().entries.empty());

        std::vector<HttpRequest> requests = service.Requests();
        ASSERT_EQ(requests.size(), before + 1);
        const HttpRequest &request = requests.back();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/v1/flow");
        EXPECT_EQ(request.Header("Content-Type"), "application/json");
        EXPECT_EQ(request.Header("Authorization"), "Bearer token-1");
        const json body = json::parse(request.body);
        EXPECT_EQ(body, json::array({EncodedForLookup(c.flow)}));
        EXPECT_EQ(body.at(0).at("digest"), c.key);
        // What drivers read: the member under the digest the flow was sent with.
        EXPECT_EQ(vdfCloudAnswer::Key(*c.flow), c.key);
        EXPECT_EQ(vdfCloudAnswer::Find(*answer), &*answer->Read().answer->value);
        // Metadata, tunnel and statistics groups: addresses and counters.
        EXPECT_EQ(body.at(0).at("other_ip"), "198.51.100.20");
        EXPECT_TRUE(body.at(0).contains("local_bytes"));
        EXPECT_EQ(request.body.find('\n') != std::string::npos, c.pretty);
    }
    EXPECT_TRUE(log.Contains("cloud_intel0: content:\n"));
}

TEST_F(CloudProtocolTest, EveryAnswerThatIsNotDeliveredDropsItsLookupWithTheReason)
{
    const std::string too_deep = std::string(100, '[') + std::string(100, ']');
    struct Case {
        const char *what;
        CloudAnswer answer;
        std::string reason;   // after "cloud_intel0: "
        std::string dropped;  // after "cloud_intel0: <digest>: lookup dropped: "
    } cases[] = {
        {"a character set after the type",
         {.content_type = "application/json; charset=utf-8"},
         service.Url() + ": invalid content type: application/json; charset=utf-8\n",
         "request failed.\n"},
        {"no content type",
         {.content_type = std::nullopt},
         service.Url() + ": invalid content type: (none)\n",
         "request failed.\n"},
        {"another type",
         {.content_type = "text/plain"},
         service.Url() + ": invalid content type: text/plain\n",
         "request failed.\n"},
        {"an empty body", {.body = ""}, service.Url() + ": empty payload.\n", "request failed.\n"},
        {"a body that is not JSON",
         {.body = R"({"a": )"},
         "error parsing API response; JSON exception: ",
         "request failed.\n"},
        {"a document that is not an object",
         {.body = "[1]"},
         "error parsing API response: not a JSON object: array\n",
         "request failed.\n"},
        {"a document nested too deep",
         {.body = too_deep},
         "error parsing API response: line 1: nested deeper than 64 levels\n",
         "request failed.\n"},
        // A line comment ends at a carriage return too: what follows is JSON.
        {"nesting behind a comment ended by CR",
         {.body = "{\"a\": //\r" + std::string(100000, '[') + std::string(100000, ']') + "\n}"},
         "error parsing API response: line 1: nested deeper than 64 levels\n",
         "request failed.\n"},
        {"a server error with a JSON body", {.status = 500, .body = "{}"}, "content:\n{}\n", "HTTP 500.\n"},
        {"a server error without a body",
         {.status = 500, .body = ""},
         service.Url() + ": empty payload.\n",
         "request failed.\n"},
        {"not found", {.status = 404, .body = R"({"error": "no such flow"})"}, "content:\n", "HTTP 404.\n"},
    };
    StartFeed();
    uint64_t digest = 0x100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        service.Script({c.answer});
        Lookup(Flow(++digest));
        ASSERT_TRUE(log.WaitFor("cloud_intel0: " + Text(digest) + ": lookup dropped: " + c.dropped))
            << testing::PrintToString(log.Lines());
        EXPECT_TRUE(log.Contains("cloud_intel0: " + c.reason)) << testing::PrintToString(log.Lines());
        EXPECT_FALSE(NextAnswer(0).has_value());
    }

    // The thread goes on answering.
    Lookup(Flow(0x1ff));
    std::optional<Event> answer = NextAnswer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->flow->digest, 0x1ffu);
}

// Any 401 empties the URL, whatever came with it, so the next lookup reads
// URL and token anew: a token changed by the host is taken up at once. Other
// refusals leave both as they were.
TEST_F(CloudProtocolTest, AnAuthorizationFailureReadsUrlAndTokenAgainWhateverItsBody)
{
    struct Case {
        const char *what;
        CloudAnswer answer;
        std::vector<std::string> lines;
        bool read_again;
    } cases[] = {
        {"a JSON body",
         {.status = 401, .body = R"({"error": "expired"})"},
         {"cloud_intel0: Authorization failure.\n", "lookup dropped: HTTP 401.\n"},
         true},
        {"an empty body",
         {.status = 401, .body = ""},
         {service.Url("/v1/flow") + ": empty payload.\n", "lookup dropped: request failed.\n"},
         true},
        {"a page that is not JSON",
         {.status = 401, .content_type = "text/html", .body = "<html>Unauthorized</html>"},
         {service.Url("/v1/flow") + ": invalid content type: text/html\n", "lookup dropped: request failed.\n"},
         true},
        {"a JSON type on text that is not JSON",
         {.status = 401, .body = "Unauthorized"},
         {"error parsing API response; JSON exception: ", "lookup dropped: request failed.\n"},
         true},
        {"a body cut short",
         {.status = 401, .headers = {{"Content-Length", "1000"}}, .body = "{}"},
         {"cloud_intel0: API request error: cloud_intel0: POST " + service.Url("/v1/flow") + ": ",
          "lookup dropped: request failed.\n"},
         true},
        {"another refusal without a body",
         {.status = 403, .body = ""},
         {service.Url("/v1/flow") + ": empty payload.\n", "lookup dropped: request failed.\n"},
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        Bootstrap(service.Url("/v1/flow"), "token-1");
        StartFeed();
        service.Script({c.answer});
        Lookup(Flow(0x401));
        for (const std::string &line : c.lines)
            ASSERT_TRUE(log.WaitFor(line)) << line << testing::PrintToString(log.Lines());

        // The host's token changes; lookups after it are answered with it.
        Bootstrap(service.Url("/v2/flow"), "token-2");
        for (const uint64_t digest : {0x402, 0x403}) {
            Lookup(Flow(digest));
            ASSERT_TRUE(NextAnswer()) << testing::PrintToString(log.Lines());
            const HttpRequest request = service.Requests().back();
            EXPECT_EQ(request.path, c.read_again ? "/v2/flow" : "/v1/flow");
            EXPECT_EQ(request.Header("Authorization"), c.read_again ? "Bearer token-2" : "Bearer token-1");
        }
        feed.reset();
    }
}

// Each failure costs one lookup, logged with the thread's name; the next
// lookup, with the cause gone, is answered by the same thread.
TEST_F(CloudProtocolTest, AFailingLookupIsDroppedAndTheThreadGoesOn)
{
    const std::string closed_url = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/v1/flow";
    auto restore_bootstrap = [this] { Bootstrap(service.Url(), "token-1"); };
    struct Case {
        const char *what;
        std::function<void()> cause;
        std::function<void()> cure;
        vdFlow::Ptr flow;
        std::vector<std::string> lines;
        // The URL in use stays until a 401: only a new thread sees the cure.
        bool url_kept = false;
    } cases[] = {
        {"no bootstrap data yet",
         [this] { instance->api_manager->SetBootstrapData(vdVelborApiData::intel, nullptr); },
         restore_bootstrap,
         Flow(0xc1),
         {"cloud_intel0: " + Text(0xc1) + ": lookup dropped: no bootstrap configuration yet.\n"}},
        {"bootstrap data without a flow URL",
         [this] {
             auto data = std::make_shared<vdVelborApiData>();
             data->urls["agent"] = service.Url("/agent");
             instance->api_manager->SetBootstrapData(vdVelborApiData::intel, data);
         },
         restore_bootstrap,
         Flow(0xc2),
         {"cloud_intel0: " + Text(0xc2) +
          ": lookup dropped: bootstrap configuration has no url_flow (MQTT is not supported).\n"}},
        {"no host configuration",
         [this] { config.reset(); },
         [this] {
             config.emplace();
             config->verbosity = 3;
         },
         Flow(0xc3),
         {"cloud_intel0: API request error: static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not "
          "found\n"}},
        {"no host instance",
         [this] { instance.reset(); },
         [this] {
             instance.emplace();
             instance->api_manager = std::make_shared<vdVelborApiManager>();
             Bootstrap(service.Url(), "token-1");
         },
         Flow(0xc4),
         {"cloud_intel0: API request error: static vdInstance &vdInstance::GetInstance(): instance not found\n"}},
        {"a lookup without a flow",
         [] {},
         [] {},
         nullptr,
         {"cloud_intel0: API request error: lookup without a flow\n",
          "cloud_intel0: : lookup dropped: request failed.\n"}},
        {"nothing listening",
         [&] { Bootstrap(closed_url, "token-1"); },
         restore_bootstrap,
         Flow(0xc6),
         {"cloud_intel0: API request error: cloud_intel0: POST " + closed_url + ": ",
          "cloud_intel0: " + Text(0xc6) + ": lookup dropped: request failed.\n"},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        StartFeed();  // A new thread reads the bootstrap data afresh.
        const size_t before = service.Requests().size();
        c.cause();
        cloud->LookupEventPush(FlowEvent(c.flow));
        for (const std::string &line : c.lines)
            ASSERT_TRUE(log.WaitFor(line)) << line << testing::PrintToString(log.Lines());
        EXPECT_EQ(service.Requests().size(), before);
        EXPECT_FALSE(NextAnswer(0).has_value());

        c.cure();
        if (c.url_kept)
            StartFeed();
        Lookup(Flow(0xcf));
        std::optional<Event> answer = NextAnswer();
        ASSERT_TRUE(answer) << testing::PrintToString(log.Lines());
        EXPECT_EQ(answer->flow->digest, 0xcfu);
    }
}

// An exchange ends at the thread's total timeout when the server does not
// answer, and the thread takes the next lookup.
TEST_F(CloudProtocolTest, AnExchangeIsBoundedByTheTotalTimeout)
{
    auto request_queue = vppEventQueue::Queue::Create("cloud_intel");
    auto thread = std::make_unique<vdfVelborApiRequest>("cloud_intel0", vppDataFeed::DataSource::cloud_intel,
                                                        request_queue, event_queue);
    thread->timeout_connect = 1;
    thread->timeout_total = 1;
    service.Script({CloudAnswer{.hold = true}});
    thread->Create();

    request_queue->Push(FlowEvent(Flow(0xd1)));
    ASSERT_TRUE(log.WaitFor("cloud_intel0: " + Text(0xd1) + ": lookup dropped: request failed.\n"));
    EXPECT_TRUE(
        log.Contains("cloud_intel0: API request error: cloud_intel0: POST " + service.Url() + ": Operation timed out"))
        << testing::PrintToString(log.Lines());
    service.Release();

    request_queue->Push(FlowEvent(Flow(0xd2)));
    std::optional<Event> answer = NextAnswer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->flow->digest, 0xd2u);
    ExpectStopsWithin([&] { thread.reset(); }, 3s, "stopping the thread");
}

}  // namespace
