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
    if (event.type != vppEventQueue::Event::LOOKUP || event.data_source != vppDataFeed::DataSource::cloud_intel ||
        !event.flow || !event.payload.is_object())
        return nullptr;
    auto member = event.payload.find(Key(*event.flow));
    return member == event.payload.end() ? nullptr : &*member;
}

}  // namespace vdfCloudAnswer
