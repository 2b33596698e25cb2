// The request thread's turns and the cloud lookup protocol: a one-element
// array holding the flow, posted as JSON to the "flow" URL of the host's
// intel bootstrap data; the answer is an object keyed by the flow's digest
// text, of which only the flow's own member is kept and passed on.
#include "feeds/cloud/api_request.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "vd_config.h"
#include "vd_flow.h"

#include "flow/flow_encoder.h"
#include "common/json_reader.h"
#include "feeds/cloud/answer_member_reader.h"
#include "feeds/cloud/cloud_answer.h"

namespace {

using vppThread::Guard;

// The longest single wait of a rate-limited thread: a stop flag set without
// Terminate is still seen within it.
constexpr std::chrono::seconds longest_backoff_step{1};
// How long a turn waits for a lookup before looking at the stop flag again.
constexpr int lookup_wait_seconds = 1;
// An answer's text is kept for the next exchange up to this size; a larger
// one is given back, or each thread would pin its largest answer for good.
constexpr size_t kept_content_capacity = 1 << 20;

constexpr vdFlags<vdFlow::EncodeFlags> lookup_encoding =
    vdFlags<vdFlow::EncodeFlags>(vdFlow::EncodeFlags::encode_metadata) | vdFlow::EncodeFlags::encode_tunnel |
    vdFlow::EncodeFlags::encode_stats;

struct HostSettings {
    uint8_t verbosity = 0;
    bool pretty_json = false;
};

// Throws when the host has no configuration: the lookup is then dropped.
HostSettings ReadHostSettings()
{
    const vdGlobalConfig &config = vdGlobalConfig::GetInstance();
    return {config.verbosity, config.flags.test(vdGlobalFlags::pretty_json)};
}

// The body posted for the event's flow; key is set to the digest text the
// flow goes under, which names its member of the answer.
std::string RequestBody(const vppEventQueue::Event &event, bool pretty, std::string &key)
{
    if (!event.flow)
        throw vdException("lookup without a flow");
    json flow;
    event.flow->Encode(flow, event.flow->stats, lookup_encoding);
    const json *digest = vppJson::FindMember(flow, "digest");
    key = digest != nullptr && digest->is_string() ? digest->get<std::string>() : vdfCloudAnswer::Key(*event.flow);
    json flows = json::array();
    flows.push_back(std::move(flow));
    std::string body;
    vd_json_to_string(flows, body, pretty);
    return body;
}

}  // namespace

vdfVelborApiRequest::vdfVelborApiRequest(const std::string &name, vppDataFeed::DataSource data_source,
                                         std::shared_ptr<vppEventQueue::Queue> request_queue,
                                         std::shared_ptr<vppEventQueue::Queue> event_queue)
    : vdVelborApiThread(name, vdVelborApiData::AuthMethod{}), data_source(data_source),
      request_queue(std::move(request_queue)), event_queue(std::move(event_queue))
{
    timeout_connect = connect_timeout;
    timeout_total = total_timeout;
}

vdfVelborApiRequest::~vdfVelborApiRequest()
{
    Terminate();
    Join();
}

void vdfVelborApiRequest::Terminate()
{
    vdVelborApiThread::Terminate();
    stop.Stop();
}

void *vdfVelborApiRequest::Entry()
{
    auto report = [this](const char *what) { vd_dprintf("%s: API request error: %s\n", tag.c_str(), what); };
    Guard([this] { vd_dprintf("%s: Request thread created.\n", tag.c_str()); }, report);
    while (!terminate)
        Guard([this] { RunTurn(); }, report);
    Guard([this] { vd_dprintf("%s: Exit.\n", tag.c_str()); }, report);
    return nullptr;
}

void vdfVelborApiRequest::RunTurn()
{
    // A rate-limited thread takes no lookups: they wait in the shared
    // queue, where the feed's other threads may take them.
    const vdfRateLimit::Clock::duration wait = backoff.Remaining();
    if (wait > vdfRateLimit::Clock::duration::zero()) {
        stop.WaitFor(std::min<vdfRateLimit::Clock::duration>(wait, longest_backoff_step));
        return;
    }

    // A stopping plug-in evaluates no more answers: lookups are left where
    // they are, for the feed to discard.
    if (event_queue->WaitsStopped()) {
        stop.WaitFor(longest_backoff_step);
        return;
    }
    vppEventQueue::Event event;
    if (!request_queue->PopSingle(event, lookup_wait_seconds) || event_queue->WaitsStopped())
        return;
    const std::string digest = event.flow ? vd_xxh64_to_string(event.flow->digest) : std::string();
    Guard([&] { HandleLookup(event, digest); },
          [this](const char *what) { vd_dprintf("%s: API request error: %s\n", tag.c_str(), what); });
}

void vdfVelborApiRequest::HandleLookup(vppEventQueue::Event &event, const std::string &digest)
{
    const uint8_t verbosity = ReadHostSettings().verbosity;
    // URL and authentication stay as first read until a 401 empties the URL.
    if (url_flow.empty() && !TakeBootstrapData(digest, verbosity))
        return;

    vppEventQueue::AnswerMember answer;
    const int64_t status = ProcessRequestEvent(event, answer);
    if (status == 200) {
        // Named after this thread, not the feed: drivers see who answered.
        event_queue->PushLookup(event, data_source, tag,
                                std::make_shared<const vppEventQueue::AnswerMember>(std::move(answer)));
        return;
    }
    if (status == 429) {
        request_queue->Push(std::move(event));
        return;
    }
    if (verbosity < 1)
        return;
    if (status < 0)
        vd_dprintf("%s: %s: lookup dropped: request failed.\n", tag.c_str(), digest.c_str());
    else
        vd_dprintf("%s: %s: lookup dropped: HTTP %ld.\n", tag.c_str(), digest.c_str(), static_cast<long>(status));
}

bool vdfVelborApiRequest::TakeBootstrapData(const std::string &digest, uint8_t verbosity)
{
    const std::shared_ptr<vdVelborApiManager> manager = vdInstance::GetInstance().api_manager;
    const std::shared_ptr<const vdVelborApiData> data =
        manager ? manager->GetBootstrapData(vdVelborApiData::intel) : nullptr;
    if (!data) {
        if (verbosity >= 1)
            vd_dprintf("%s: %s: lookup dropped: no bootstrap configuration yet.\n", tag.c_str(), digest.c_str());
        return false;
    }
    auto url = data->urls.find("flow");
    url_flow = url == data->urls.end() ? std::string() : url->second;
    if (url_flow.empty()) {
        if (verbosity >= 1) {
            vd_dprintf("%s: %s: lookup dropped: bootstrap configuration has no url_flow (MQTT is not supported).\n",
                       tag.c_str(), digest.c_str());
        }
        return false;
    }
    auth_method = data->auth;
    return true;
}

int64_t vdfVelborApiRequest::ProcessRequestEvent(const vppEventQueue::Event &event,
                                                 vppEventQueue::AnswerMember &answer)
{
    // Set once the exchange starts: the status read after a failure is then
    // this exchange's, not the last one's.
    bool exchanged = false;
    try {
        const HostSettings host = ReadHostSettings();
        headers_request.clear();
        SetAuthMethod(auth_method);
        headers_request["Content-Type"] = "application/json";
        const std::string body = RequestBody(event, host.pretty_json, answer.key);
        exchanged = true;
        Perform(method_post, url_flow, body);

        const long status = GetResponseCode();
        backoff.Apply(tag, status, headers_response);
        if (status == 429) {
            ReleaseContent();
            return 429;
        }
        const bool read = ReadAnswer(status, host.verbosity, host.pretty_json, answer);
        ReleaseContent();
        if (read && status == 401)
            vd_dprintf("%s: Authorization failure.\n", tag.c_str());
        ForgetUrlIfUnauthorized(status);
        return read ? status : -1;
    } catch (const std::exception &e) {
        vd_dprintf("%s: API request error: %s\n", tag.c_str(), e.what());
        ReleaseContent();
        if (exchanged)
            ForgetUrlIfUnauthorized(GetResponseCode());
        return -1;
    }
}

// A 401 means the token has changed, whatever came with it (no body, a page
// that is not JSON, a body cut short): the next lookup reads URL and token
// anew, or the thread would be refused until a restart. Emptied only after
// the lines that name the URL.
void vdfVelborApiRequest::ForgetUrlIfUnauthorized(long status)
{
    if (status == 401)
        url_flow.clear();
}

void vdfVelborApiRequest::ReleaseContent()
{
    if (content.capacity() > kept_content_capacity)
        std::string().swap(content);
}

bool vdfVelborApiRequest::ReadAnswer(long status, uint8_t verbosity, bool pretty,
                                     vppEventQueue::AnswerMember &answer)
{
    if (content.empty()) {
        vd_printf("%s: %s: empty payload.\n", tag.c_str(), url_flow.c_str());
        return false;
    }
    // Exactly this type: a parameter (a character set) is refused too.
    if (content_type != "application/json") {
        vd_printf("%s: %s: invalid content type: %s\n", tag.c_str(), url_flow.c_str(),
                  content_type.empty() ? "(none)" : content_type.c_str());
        return false;
    }
    std::string type_name;
    if (!ParseAnswer(answer, type_name))
        return false;
    // Drivers look the flow up by its digest: an answer must be an object.
    if (status == 200 && type_name != "object") {
        vd_dprintf("%s: error parsing API response: not a JSON object: %s\n", tag.c_str(), type_name.c_str());
        return false;
    }
    if (verbosity >= 3 && type_name == "object")
        LogContent(answer, pretty);
    return true;
}

// What was kept of the answer: the flow's member in its place, or nothing.
void vdfVelborApiRequest::LogContent(const vppEventQueue::AnswerMember &answer, bool pretty) const
{
    json kept = json::object();
    if (answer.value)
        kept[answer.key] = *answer.value;
    std::string text;
    vd_json_to_string(kept, text, pretty);
    vd_dprintf("%s: content:\n%s\n", tag.c_str(), text.c_str());
}

bool vdfVelborApiRequest::ParseAnswer(vppEventQueue::AnswerMember &answer, std::string &type_name)
{
    // The shared reader bounds the nesting depth of what the server sends;
    // the whole text is checked, the flow's member alone is built.
    try {
        vdfCloudAnswer::MemberReading reading = vdfCloudAnswer::ReadMember(content, url_flow, answer.key);
        type_name = std::move(reading.type_name);
        answer.value = std::move(reading.member.value);
        return true;
    } catch (const vppJson::SyntaxError &e) {
        vd_dprintf("%s: error parsing API response; JSON exception: %s\n", tag.c_str(), e.Problem().c_str());
    } catch (const vppJson::DocumentError &e) {
        vd_dprintf("%s: error parsing API response: %s\n", tag.c_str(), e.Problem().c_str());
    } catch (const std::exception &e) {
        vd_dprintf("%s: error parsing API response: %s\n", tag.c_str(), e.what());
    }
    return false;
}
