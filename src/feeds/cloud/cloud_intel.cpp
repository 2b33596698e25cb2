#include "feeds/cloud/cloud_intel.h"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "common/json_reader.h"
#include "common/thread_toolkit.h"

namespace {

// A number's whole part when it is not negative: a fraction is cut off, as
// configuration numbers convert.
std::optional<uint64_t> WholePart(const json &number)
{
    if (number.is_number_unsigned())
        return number.get<uint64_t>();
    if (number.is_number_integer()) {
        const int64_t value = number.get<int64_t>();
        return value < 0 ? std::nullopt : std::optional<uint64_t>(static_cast<uint64_t>(value));
    }
    const double whole = std::trunc(number.get<double>());
    // 2^64 and above do not convert; NaN fails both tests.
    if (!(whole >= 0 && whole < 18446744073709551616.0))
        return std::nullopt;
    return static_cast<uint64_t>(whole);
}

// A count key's value (a boolean is 0 or 1), or nullopt when the key is
// absent. A value that is negative or above highest is refused rather than
// wrapped into range: -1 would otherwise ask for four billion threads.
// lowest only names the range in the message.
std::optional<uint64_t> ReadCount(const std::string &tag, const json &conf, const char *key, uint64_t lowest,
                                  uint64_t highest)
{
    const json *value = vppJson::FindMember(conf, key);
    if (value == nullptr)
        return std::nullopt;
    if (value->is_boolean())
        return value->get<bool>() ? 1 : 0;
    if (!value->is_number())
        throw vdException("%s: invalid %s parameter type: %s", tag.c_str(), "unsigned", key);

    std::optional<uint64_t> count = WholePart(*value);
    if (!count || *count > highest) {
        throw vdException("%s: invalid %s: %s; must be from %llu to %llu", tag.c_str(), key, value->dump().c_str(),
                          static_cast<unsigned long long>(lowest), static_cast<unsigned long long>(highest));
    }
    return count;
}

}  // namespace

vdfCloudIntel::vdfCloudIntel(const std::string &tag, const json &conf, vppDataFeed::DataSource source,
                             vppDataFeed::DataType type, const std::shared_ptr<vppEventQueue::Queue> &queue)
    : Base(tag, "", source, type, queue)
{
    // Answers would have nowhere to go.
    if (!event_queue)
        throw vdException("%s: error loading data feed; no event queue for the answers", tag.c_str());
    ReadConfiguration(conf);
    request_queue = vppEventQueue::Queue::Create(tag);
    if (max_queue != 0)
        request_queue->SetMaxSize(max_queue);
    try {
        BuildThreads();
    } catch (...) {
        StopThreads();
        throw;
    }
}

vdfCloudIntel::~vdfCloudIntel()
{
    StopThreads();
}

void vdfCloudIntel::ReadConfiguration(const json &conf)
{
    if (auto count = ReadCount(tag, conf, "instances", 1, max_instances))
        instances = static_cast<uint32_t>(*count);
    if (instances == 0)
        throw vdException("%s: invalid instances; must be greater than zero", tag.c_str());
    if (auto count = ReadCount(tag, conf, "max_queue", 0, std::numeric_limits<uint32_t>::max()))
        max_queue = static_cast<uint32_t>(*count);
}

// Every thread exists before any starts: a failure to build one leaves no
// thread running on a half-built feed.
void vdfCloudIntel::BuildThreads()
{
    for (uint32_t i = 0; i < instances; i++) {
        const std::string name = tag + std::to_string(i);
        request_threads[name] = std::make_shared<vdfVelborApiRequest>(name, data_source, request_queue, event_queue);
    }
    for (auto &[name, thread] : request_threads)
        thread->Create();
}

// Every thread is told before any is joined, so they wind down together.
void vdfCloudIntel::StopThreads()
{
    std::vector<vdfVelborApiRequest *> threads;
    for (auto &[name, thread] : request_threads)
        threads.push_back(thread.get());
    for (vdfVelborApiRequest *thread : threads)
        thread->Terminate();
    // A thread waiting for a lookup wakes now rather than at its next
    // look at the stop flag; the lookups left behind go with the feed.
    request_queue->StopWaits();
    vppThread::StopAll(threads);
    request_threads.clear();
}

void vdfCloudIntel::LookupEventPush(const vppEventQueue::Event &event)
{
    vppEventQueue::Event lookup(event);
    lookup.type = vppEventQueue::Event::LOOKUP;
    lookup.Write().data_source = data_source;
    lookup.Write().data_feed = tag;
    request_queue->Push(std::move(lookup));
}
