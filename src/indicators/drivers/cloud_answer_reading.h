// What the drivers that read cloud answers share: which events are answers,
// the answer's member for the event's flow, the entry a match makes, and the
// one handler every reading of an untrusted answer runs under.
#pragma once

#include <functional>
#include <string>

#include "common/event_queue.h"
#include "common/intel_entry.h"
#include "vd_common.h"

namespace vpiCloudAnswer {

// A LOOKUP event from the cloud-intel source.
bool IsAnswer(const vppEventQueue::Event &ev);

// The answer's member for the event's flow, named by the digest text the
// flow was posted under (reading is set to that text). nullptr, after the
// debug line "<tag>: <digest text> not found or is invalid: <the JSON
// library's words>", when the answer held no such member.
const json *FlowMember(const std::string &tag, const vppEventQueue::Event &ev, std::string &reading);

// A fresh entry naming the cloud source and the request thread that answered.
vppIntel::Entry NewEntry(const vppEventQueue::Event &ev);

// Runs read, which keeps in reading the name of the member it is reading.
// An error it throws is logged with that name as "<tag>: <reading> <text>"
// (vdException) or "<tag>: <reading> not found or is invalid: <text>" (the
// JSON library's errors and std::out_of_range); the answer then gives
// nothing and the caller goes on. Other exceptions propagate.
void Read(const std::string &tag, const std::function<void(std::string &reading)> &read);

}  // namespace vpiCloudAnswer
