// Reading a cloud answer: the member of the answer document that belongs to
// a flow is named by the digest text the flow was posted under; a LOOKUP
// event carries that member alone. For the drivers that read LOOKUP events.
#pragma once

#include <string>

#include "common/event_queue.h"
#include "vd_flow.h"

namespace vdfCloudAnswer {

// The digest text a flow is looked up and answered under: the last digest of
// its history, or its own digest when the history is empty. Reads the flow
// under its lock.
std::string Key(const vdFlow &flow);

// The member the event carries when it was answered under key; nullptr
// when it carries none or one of another key.
const json *Member(const vppEventQueue::Event &event, const std::string &key);

// The answer's member for the event's flow; nullptr unless the event is a
// cloud answer (LOOKUP from the cloud_intel source) whose answer had a
// member for its flow.
const json *Find(const vppEventQueue::Event &event);

}  // namespace vdfCloudAnswer
