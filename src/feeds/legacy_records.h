// The reader of the legacy intelligence file: a JSON array of records (or an
// object of them, or a single one), each an "intelligence" header and a
// "sha1" digest. One pass of the parser builds each record's header as a
// small document and hands its data set to a builder of the caller's, or
// passes over it, so memory follows the headers kept, not the file.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/json_routing.h"

namespace vppLegacyFile {

// The one bound of the file, for every reader of it: the headers are small,
// but the data sets beside them are read too.
constexpr size_t max_file_size = size_t(512) * 1024 * 1024;

// Makes the handler that builds a record's data set.
using MakeSet = std::function<std::unique_ptr<vppJson::ValueStream>()>;

// One record of the file: its header as a small document and, when its tag
// is the one wanted by the time its data comes, its set.
class Record : public vppJson::Routed<Record>
{
public:
    // wanted: the tag whose data is built (nullptr: none); build_every: the
    // record's data is built whatever its tag (a second pass's target). No
    // data is built without make_set.
    Record(const vppJson::Input &input, const std::string *wanted, MakeSet make_set, bool build_every);

    bool Complete() const { return complete; }

    // The record less intelligence's "data" and "id" (only "intelligence"
    // and "sha1" are kept); null for a record that is no object.
    json header;
    // The set of the last "data" member, when it was built.
    std::unique_ptr<vppJson::ValueStream> set;
    // Whether set is the set of the record's last "intelligence" member's
    // last "data" (none at all is an empty set).
    bool set_is_final = true;

private:
    friend class vppJson::Routed<Record>;

    template <class Event> bool Route(Event &&event)
    {
        if (!sink.Active())
            return false;
        if (sink.Forward(event))
            Delivered();
        return true;
    }

    void OwnValue(json &&value);
    void OwnString(std::string &text);
    void OwnOpen(bool is_object);
    void OwnClose();
    void OwnKey(const std::string &key);
    void RecordMember(const std::string &key);
    void IntelligenceMember(const std::string &key);
    void Delivered();

    // An "intelligence" that is no object is kept as it is, for its message.
    template <class First> void BuildIntelligence(First &&first)
    {
        expect_intelligence = false;
        sink.Build(input, header["intelligence"]);
        if (sink.Forward(first))
            Delivered();
    }

    const vppJson::Input &input;
    const std::string *wanted;
    const MakeSet make_set;
    const bool build_every;
    vppJson::Sink sink;
    size_t depth = 0;
    bool complete = false;
    bool skipped_record = false;
    bool expect_intelligence = false;
    bool delivering_tag = false;
    std::optional<std::string> tag_so_far;
};

// The records of the file: an array's elements, an object's member values
// (with their keys) or a single value, null holding none.
class RecordWalk
{
public:
    using Make = std::function<std::unique_ptr<Record>(size_t ordinal)>;
    // key is null for the records of an array or a single record.
    using Done = std::function<void(size_t ordinal, const std::string *key, Record &record)>;

    RecordWalk(Make make, Done done) : make(std::move(make)), done(std::move(done)) {}

    void Value(json &&value);
    void String(std::string &text);
    void StartObject() { Open(true); }
    void StartArray() { Open(false); }
    void Key(std::string &key);
    void EndObject();
    void EndArray();

    bool is_object = false;

private:
    void Open(bool object);

    template <class Event> void Close(Event &&event)
    {
        if (record)
            Each(event);
        else
            depth = 0;
    }

    template <class Event> void Each(Event &&event)
    {
        if (!record)
            record = make(ordinal);
        event(*record);
        if (!record->Complete())
            return;
        done(ordinal++, depth == 1 && is_object ? &record_key : nullptr, *record);
        record.reset();
    }

    Make make;
    Done done;
    size_t depth = 0;
    size_t ordinal = 0;
    std::string record_key;
    std::unique_ptr<Record> record;
};

// Reads the file at path (at most max_file_size bytes, comments allowed),
// visiting each record's header (Record::header) in the order the JSON
// library visits them: an array's in order, an object's in key order, a key
// given twice keeping its last record. Throws the reader's errors (vppJson).
using HeaderVisit = std::function<void(const json &record)>;
void ReadHeaders(const std::string &path, const HeaderVisit &visit);

}  // namespace vppLegacyFile
