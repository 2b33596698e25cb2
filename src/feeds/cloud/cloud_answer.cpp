#include "feeds/cloud/cloud_answer.h"

#include <mutex>

namespace vdfCloudAnswer {

std::string Key(const vdFlow &flow)
{
    std::lock_guard<std::recursive_mutex> guard(flow.lock);
    return vd_xxh64_to_string(flow.digest_prev.empty() ? flow.digest : flow.digest_prev.back());
}

const json *Member(const vppEventQueue::Event &event, const std::string &key)
{
    const std::shared_ptr<const vppEventQueue::AnswerMember> &answer = event.Read().answer;
    // A flow that moved on since it was posted is answered under another key.
    if (!answer || !answer->value || answer->key != key)
        return nullptr;
    return &*answer->value;
}

const json *Find(const vppEventQueue::Event &event)
{
    if (event.type != vppEventQueue::Event::LOOKUP ||
        event.Read().data_source != vppDataFeed::DataSource::cloud_intel || !event.flow)
        return nullptr;
    return Member(event, Key(*event.flow));
}

}  // namespace vdfCloudAnswer
