#include "soak/fault_services.h"

#include <chrono>
#include <random>

#include "vd_common.h"

namespace {

// How long each mode lasts: faults are short, answering long enough that
// lookups get through between them.
constexpr auto min_period = std::chrono::milliseconds(300);
constexpr auto max_period = std::chrono::milliseconds(1500);

constexpr const char *cloud_mode_names[cloud_modes] = {"answered", "throttled", "failed", "stalled", "closed port"};
constexpr const char *doh_mode_names[doh_modes] = {"answered", "not found", "stalled"};

// Answering comes back between every two faults.
constexpr CloudMode cloud_cycle[] = {CloudMode::answer, CloudMode::throttle, CloudMode::answer,     CloudMode::fail,
                                     CloudMode::answer, CloudMode::stall,    CloudMode::answer,     CloudMode::closed_port};
constexpr DohMode doh_cycle[] = {DohMode::answer, DohMode::not_found, DohMode::answer, DohMode::stall};

// The answer document for a posted body: every flow in category 7.
std::string CategoryAnswer(const std::string &body)
{
    json answer = json::object();
    for (const json &flow : json::parse(body))
        answer[flow.at("digest").get<std::string>()] = {{"category", {{"domain", answered_category}}}, {"score", 65}};
    return answer.dump();
}

}  // namespace

const char *CloudModeName(CloudMode mode)
{
    return cloud_mode_names[static_cast<size_t>(mode)];
}

const char *DohModeName(DohMode mode)
{
    return doh_mode_names[static_cast<size_t>(mode)];
}

FaultyCloud::FaultyCloud()
{
    server.SetHandler([this](const HttpRequest &request) { return Answer(request); });
    server.Start();
}

FaultyCloud::~FaultyCloud()
{
    server.Stop();
}

void FaultyCloud::SetMode(CloudMode next)
{
    mode = next;
}

std::array<uint64_t, cloud_modes> FaultyCloud::Served() const
{
    std::array<uint64_t, cloud_modes> counts{};
    for (size_t index = 0; index < cloud_modes; index++)
        counts[index] = served[index].load();
    return counts;
}

HttpResponse FaultyCloud::Answer(const HttpRequest &request)
{
    const CloudMode now = mode.load();
    served[static_cast<size_t>(now)]++;
    HttpResponse response;
    switch (now) {
    case CloudMode::throttle:
        response.status = 429;
        response.headers.push_back({"Retry-After", "1"});
        break;
    case CloudMode::fail:
        response.status = served[static_cast<size_t>(now)] % 2 ? 500 : 503;
        break;
    case CloudMode::stall:
        // Never answered: the request thread's timeout, a reload or the
        // stop ends the exchange.
        response.stall = true;
        break;
    default:
        response.headers.push_back({"Content-Type", "application/json"});
        response.body = CategoryAnswer(request.body);
        break;
    }
    return response;
}

FaultRotation::FaultRotation(FaultyCloud &cloud, DohTestServer &doh, std::shared_ptr<vdVelborApiManager> api,
                             uint64_t seed)
    : cloud(cloud), doh(doh), api(std::move(api)), seed(seed), closed_port(UnusedLoopbackPort())
{
}

FaultRotation::~FaultRotation()
{
    Stop();
}

void FaultRotation::PointCloudAt(vdVelborApiManager &api, const std::string &url)
{
    auto data = std::make_shared<vdVelborApiData>();
    data->urls["flow"] = url;
    data->auth.bearer_token = "soak-token";
    api.SetBootstrapData(vdVelborApiData::intel, data);
}

void FaultRotation::Start()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = false;
    }
    thread = std::thread([this] { Run(); });
}

void FaultRotation::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
    // Both services answer again for whoever comes next.
    SwitchCloud(CloudMode::answer, false);
    SwitchDoh(DohMode::answer, false);
}

FaultRotation::Figures FaultRotation::Counts()
{
    std::lock_guard<std::mutex> guard(lock);
    Figures out = figures;
    out.cloud_served = cloud.Served();
    out.doh_requests[static_cast<size_t>(doh_mode)] += doh.Requests().size() - doh_counted;
    return out;
}

void FaultRotation::Run()
{
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int64_t> period(min_period.count(), max_period.count());
    size_t cloud_step = 0;
    size_t doh_step = 0;
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        // Each service changes on alternate steps, so their faults overlap
        // in every combination.
        guard.unlock();
        if (cloud_step <= doh_step)
            SwitchCloud(cloud_cycle[++cloud_step % std::size(cloud_cycle)]);
        else
            SwitchDoh(doh_cycle[++doh_step % std::size(doh_cycle)]);
        guard.lock();
        wake.wait_for(guard, std::chrono::milliseconds(period(random)), [&] { return stopping; });
    }
}

void FaultRotation::SwitchCloud(CloudMode next, bool counted)
{
    std::lock_guard<std::mutex> guard(lock);
    if (cloud_mode == CloudMode::closed_port || next == CloudMode::closed_port)
        PointCloudAt(*api, next == CloudMode::closed_port ? "http://127.0.0.1:" + std::to_string(closed_port) + "/v1/flow"
                                                          : cloud.Url());
    cloud_mode = next;
    cloud.SetMode(next);
    if (counted)
        figures.cloud_periods[static_cast<size_t>(next)]++;
}

void FaultRotation::SwitchDoh(DohMode next, bool counted)
{
    std::lock_guard<std::mutex> guard(lock);
    const size_t requests = doh.Requests().size();
    figures.doh_requests[static_cast<size_t>(doh_mode)] += requests - doh_counted;
    doh_counted = requests;
    doh_mode = next;
    switch (next) {
    case DohMode::answer:
        doh.Route(doh_path, DohRoute::Answer());
        break;
    case DohMode::not_found:
        doh.Route(doh_path, DohRoute::Status(404));
        break;
    case DohMode::stall:
        doh.Route(doh_path, DohRoute::Stall());
        break;
    }
    if (counted)
        figures.doh_periods[static_cast<size_t>(next)]++;
}
