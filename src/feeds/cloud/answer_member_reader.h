// Reading a cloud answer's text for one flow: the whole text is checked
// through the one JSON grammar, but only the flow's own member is built, so
// that no thread holds the tree of a large answer.
#pragma once

#include <string>
#include <string_view>

#include "common/event_queue.h"

namespace vdfCloudAnswer {

struct MemberReading {
    // The type of the answer's top-level value ("object", "array", ...).
    std::string type_name;
    // The member named key, when the answer is an object holding one; a key
    // given twice keeps its last value.
    vppEventQueue::AnswerMember member;
};

// Parses text as vppJson::ParseText does (comments allowed), keeping only
// the top-level member named key; source names the text in errors. Throws
// what ParseText throws.
MemberReading ReadMember(std::string_view text, const std::string &source, const std::string &key);

}  // namespace vdfCloudAnswer
