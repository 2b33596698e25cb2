// One finding about one flow, with its two JSON forms: bare attribute values
// for payloads and typed ones for the intel cache file.
#pragma once

#include <cstdint>
#include <memory>
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
    // The entry's own criteria and attributes: a driver's findings, or all of
    // them for an entry read back from a cache file.
    AttrMap criteria;
    AttrMap attrs;
    // What the completing indicator configured, shared by all its entries
    // rather than copied into each: its criteria replace criteria above, and
    // its attributes lie beneath attrs above (attrs win on the same key).
    std::shared_ptr<const AttrMap> indicator_criteria;
    std::shared_ptr<const AttrMap> indicator_attrs;

    // The criteria and attributes the entry's JSON forms carry.
    const AttrMap &Criteria() const;
    AttrMap Attrs() const;

    // Compares what the JSON forms carry, however it is held.
    bool operator==(const Entry &other) const;

    // Replaces j with the entry's object of ten members.
    static void to_json(json &j, const Entry &e, bool typed);
    // Parses one JSON document (no comments, nested at most 64 levels, no
    // NUL byte, no key given twice) and reads it as below.
    static void from_json(const std::string &text, Entry &e);
    // Reads the typed form strictly. Fields are filled in the order score,
    // the six strings, criteria, attrs, id; on failure the fields before the
    // failing one are set and the rest keep their values. What is read
    // replaces what an indicator shared.
    static void from_json(const json &j, Entry &e);
};

}  // namespace vppIntel
