#include "indicators/drivers/doh/prober.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/json_reader.h"
#include "common/thread_toolkit.h"
#include "vd_config.h"

namespace {

constexpr const char *positive_name = "doh-positive";
constexpr const char *negative_name = "doh-negative";

using Settings = vpiDOHScanner::Settings;

// An integer of either sign, taken modulo 2^32.
std::optional<uint32_t> Wrapped32(const json &value)
{
    if (value.is_number_unsigned())
        return static_cast<uint32_t>(value.get<uint64_t>());
    if (value.is_number_integer())
        return static_cast<uint32_t>(static_cast<uint64_t>(value.get<int64_t>()));
    return std::nullopt;
}

void ReadSize(const json &conf, const char *key, uint32_t &out)
{
    const json *value = vppJson::FindMember(conf, key);
    if (value == nullptr)
        return;
    if (auto number = Wrapped32(*value))
        out = *number;
}

// Out of range, a probe could run without a limit (libcurl refuses a larger
// timeout, and a refused option means none): brought into range, and said.
void ReadTimeout(const std::string &tag, const json &conf, long &out)
{
    const json *value = vppJson::FindMember(conf, "timeout");
    if (value == nullptr || !value->is_number_integer())
        return;
    const bool positive = value->is_number_unsigned() ? value->get<uint64_t>() > 0 : value->get<int64_t>() > 0;
    if (!positive) {
        out = Settings().timeout;
        vd_printf("%s: timeout %s is not a positive number of seconds: using %ld\n", tag.c_str(), value->dump().c_str(),
                  out);
        return;
    }
    // Positive, so read exactly as unsigned.
    const uint64_t seconds = value->get<uint64_t>();
    if (seconds > static_cast<uint64_t>(vpiDOHProbe::max_timeout)) {
        out = vpiDOHProbe::max_timeout;
        vd_printf("%s: timeout %s is over %ld seconds: using %ld\n", tag.c_str(), value->dump().c_str(), out, out);
        return;
    }
    out = static_cast<long>(seconds);
}

void ReadMaxQueue(const json &conf, uint32_t &out)
{
    const json *value = vppJson::FindMember(conf, "max_queue");
    if (value == nullptr)
        return;
    auto number = vppJson::Lenient::Unsigned64(*value);
    if (number && *number >= 1 && *number <= std::numeric_limits<uint32_t>::max())
        out = static_cast<uint32_t>(*number);
}

// A route becomes part of a URL and of a list file's row: nothing that
// could end the URL or the row.
void CheckRoute(const std::string &tag, const std::string &route, size_t index)
{
    if (route.size() > vppDohLists::max_route_length) {
        throw vdException("%s: routes: element %zu is longer than %zu bytes", tag.c_str(), index,
                          vppDohLists::max_route_length);
    }
    auto bad = [](char c) {
        unsigned char byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    };
    if (std::any_of(route.begin(), route.end(), bad))
        throw vdException("%s: routes: element %zu holds a space or a control character", tag.c_str(), index);
}

void ReadRoutes(const std::string &tag, const json &conf, std::vector<std::string> &out)
{
    const json *value = vppJson::FindMember(conf, "routes");
    if (value == nullptr)
        return;
    std::vector<std::string> routes;
    if (value->is_string()) {
        routes.push_back(value->get<std::string>());
    } else if (value->is_array()) {
        for (size_t i = 0; i < value->size(); i++) {
            if (!(*value)[i].is_string())
                throw vdException("%s: routes: element %zu is not a string", tag.c_str(), i);
            routes.push_back((*value)[i].get<std::string>());
        }
    } else {
        return;
    }
    for (size_t i = 0; i < routes.size(); i++)
        CheckRoute(tag, routes[i], i);
    if (!routes.empty())
        out = std::move(routes);
}

void ReadPath(const json &conf, const char *key, std::string &out)
{
    const json *value = vppJson::FindMember(conf, key);
    if (value != nullptr && value->is_string())
        out = value->get<std::string>();
    out = vd_expand_variables(out, vdGlobalConfig::GetInstance().variables);
}

}  // namespace

Settings Settings::Read(const std::string &tag, const json &conf)
{
    Settings settings;
    const json *query = vppJson::FindMember(conf, "query");
    if (query != nullptr && query->is_string())
        settings.query = query->get<std::string>();
    ReadRoutes(tag, conf, settings.routes);
    ReadTimeout(tag, conf, settings.timeout);
    ReadSize(conf, "cache_size_positive", settings.cache_size_positive);
    ReadSize(conf, "cache_size_negative", settings.cache_size_negative);
    ReadMaxQueue(conf, settings.max_queue);
    ReadPath(conf, "cache_path_positive", settings.cache_path_positive);
    ReadPath(conf, "cache_path_negative", settings.cache_path_negative);
    return settings;
}

vpiDOHScanner::vpiDOHScanner(std::shared_ptr<vppEventQueue::Queue> queue, const std::string &tag, unsigned priority,
                             const json &conf, const json &defaults)
    : vppIndicator::Base(std::move(queue), vppIndicator::Driver::doh_scanner, tag, priority, conf, defaults, {}),
      settings(Settings::Read(tag, conf)), query(vpiDOHProbe::MakeQuery(tag, settings.query)),
      probe(tag, query, settings.routes, settings.timeout, terminate)
{
}

vpiDOHScanner::~vpiDOHScanner()
{
    {
        std::lock_guard<std::mutex> guard(pending_lock);
        terminate = true;
    }
    pending_cond.notify_all();
    if (prober_thread.joinable())
        prober_thread.join();
    if (positive)
        positive->Save(positive_name);
    if (negative)
        negative->Save(negative_name);
}

std::shared_ptr<vpiDOHScanner> vpiDOHScanner::Create(const std::shared_ptr<vppEventQueue::Queue> &queue,
                                                     const std::string &tag, unsigned ordinal, const json &conf,
                                                     const json &defaults)
{
    unsigned priority = LoadPriority(tag, conf, ordinal);
    auto scanner = std::make_shared<vpiDOHScanner>(queue, tag, priority, conf, defaults);
    const Settings &settings = scanner->settings;
    scanner->positive =
        std::make_unique<vpiDOHScannerFlowCache>(settings.cache_size_positive, settings.cache_path_positive);
    scanner->positive->Load(positive_name);
    scanner->negative =
        std::make_unique<vpiDOHScannerDigestCache>(settings.cache_size_negative, settings.cache_path_negative);
    scanner->negative->Load(negative_name);
    scanner->prober_thread = std::thread([raw = scanner.get()] { raw->Entry(); });
    return scanner;
}

void vpiDOHScanner::ProcessFlow(std::shared_ptr<vppEventQueue::Event> &ev)
{
    if (!ev || !ev->flow)
        return;
    Request request;
    {
        std::lock_guard<std::recursive_mutex> guard(ev->flow->lock);
        // TLS alone: a QUIC server cannot answer an HTTPS probe over TCP.
        if (ev->flow->GetMasterProtocol() != vdProto::TLS)
            return;
        // A name that is no plain host name is never kept: it could bend
        // the URL or a list file's rows.
        if (vpiDOHProbe::IsPlainHostName(ev->flow->host_server_name))
            request.host = ev->flow->host_server_name;
    }
    request.entry = vpiDOHScannerFlowCacheEntry(ev->flow);
    if (IsListed(request.entry.digest)) {
        stats.cache_hit.Add();
        return;
    }
    request.flow = ev->flow;
    Enqueue(std::move(request), ev);
}

bool vpiDOHScanner::IsListed(vdDigest digest)
{
    vpiDOHScannerFlowCacheEntry found;
    bool negative_found = false;
    return (positive && positive->CacheLookup(digest, found)) ||
           (negative && negative->CacheLookup(digest, negative_found));
}

void vpiDOHScanner::Enqueue(Request &&request, std::shared_ptr<vppEventQueue::Event> &ev)
{
    const vdDigest digest = request.entry.digest;
    {
        std::lock_guard<std::mutex> guard(pending_lock);
        if (pending_servers.count(digest) != 0)
            return;
        if (pending_servers.size() >= settings.max_queue) {
            dropped++;
            return;
        }
        request.event = ev;
        pending.push_back(std::move(request));
        try {
            pending_servers.insert(digest);
        } catch (...) {
            pending.pop_back();
            throw;
        }
        // A waiting probe must not keep the flow alive; the request's
        // weak reference finds it again if it still exists.
        ev->flow.reset();
    }
    pending_cond.notify_one();
}

size_t vpiDOHScanner::PendingServers() const
{
    std::lock_guard<std::mutex> guard(pending_lock);
    return pending_servers.size();
}

void vpiDOHScanner::Entry()
{
    while (!terminate) {
        vppThread::Guard([this] { RunBatch(); },
                         [this](const char *what) { vd_printf("%s: prober: %s\n", tag.c_str(), what); });
    }
    vd_dprintf("%s: Exit.\n", tag.c_str());
}

void vpiDOHScanner::RunBatch()
{
    std::deque<Request> batch;
    {
        std::unique_lock<std::mutex> guard(pending_lock);
        pending_cond.wait(guard, [this] { return terminate || !pending.empty(); });
        if (terminate)
            return;
        batch.swap(pending);
    }
    LogDropped();
    for (Request &request : batch) {
        // Requests left at a stop are dropped; their servers stay unjudged.
        if (terminate)
            return;
        HandleSafely(request);
    }
}

void vpiDOHScanner::HandleSafely(Request &request)
{
    const vdDigest digest = request.entry.digest;
    bool judged = false;
    vppThread::Guard([&] { judged = Handle(request); },
                     [&](const char *what) {
                         vd_printf("%s: %s: probe failed, server left unjudged: %s\n", tag.c_str(),
                                   ServerText(request).c_str(), what);
                     });
    // Reported before the server leaves the pending set, so that an empty
    // set means the report for its probe is written.
    if (judged)
        vppThread::Guard([this] { LogDropped(); }, [](const char *) {});
    Unpend(digest);
}

bool vpiDOHScanner::Handle(Request &request)
{
    const vdDigest digest = request.entry.digest;
    // Listed since the worker queued it (another flow, or a list loaded).
    if (IsListed(digest))
        return false;
    switch (probe.Scan(request.host, request.entry)) {
    case vpiDOHProbe::Result::stopped:
        return false;
    case vpiDOHProbe::Result::detected:
        positive->CacheInsert(digest, request.entry, false);
        // The verdict stands whatever happens to its report.
        vppThread::Guard([&] { ReportDetection(request); },
                         [&](const char *what) {
                             vd_printf("%s: %s: DoH server listed, but its detection could not be reported: %s\n",
                                       tag.c_str(), ServerText(request).c_str(), what);
                         });
        return true;
    default:
        negative->CacheInsert(digest, true, false);
        return true;
    }
}

void vpiDOHScanner::ReportDetection(Request &request)
{
    std::shared_ptr<vppEventQueue::Event> &event = request.event;
    event->flow = request.flow.lock();
    // The flow expired while its server was probed: listed, but no intel.
    if (!event->flow)
        return;
    // A flow that cannot be printed still gets its intel.
    vppThread::Guard(
        [&] {
            if (vdGlobalConfig::GetInstance().verbosity < 3)
                return;
            std::lock_guard<std::recursive_mutex> guard(event->flow->lock);
            event->flow->Print(4, tag);
        },
        [&](const char *what) {
            vd_printf("%s: %s: detected flow not printed: %s\n", tag.c_str(), ServerText(request).c_str(), what);
        });
    auto entry = std::make_shared<vppIntel::Entry>();
    entry->attrs["url"] = request.entry.url;
    event->Write().entries.push_back(std::move(entry));
    vppIndicator::Base::ProcessFlow(event);
}

std::string vpiDOHScanner::ServerText(const Request &request)
{
    std::string server;
    vdAddr::MakeString(request.entry.address, server, vdAddr::MakeFlags::port);
    return server;
}

void vpiDOHScanner::Unpend(vdDigest digest)
{
    std::lock_guard<std::mutex> guard(pending_lock);
    pending_servers.erase(digest);
}

void vpiDOHScanner::LogDropped()
{
    const time_t now = vd_time_monotonic();
    if (last_drop_report && now - *last_drop_report < drop_report_interval)
        return;
    const uint64_t count = dropped.exchange(0);
    if (count == 0)
        return;
    last_drop_report = now;
    vd_printf("%s: queue full (%u servers): %zu flow(s) not queued.\n", tag.c_str(), settings.max_queue,
              static_cast<size_t>(count));
}
