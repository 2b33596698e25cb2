#include "soak/config_storm.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "soak/flow_plan.h"

namespace {

constexpr auto min_pause = std::chrono::milliseconds(80);
constexpr auto max_pause = std::chrono::milliseconds(300);
// One step in this many opens an invalid-configuration window.
constexpr uint64_t invalid_interval = 40;
// The longest the storm waits for the plug-in in such a window.
constexpr auto window_deadline = std::chrono::seconds(30);

constexpr const char *change_names[signature_changes] = {"offered", "stamp changed", "definition changed",
                                                         "withdrawn", "broken", "missing"};

// The signature data sets the storm plays with; their indicators churn.
constexpr const char *signature_tags[] = {"tor_exit", "tor_relay", "ip_reputation_scanner"};

std::string Range(uint16_t first, uint16_t end)
{
    return "other_port >= " + std::to_string(first) + " && other_port < " + std::to_string(end);
}

}  // namespace

const char *SignatureChangeName(SignatureChange change)
{
    return change_names[static_cast<size_t>(change)];
}

ConfigStorm::ConfigStorm(Paths paths, vdVelborApiManager &api, SoakLog &log, IntelLedger &ledger, HandInGate &gate,
                         uint64_t seed)
    : paths(std::move(paths)), api(api), log(log), ledger(ledger), gate(gate), random(seed)
{
    std::filesystem::create_directories(this->paths.sets);
}

ConfigStorm::~ConfigStorm()
{
    Stop();
}

void ConfigStorm::AtomicWrite(const std::string &path, const std::string &text) const
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error(temporary + ": cannot write");
    }
    std::filesystem::rename(temporary, path);
}

json ConfigStorm::StableIndicatorsConf() const
{
    json indicators = json::object();
    for (const StableIndicator &stable : StableIndicators()) {
        json conf = {{"indicator_driver", "custom"},
                     {"score", 50},
                     {"criteria", {{"flow_expr", stable.flow_expr}}},
                     {"attrs", {{"marker", stable.name}}},
                     {"proc_targets", {"audit"}}};
        if (stable.to_sink)
            conf["sink_targets"] = {"siem"};
        if (stable.cached) {
            conf["cache"] = {{"flow_keys", {"other_ip", "other_port"}},
                             {"max_size", 16384},
                             {"filename", "${path_state_persistent}/" + std::string(stable.name) + ".cache"}};
        }
        indicators[stable.name] = conf;
    }
    return indicators;
}

void ConfigStorm::AddChurn(json &indicators, bool complete)
{
    auto chance = [&](unsigned percent) { return random() % 100 < percent || complete; };
    auto port = [&] { return static_cast<uint16_t>(marker_first_port + random() % marker_ports); };
    const uint64_t g = generation;

    // Renamed from one load to the next: the old name's queued intel is
    // dropped, the new name starts afresh.
    for (int copy = 0; copy < 2; copy++) {
        if (!chance(70))
            continue;
        uint16_t first = port();
        indicators["churn_" + std::to_string((g + copy) % 7)] = {
            {"indicator_driver", "custom"},
            {"score", 10 + random() % 90},
            {"criteria", {{"flow_expr", Range(first, static_cast<uint16_t>(first + random() % 3000))}}},
            {"proc_targets", {"audit"}},
        };
    }
    // Cached under changing names over a few shared files.
    if (chance(50)) {
        indicators["churn_cached_" + std::to_string(g % 5)] = {
            {"indicator_driver", "custom"},
            {"criteria", {{"flow_expr", Range(10000, 12000)}}},
            {"cache",
             {{"flow_keys", {"other_ip", "other_port"}},
              {"max_size", 256},
              {"filename", "${path_state_persistent}/churn-" + std::to_string(g % 3) + ".cache"}}},
            {"proc_targets", {"audit"}},
        };
    }
    // An expression that never compiles: reported, never matching.
    if (chance(20)) {
        indicators["churn_bad_expr"] = {{"indicator_driver", "custom"},
                                        {"criteria", {{"flow_expr", "other_port == 'text' &&"}}},
                                        {"proc_targets", {"audit"}}};
    }
    const char *feed_drivers[][2] = {{"tor", "tor_exit"}, {"relay", "tor_relay"}};
    for (const auto &[name, driver] : feed_drivers) {
        if (chance(60))
            indicators[name] = {{"indicator_driver", driver}, {"data_feeds", {"velbor_api"}}, {"proc_targets", {"audit"}}};
    }
    if (chance(50)) {
        indicators["scanner"] = {{"indicator_driver", "reputation_ip"},
                                 {"data_feeds", {"velbor_api"}},
                                 {"criteria", {{"types", {"scanner"}}}},
                                 {"proc_targets", {"audit"}}};
    }
    // Cloud lookups for a thin slice of the flows only.
    if (chance(80)) {
        indicators["cloud_category"] = {
            {"indicator_driver", "category"},
            {"data_feeds", {"cloud_intel"}},
            {"criteria", {{"categories", {answered_category}}, {"flow_expr", Range(cloud_first_port, 30000)}}},
            {"proc_targets", {"audit"}},
            {"sink_targets", {"siem"}},
        };
    }
    if (chance(70)) {
        // Fresh lists under a rotating name, so servers are probed again.
        const std::string index = std::to_string(g % 8);
        for (const char *kind : {"pos", "neg"})
            std::filesystem::remove(paths.state_persistent + "/doh-" + kind + "-" + index + ".csv");
        json routes = chance(50) ? json{"dns-query"} : json{"missing-route", "dns-query"};
        indicators["doh"] = {
            {"indicator_driver", "doh_scanner"},
            {"routes", routes},
            {"timeout", 1},
            {"max_queue", 16},
            {"cache_path_positive", "${path_state_persistent}/doh-pos-" + index + ".csv"},
            {"cache_path_negative", "${path_state_persistent}/doh-neg-" + index + ".csv"},
            {"proc_targets", {"audit"}},
        };
    }
}

json ConfigStorm::Generate(bool complete)
{
    generation++;
    json indicators = StableIndicatorsConf();
    AddChurn(indicators, complete);
    return {
        {"indicator_defaults", {{"criteria", {{"min_bytes", 0}}}, {"event_filter", {"dpi_complete"}}}},
        {"sink_targets",
         {{"siem",
           {{"sink", "sink-log"},
            {"channels", {{"alerts", {{"flow_metadata", "stats"}, {"dispatch_flags", {"format_json"}}}}}}}}}},
        {"data_feeds",
         {{"velbor_api", {{"data_path", "${path_state_persistent}/legacy.json"}}},
          {"cloud_intel", {{"type", "cloud_intel"}, {"instances", 1 + generation % 3}, {"max_queue", 64}}}}},
        {"indicators", indicators},
    };
}

json ConfigStorm::WriteGood(bool complete)
{
    json conf = Generate(complete);
    AtomicWrite(paths.conf, conf.dump(2));
    std::lock_guard<std::mutex> guard(lock);
    last_good = conf;
    return conf;
}

json ConfigStorm::LastGood() const
{
    std::lock_guard<std::mutex> guard(lock);
    return last_good;
}

void ConfigStorm::Start(vdPluginProcessor &target)
{
    plugin = &target;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = false;
    }
    thread = std::thread([this] { Run(); });
}

void ConfigStorm::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
    plugin = nullptr;
}

ConfigStorm::Figures ConfigStorm::Counts() const
{
    std::lock_guard<std::mutex> guard(lock);
    return figures;
}

void ConfigStorm::Run()
{
    std::uniform_int_distribution<int64_t> pause(min_pause.count(), max_pause.count());
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        guard.unlock();
        Step();
        guard.lock();
        wake.wait_for(guard, std::chrono::milliseconds(pause(random)), [&] { return stopping; });
    }
}

void ConfigStorm::Step()
{
    const uint64_t roll = random() % 100;
    if (++steps % invalid_interval == 0) {
        InvalidWindow();
    } else if (roll < 55) {
        WriteGood();
        Reload();
    } else if (roll < 65) {
        WriteUnparseable();
        Reload();
    } else {
        ChangeSignature();
        Poll();
    }
}

void ConfigStorm::Reload()
{
    plugin->DispatchEvent(vdPlugin::reload, nullptr);
    std::lock_guard<std::mutex> guard(lock);
    figures.reloads++;
}

void ConfigStorm::Poll()
{
    plugin->DispatchProcessorEvent(vdPluginProcessor::periodic_update);
    std::lock_guard<std::mutex> guard(lock);
    figures.polls++;
}

void ConfigStorm::WriteUnparseable()
{
    // Each keeps the indicators in force.
    const std::string good = Generate().dump(2);
    std::string text;
    switch (random() % 5) {
    case 0:
        text = good + "\n}";
        break;
    case 1:
        text = R"({"indicators": {"a": {"indicator_driver": "custom"}}, "indicators": {}})";
        break;
    case 2:
        text = good;
        text.insert(text.size() / 2, 1, '\0');
        break;
    case 3:
        text = good.substr(0, good.size() / 2);
        break;
    default:
        text = std::string(100, '[') + std::string(100, ']');
        break;
    }
    // Written in place: the plug-in may read it half written, too.
    std::ofstream(paths.conf, std::ios::binary | std::ios::trunc) << text;
    std::lock_guard<std::mutex> guard(lock);
    figures.unparseable++;
}

void ConfigStorm::InvalidWindow()
{
    // The stable indicators go out of force: nothing is handed in, and all
    // owed intel is out before they go.
    gate.Pause();
    bool in_time = ledger.WaitOutstandingAtMost(0, window_deadline);

    const size_t disabled = log.Count(disabled_phrase);
    json invalid = Generate();
    invalid["data_feeds"]["cloud_intel"]["instances"] = 65;
    AtomicWrite(paths.conf, invalid.dump(2));
    Reload();
    in_time = log.WaitBeyond(disabled_phrase, disabled, window_deadline) && in_time;

    const size_t ready = log.Count(ready_phrase);
    WriteGood();
    Reload();
    in_time = log.WaitBeyond(ready_phrase, ready, window_deadline) && in_time;
    gate.Resume();

    std::lock_guard<std::mutex> guard(lock);
    figures.invalid++;
    if (!in_time)
        figures.timeouts++;
}

void ConfigStorm::ChangeSignature()
{
    const std::string tag = signature_tags[random() % std::size(signature_tags)];
    const auto change = static_cast<SignatureChange>(random() % signature_changes);
    const std::string path = paths.sets + "/" + tag + ".dat";
    vdVelborApiData::Signature signature;
    signature.tag = tag;
    signature.format = "velbor-dat";
    signature.version = 1;
    signature.encryption = "none";
    signature.path = path;
    signature.definition = {{"kind", tag}, {"revision", 0}};
    signature.stamp = ++stamp;
    const std::string prefix = "198.51.100." + std::to_string(random() % 2 * 128) + "/" + std::to_string(25 + random() % 8);
    const std::string valid = json({{"tag", tag}, {"data_type", "ip_list"}, {"score", 20 + random() % 70},
                                    {"data", {prefix}}})
                                  .dump();

    auto existing = offered.find(tag);
    switch (change) {
    case SignatureChange::offered:
    case SignatureChange::stamp:
        AtomicWrite(path, valid);
        offered[tag] = signature;
        break;
    case SignatureChange::definition:
        AtomicWrite(path, valid);
        signature.definition["revision"] = stamp;
        offered[tag] = signature;
        break;
    case SignatureChange::withdrawn:
        if (existing != offered.end())
            offered.erase(existing);
        break;
    case SignatureChange::broken:
        AtomicWrite(path, random() % 2 ? R"({"data_type": "ip_list", "data": [)" : R"({"data": ["198.51.100.1"]})");
        offered[tag] = signature;
        break;
    case SignatureChange::missing:
        signature.path = path + ".missing";
        offered[tag] = signature;
        break;
    }
    api.SetIntelSignatures(offered);
    std::lock_guard<std::mutex> guard(lock);
    figures.signatures[static_cast<size_t>(change)]++;
}
