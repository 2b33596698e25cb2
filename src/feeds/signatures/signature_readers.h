// The readers of a signature data file and of one tag of the legacy
// intelligence file (whose records feeds/legacy_records.h reads): one pass
// of the parser builds the header as a small document and the set straight
// from the events, passing over what is not wanted (the other records'
// data). A file whose members come in an order the pass cannot follow (the
// data before its data type or its tag) is read a second time.
#pragma once

#include <memory>
#include <string>

#include "feeds/signatures/set_stream.h"

namespace vdfSignatureSets {

// A signature data file: its header (the payload less "data" and "id") and
// its set.
struct Payload {
    bool is_object = false;
    json metadata = json::object();
    bool has_data = false;
    // The set of the last "data" member, when its data type was known as it
    // came; nullptr otherwise.
    std::unique_ptr<SetStream> set;
    DataType set_type = DataType::invalid;
};

// Reads a signature data file. With forced set to a data type, only the set
// is read, by that type. Throws the reader's errors (vppJson).
Payload ReadPayload(const std::string &path, size_t max_size, DataType forced = DataType::invalid);

// The set of one legacy tag: the last record of the tag whose header is
// usable gives both the header and the set.
struct LegacyTag {
    std::unique_ptr<TagData> header;
    std::unique_ptr<SetStream> set;  // nullptr: the record has no data
};

// Reads tag's set from the legacy file (feeds/legacy_records.h); type is the
// data type expected from its header. Throws vdException "not found" when no
// record is usable.
LegacyTag ReadLegacyTag(const std::string &path, const std::string &tag, DataType type);

}  // namespace vdfSignatureSets
