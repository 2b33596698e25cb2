#include "feeds/cloud/cloud_answer.h"

#include <mutex>

namespace vdfCloudAnswer {

std::string Key(const vdFlow &flow)
{
    std::lock_guard<std::recursive_mutex> guard(flow.lock);
    return vd_xxh64_to_string(flow.digest_prev.empty() ? flow.digest : flow.digest_prev.back());
}

const json *Find(const vppEventQueue::Event &event)
{
    if (event.type != vppEventQueue::Event::LOOKUP ||
        event.Read().data_source != vppDataFeed::DataSource::cloud_intel || !event.flow ||
        !event.Read().payload.is_object())
        return nullptr;
    const json &payload = event.Read().payload;
    auto member = payload.find(Key(*event.flow));
    return member == payload.end() ? nullptr : &*member;
}

}  // namespace vdfCloudAnswer
