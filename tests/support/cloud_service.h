// The cloud lookup service for tests, played by the loopback HTTP server:
// each posted flow is answered under its digest text, unless an answer was
// scripted for the request. Every request is recorded with its arrival time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "vd_common.h"

// One scripted response; unset parts take the service's defaults.
struct CloudAnswer {
    int status = 200;
    HttpHeaders headers{};
    // nullopt: no Content-Type header at all.
    std::optional<std::string> content_type = "application/json";
    // nullopt: the answer document for the posted flows.
    std::optional<std::string> body{};
    // Held back until Release (at most held_answer_limit).
    bool hold = false;
};

class CloudService
{
public:
    // A held answer goes out after this even without Release.
    static constexpr std::chrono::seconds held_answer_limit{20};

    // Starts serving at once.
    CloudService();
    ~CloudService();

    CloudService(const CloudService &) = delete;
    CloudService &operator=(const CloudService &) = delete;

    // Queues answers for the next requests, one per request, in order.
    void Script(const std::vector<CloudAnswer> &answers);
    // Lets the held answers to requests received so far go; answers to
    // later requests are held again.
    void Release();

    std::string Url(const std::string &path = "/v1/flow") const { return server.Url(path); }
    std::vector<HttpRequest> Requests() const { return server.Requests(); }
    bool WaitForRequests(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const
    {
        return server.WaitForRequests(count, deadline);
    }

    // What the service says about the flow of digest text.
    static json Intel(const std::string &digest);
    // The answer document for a posted body: one member per flow, by digest.
    static json AnswerFor(const std::string &body);

private:
    HttpResponse Answer(const HttpRequest &request);
    void WaitForRelease(const HttpRequest &request);

    std::mutex lock;
    std::condition_variable released_cond;
    std::deque<CloudAnswer> script;
    // A held answer waits for a release after its request arrived.
    std::chrono::steady_clock::time_point last_release{};
    bool stopping = false;
    LoopbackHttpServer server;
};
