#include "support/cloud_service.h"

#include <utility>

CloudService::CloudService()
{
    server.SetHandler([this](const HttpRequest &request) { return Answer(request); });
    server.Start();
}

CloudService::~CloudService()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    released_cond.notify_all();
    server.Stop();
}

void CloudService::Script(const std::vector<CloudAnswer> &answers)
{
    std::lock_guard<std::mutex> guard(lock);
    script.insert(script.end(), answers.begin(), answers.end());
}

void CloudService::Release()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        last_release = std::chrono::steady_clock::now();
    }
    released_cond.notify_all();
}

json CloudService::Intel(const std::string &digest)
{
    return {{"category", "test"}, {"score", 80}, {"seen_digest", digest}};
}

json CloudService::AnswerFor(const std::string &body)
{
    json answer = json::object();
    for (const json &flow : json::parse(body))
        answer[flow.at("digest").get<std::string>()] = Intel(flow.at("digest").get<std::string>());
    return answer;
}

HttpResponse CloudService::Answer(const HttpRequest &request)
{
    CloudAnswer scripted;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!script.empty()) {
            scripted = std::move(script.front());
            script.pop_front();
        }
    }
    if (scripted.hold)
        WaitForRelease(request);

    HttpResponse response;
    response.status = scripted.status;
    response.headers = scripted.headers;
    if (scripted.content_type)
        response.headers.push_back({"Content-Type", *scripted.content_type});
    response.body = scripted.body ? *scripted.body : AnswerFor(request.body).dump();
    return response;
}

void CloudService::WaitForRelease(const HttpRequest &request)
{
    // By arrival time, not by when the wait begins: a test may release a
    // request it has seen arrive before its answer is held.
    std::unique_lock<std::mutex> guard(lock);
    released_cond.wait_for(guard, held_answer_limit, [&] { return stopping || last_release >= request.received_at; });
}
