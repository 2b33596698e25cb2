// The network the plug-in talks to during the soak, failing in turn: the
// cloud lookup service (answering, throttling with 429 and Retry-After,
// failing with 5xx, stalling past the timeout, or gone: a closed port) and
// a DoH server (answering, 404, stalling). A rotation thread switches the
// modes and counts what each served.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/doh_server.h"
#include "support/http_server.h"
#include "vd_api.h"

enum class CloudMode : uint8_t { answer, throttle, fail, stall, closed_port };
inline constexpr size_t cloud_modes = 5;
enum class DohMode : uint8_t { answer, not_found, stall };
inline constexpr size_t doh_modes = 3;

const char *CloudModeName(CloudMode mode);
const char *DohModeName(DohMode mode);

// The category every answer gives a flow; the soak's category indicator
// looks for it.
inline constexpr int answered_category = 7;

class FaultyCloud
{
public:
    // Starts serving at once.
    FaultyCloud();
    ~FaultyCloud();

    void SetMode(CloudMode mode);
    std::string Url() const { return server.Url("/v1/flow"); }
    // Requests served in each mode (closed_port: none reach the service).
    std::array<uint64_t, cloud_modes> Served() const;

private:
    HttpResponse Answer(const HttpRequest &request);

    std::atomic<CloudMode> mode{CloudMode::answer};
    std::array<std::atomic<uint64_t>, cloud_modes> served{};
    LoopbackHttpServer server;
};

// Switches the modes of both services on its own clock until stopped; the
// closed port is the cloud URL in the host's bootstrap data pointing at a
// port nothing listens on, taken up by the request threads a reload starts.
class FaultRotation
{
public:
    FaultRotation(FaultyCloud &cloud, DohTestServer &doh, std::shared_ptr<vdVelborApiManager> api, uint64_t seed);
    ~FaultRotation();

    void Start();
    void Stop();

    struct Figures {
        std::array<uint64_t, cloud_modes> cloud_periods{};
        std::array<uint64_t, cloud_modes> cloud_served{};
        std::array<uint64_t, doh_modes> doh_periods{};
        std::array<uint64_t, doh_modes> doh_requests{};  // DoH requests during each mode
    };
    Figures Counts();

    // The bootstrap data pointing at url.
    static void PointCloudAt(vdVelborApiManager &api, const std::string &url);

private:
    void Run();
    // counted: a fault period of the figures, not the restoring at a stop.
    void SwitchCloud(CloudMode next, bool counted = true);
    void SwitchDoh(DohMode next, bool counted = true);

    FaultyCloud &cloud;
    DohTestServer &doh;
    const std::shared_ptr<vdVelborApiManager> api;
    const uint64_t seed;
    const uint16_t closed_port;

    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
    CloudMode cloud_mode = CloudMode::answer;
    DohMode doh_mode = DohMode::answer;
    size_t doh_counted = 0;  // DoH requests attributed to a mode so far
    Figures figures;
};
