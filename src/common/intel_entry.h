// One finding about one flow, with its two JSON forms: bare attribute values
// for payloads and typed ones for the intel cache file.
#pragma once

#include <cstdint>
#include <string>

#include "common/attr_value.h"
#include "vd_common.h"

namespace vppIntel {

struct Entry {
    uint64_t id = 0;     // event id, stamped just before output
    uint32_t score = 0;  // 0: not set
    std::string category;
    std::string data_source;
    std::string data_feed;
    std::string event;
    std::string indicator;
    std::string indicator_driver;
    AttrMap criteria;
    AttrMap attrs;

    bool operator==(const Entry &) const = default;

    // Replaces j with the entry's object of ten members.
    static void to_json(json &j, const Entry &e, bool typed);
    // Parses one JSON document (no comments, nested at most 64 levels, no
    // NUL byte, no key given twice) and reads it as below.
    static void from_json(const std::string &text, Entry &e);
    // Reads the typed form strictly. Fields are filled in the order score,
    // the six strings, criteria, attrs, id; on failure the fields before the
    // failing one are set and the rest keep their values.
    static void from_json(const json &j, Entry &e);
};

}  // namespace vppIntel
