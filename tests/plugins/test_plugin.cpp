// A small processor plug-in that exercises the replay host. For every flow
// handed in it sends a sink payload and a processor record from its worker;
// it counts reloads and polls and reports what the host set up in its status.
// It keeps only a weak reference to each flow once reported, and reports the
// digests of those still alive (held by the host) in its status ("alive")
// and, when deleted, in <state>/test-plugin-alive.json.
//
// Its conf file (JSON) may ask it to misbehave at creation:
// {"refuse": true} returns no plug-in, {"throw": true} throws, and
// {"not_processor": true} returns a plug-in of the wrong class.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

#include "velbord.h"

namespace {

// How long a status request waits for the worker to let go of the flows it
// was handed; past it the status reports what is alive all the same.
constexpr auto max_idle_wait = std::chrono::seconds(10);

std::string AddressText(const vdAddr &address, vdFlags<vdAddr::MakeFlags> flags = vdAddr::MakeFlags::plain)
{
    std::string text;
    vdAddr::MakeString(address, text, flags);
    return text;
}

// The members the replay host converts rather than copies, as the plug-in
// sees them.
json DescribeFlow(const vdFlow &flow)
{
    const auto with_port = vdAddr::MakeFlags::port;
    json digest_prev = json::array();
    for (auto digest : flow.digest_prev)
        digest_prev.push_back(vd_xxh64_to_string(digest));
    std::string fingerprint;
    vd_sha1_to_string(flow.ssl_cert_fingerprint, fingerprint);
    return {
        {"lower_addr", AddressText(flow.lower_addr, with_port)},
        {"upper_addr", AddressText(flow.upper_addr, with_port)},
        {"lower_mac", AddressText(flow.lower_mac)},
        {"digest_prev", digest_prev},
        {"ip_version", flow.ip_version},
        {"master_protocol", flow.GetMasterProtocol()},
        {"gtp_lower_teid", ntohl(flow.gtp.lower_teid)},
        {"gtp_upper_addr", AddressText(flow.gtp.upper_addr, with_port)},
        {"stun_mapped", AddressText(flow.stun_mapped, with_port)},
        {"lower_bytes", flow.stats.lower_bytes},
        {"lower_rate", flow.stats.lower_rate},
        {"iface", flow.iface ? json{{"ifname", flow.iface->ifname}, {"role", flow.iface->role}} : json()},
        {"risks", flow.risks},
        {"tags", flow.tags},
        {"ssl_alpn", flow.ssl_alpn},
        {"ssl_cert_fingerprint", fingerprint},
        {"category_application", flow.category.application},
    };
}

json DescribeHost()
{
    const auto &config = vdGlobalConfig::GetInstance();
    auto &api = *vdInstance::GetInstance().api_manager;
    vdVelborApiManager::Signatures signatures;
    api.GetIntelSignatures(signatures);
    json versions = json::object();
    for (const auto &[tag, signature] : signatures)
        versions[tag] = signature.version;
    json intel;
    if (auto data = api.GetBootstrapData(vdVelborApiData::intel))
        intel = {{"urls", data->urls}, {"auth", data->auth.bearer_token}};
    return {
        {"state", config.path_plugin_state},
        {"state_persistent", config.path_state_persistent},
        {"legacy_intel", config.path_legacy_intel},
        {"variables", config.variables},
        {"verbosity", config.verbosity},
        {"debug", config.flags.test(vdGlobalFlags::debug)},
        {"signatures", versions},
        {"intel", intel},
    };
}

json ReadConf(const std::string &path)
{
    std::ifstream file(path);
    if (!file)
        throw vdException("test-plugin: cannot open %s", path.c_str());
    json conf = json::parse(file, nullptr, false);
    if (!conf.is_object())
        throw vdException("test-plugin: %s: not a JSON object", path.c_str());
    return conf;
}

class TestPlugin : public vdPluginProcessor
{
public:
    TestPlugin(const std::string &tag, const std::map<std::string, std::string> &params)
        : vdPluginProcessor(tag, params)
    {
        vd_printf("test-plugin: %s: created\n", tag.c_str());
        vd_dprintf("test-plugin: %s: debug mode\n", tag.c_str());
    }

    ~TestPlugin() override
    {
        Terminate();
        Join();
        SaveState();
    }

    void *Entry() override
    {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            wake.wait_until(guard, std::chrono::steady_clock::now() + std::chrono::seconds(1),
                            [this] { return !queue.empty() || ShouldTerminate(); });
            // Drains the queue before leaving, so every flow handed in is reported.
            while (!queue.empty()) {
                auto entry = std::move(queue.front());
                queue.pop_front();
                reporting = true;
                guard.unlock();
                Report(entry.first, entry.second);
                entry.second.reset();
                guard.lock();
                reporting = false;
            }
            idle.notify_all();
            if (ShouldTerminate())
                return nullptr;
        }
    }

    void Terminate() override
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            terminate = true;
        }
        wake.notify_all();
    }

    using vdPluginProcessor::DispatchProcessorEvent;

    void DispatchProcessorEvent(Event code, vdFlow::Ptr &flow) override { Enqueue(code, flow); }

    // Like a real processor, only flows the map may hand out are taken.
    void DispatchProcessorEvent(Event code, vdFlowMap *map) override
    {
        for (size_t index = 0; index < map->buckets; index++) {
            for (auto &[digest, flow] : map->Acquire(index)) {
                if (flow->flowmap_eligible && !flow->flowmap_excluded)
                    Enqueue(code, flow);
            }
            map->Release(index);
        }
    }

    void DispatchProcessorEvent(Event code) override
    {
        if (code != periodic_update)
            return;
        unsigned count = ++polls;
        vdInstance::GetInstance().plugin_manager->DispatchProcessorEvent("proc-b", periodic_update, nullptr,
                                                                         {{"polls", count}});
    }

    void DispatchEvent(vdPlugin::Event event, void *) override
    {
        if (event == vdPlugin::reload)
            reloads++;
    }

    void GetStatus(json &status) override
    {
        status = {{"flows", flows.load()},
                  {"reloads", reloads.load()},
                  {"polls", polls.load()},
                  {"alive", AliveDigests()},
                  {"type", type},
                  {"host", DescribeHost()}};
    }

private:
    void Enqueue(Event code, const vdFlow::Ptr &flow)
    {
        flows++;
        {
            std::lock_guard<std::mutex> guard(lock);
            queue.emplace_back(code, flow);
            seen.emplace_back(flow->digest, flow);
        }
        wake.notify_one();
    }

    void Report(Event code, const vdFlow::Ptr &flow)
    {
        std::string digest = vd_xxh64_to_string(flow->digest);
        DispatchSinkPayload("sink-a", {"ch1"}, {{"digest", digest}, {"event", code}}, DispatchFlags::format_json);
        vdInstance::GetInstance().plugin_manager->DispatchProcessorEvent(
            "proc-b", intel_record, flow, {{"event", code}, {"flow", DescribeFlow(*flow)}});
    }

    // The digests of the flows handed in that are still alive, sorted, once
    // the worker holds none of them.
    json AliveDigests()
    {
        std::unique_lock<std::mutex> guard(lock);
        idle.wait_for(guard, max_idle_wait, [this] { return queue.empty() && !reporting; });
        std::erase_if(seen, [](const auto &entry) { return entry.second.expired(); });
        std::vector<std::string> digests;
        for (const auto &[digest, flow] : seen)
            digests.push_back(vd_xxh64_to_string(digest));
        std::sort(digests.begin(), digests.end());
        return digests;
    }

    // The state a real plug-in saves when deleted: shows it was stopped normally.
    void SaveState()
    {
        std::ofstream file(vdGlobalConfig::GetInstance().path_plugin_state + "/test-plugin.json");
        file << json{{"flows", flows.load()}}.dump() << "\n";
        std::ofstream alive(vdGlobalConfig::GetInstance().path_plugin_state + "/test-plugin-alive.json");
        alive << json{{"alive", AliveDigests()}}.dump() << "\n";
    }

    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;  // the queue is empty and nothing is being reported
    std::deque<std::pair<Event, vdFlow::Ptr>> queue;
    bool reporting = false;
    std::vector<std::pair<vdDigest, std::weak_ptr<vdFlow>>> seen;
    std::atomic<unsigned> flows{0};
    std::atomic<unsigned> reloads{0};
    std::atomic<unsigned> polls{0};
};

class NotAProcessor : public vdPlugin
{
public:
    using vdPlugin::vdPlugin;
    void *Entry() override { return nullptr; }
};

}  // namespace

extern "C" vdPlugin *vdPluginInit(const std::string &tag, const std::map<std::string, std::string> &params)
{
    auto conf_filename = params.find("conf_filename");
    json conf = ReadConf(conf_filename == params.end() ? std::string() : conf_filename->second);
    if (conf.value("refuse", false))
        return nullptr;
    if (conf.value("throw", false))
        throw vdException("test-plugin: %s: refusing by throwing", tag.c_str());
    if (conf.value("not_processor", false))
        return new NotAProcessor(tag);
    return new TestPlugin(tag, params);
}
