#include "feeds/signatures/signature_readers.h"

#include <map>
#include <optional>

namespace vdfSignatureSets {
namespace {

using vppJson::Input;

// Where the events of one member's value go until the value is whole: passed
// over, built as a document into a target, or streamed into a set.
class Sink
{
public:
    bool Active() const { return kind != Kind::none; }
    void Skip()
    {
        kind = Kind::skip;
        skipper.emplace();
    }
    void Build(const Input &input, json &into)
    {
        kind = Kind::value;
        builder.emplace(vppJson::Keys::last_wins, input);
        target = &into;
    }
    void Stream(std::unique_ptr<SetStream> stream, std::unique_ptr<SetStream> &into)
    {
        kind = Kind::set;
        set = std::move(stream);
        set_target = &into;
    }

    // Hands the event on; true when it completed the value, which is then
    // delivered to its target.
    template <class Event> bool Forward(Event &&event)
    {
        switch (kind) {
        case Kind::skip:
            event(*skipper);
            if (!skipper->Complete())
                return false;
            break;
        case Kind::value:
            event(*builder);
            if (!builder->Complete())
                return false;
            *target = builder->Take();
            break;
        case Kind::set:
            event(*set);
            if (!set->Complete())
                return false;
            *set_target = std::move(set);
            break;
        case Kind::none:
            return false;
        }
        kind = Kind::none;
        return true;
    }

private:
    enum class Kind { none, skip, value, set };
    Kind kind = Kind::none;
    std::optional<Skipper> skipper;
    std::optional<vppJson::ValueBuilder> builder;
    json *target = nullptr;
    std::unique_ptr<SetStream> set;
    std::unique_ptr<SetStream> *set_target = nullptr;
};

// The events of a handler that routes values to a Sink: each one goes to
// the active sink (Derived::Route is false when none is), or to the
// handler's own step for its own level.
template <class Derived> class Routed
{
public:
    void Value(json &&value)
    {
        if (!Self().Route([&](auto &h) { h.Value(std::move(value)); }))
            Self().OwnValue(std::move(value));
    }
    void String(std::string &text)
    {
        if (!Self().Route([&](auto &h) { h.String(text); }))
            Self().OwnString(text);
    }
    void StartObject()
    {
        if (!Self().Route([](auto &h) { h.StartObject(); }))
            Self().OwnOpen(true);
    }
    void StartArray()
    {
        if (!Self().Route([](auto &h) { h.StartArray(); }))
            Self().OwnOpen(false);
    }
    void Key(std::string &key)
    {
        if (!Self().Route([&](auto &h) { h.Key(key); }))
            Self().OwnKey(key);
    }
    void EndObject()
    {
        if (!Self().Route([](auto &h) { h.EndObject(); }))
            Self().OwnClose();
    }
    void EndArray()
    {
        if (!Self().Route([](auto &h) { h.EndArray(); }))
            Self().OwnClose();
    }

private:
    Derived &Self() { return static_cast<Derived &>(*this); }
};

// ---- Signature data files ------------------------------------------------------

class PayloadReader : public Routed<PayloadReader>
{
public:
    PayloadReader(const Input &input, DataType forced, Payload &out) : input(input), forced(forced), out(out) {}

private:
    friend class Routed<PayloadReader>;

    template <class Event> bool Route(Event &&event)
    {
        if (!sink.Active())
            return false;
        sink.Forward(event);
        return true;
    }

    // A payload that is no object: read past.
    void OwnValue(json &&) {}
    void OwnString(std::string &) {}
    void OwnOpen(bool is_object)
    {
        if (depth++ == 0 && is_object) {
            out.is_object = true;
            return;
        }
        sink.Skip();
        sink.Forward([&](auto &h) { is_object ? h.StartObject() : h.StartArray(); });
    }
    void OwnClose() { depth--; }

    void OwnKey(const std::string &key)
    {
        if (key == "data")
            Data();
        else if (key == "id" || forced != DataType::invalid)
            sink.Skip();
        else
            sink.Build(input, out.metadata[key]);
    }

    // The last "data" member stands: each one replaces the set before it.
    void Data()
    {
        out.has_data = true;
        out.set.reset();
        out.set_type = forced != DataType::invalid ? forced : TypeSoFar();
        if (out.set_type == DataType::invalid) {
            sink.Skip();
            return;
        }
        sink.Stream(std::make_unique<SetStream>(out.set_type, input), out.set);
    }

    DataType TypeSoFar() const
    {
        const json *type = vppJson::FindMember(out.metadata, "data_type");
        if (type == nullptr || !type->is_string())
            return DataType::invalid;
        return vppDataFeed::Base::GetDataType(type->get<std::string>());
    }

    const Input &input;
    const DataType forced;
    Payload &out;
    Sink sink;
    size_t depth = 0;
};

// ---- Legacy records ----------------------------------------------------------------

// One record of the legacy file: its header as a small document and, when
// its tag is the one wanted by the time its data comes, its set.
class LegacyRecord : public Routed<LegacyRecord>
{
public:
    // wanted: the tag whose data is built (nullptr: none); build_every: the
    // record's data is built whatever its tag (a second pass's target).
    LegacyRecord(const Input &input, const std::string *wanted, DataType type, bool build_every)
        : input(input), wanted(wanted), type(type), build_every(build_every)
    {
    }

    bool Complete() const { return complete; }

    // The record less intelligence's "data"; null for a record that is no
    // object.
    json header;
    // The set of the last "data" member, when it was built.
    std::unique_ptr<SetStream> set;
    // Whether set is the set of the record's last "intelligence" member's
    // last "data" (none at all is an empty set).
    bool set_is_final = true;

private:
    friend class Routed<LegacyRecord>;

    template <class Event> bool Route(Event &&event)
    {
        if (!sink.Active())
            return false;
        if (sink.Forward(event))
            Delivered();
        return true;
    }

    void OwnValue(json &&value)
    {
        if (expect_intelligence)
            BuildIntelligence([&](auto &h) { h.Value(std::move(value)); });
        else
            complete = depth == 0;  // a record that is no object
    }
    void OwnString(std::string &text)
    {
        if (expect_intelligence)
            BuildIntelligence([&](auto &h) { h.String(text); });
        else
            complete = depth == 0;
    }

    void OwnOpen(bool is_object)
    {
        if (expect_intelligence) {
            if (is_object) {
                expect_intelligence = false;
                header["intelligence"] = json::object();
                depth++;
                return;
            }
            BuildIntelligence([](auto &h) { h.StartArray(); });
            return;
        }
        if (depth == 0 && is_object) {
            header = json::object();
            depth++;
            return;
        }
        // A record that is no object: read past.
        sink.Skip();
        sink.Forward([](auto &h) { h.StartArray(); });
        skipped_record = true;
    }

    void OwnClose()
    {
        if (--depth == 0)
            complete = true;
    }

    void OwnKey(const std::string &key)
    {
        if (depth == 1)
            RecordMember(key);
        else
            IntelligenceMember(key);
    }

    void RecordMember(const std::string &key)
    {
        if (key == "intelligence") {
            // A later "intelligence" replaces the earlier one whole.
            expect_intelligence = true;
            set.reset();
            set_is_final = true;
            tag_so_far.reset();
        } else if (key == "sha1") {
            sink.Build(input, header["sha1"]);
        } else {
            sink.Skip();
        }
    }

    // An "intelligence" that is no object is kept as it is, for its message.
    template <class First> void BuildIntelligence(First &&first)
    {
        expect_intelligence = false;
        sink.Build(input, header["intelligence"]);
        if (sink.Forward(first))
            Delivered();
    }

    void IntelligenceMember(const std::string &key)
    {
        json &intelligence = header["intelligence"];
        if (key == "data") {
            set.reset();
            set_is_final = build_every || (wanted != nullptr && tag_so_far == *wanted);
            if (set_is_final)
                sink.Stream(std::make_unique<SetStream>(type, input), set);
            else
                sink.Skip();
        } else if (key == "id") {
            sink.Skip();
        } else {
            delivering_tag = key == "tag";
            sink.Build(input, intelligence[key]);
        }
    }

    void Delivered()
    {
        if (skipped_record && !sink.Active())
            complete = true;
        if (!delivering_tag)
            return;
        delivering_tag = false;
        const json &tag = header["intelligence"]["tag"];
        tag_so_far = tag.is_string() ? std::optional<std::string>(tag.get<std::string>()) : std::nullopt;
    }

    const Input &input;
    const std::string *wanted;
    const DataType type;
    const bool build_every;
    Sink sink;
    size_t depth = 0;
    bool complete = false;
    bool skipped_record = false;
    bool expect_intelligence = false;
    bool delivering_tag = false;
    std::optional<std::string> tag_so_far;
};

// The records of the legacy file: an array's elements, an object's member
// values (with their keys) or a single value, null holding none.
class RecordWalk
{
public:
    using Make = std::function<std::unique_ptr<LegacyRecord>(size_t ordinal)>;
    // key is null for the records of an array or a single record.
    using Done = std::function<void(size_t ordinal, const std::string *key, LegacyRecord &record)>;

    RecordWalk(Make make, Done done) : make(std::move(make)), done(std::move(done)) {}

    void Value(json &&value)
    {
        if (record || !(depth == 0 && value.is_null()))
            Each([&](auto &h) { h.Value(std::move(value)); });
    }
    void String(std::string &text)
    {
        Each([&](auto &h) { h.String(text); });
    }
    void StartObject() { Open(true); }
    void StartArray() { Open(false); }
    void Key(std::string &key)
    {
        if (record)
            Each([&](auto &h) { h.Key(key); });
        else
            record_key = key;
    }
    void EndObject() { Close([](auto &h) { h.EndObject(); }); }
    void EndArray() { Close([](auto &h) { h.EndArray(); }); }

    bool is_object = false;

private:
    void Open(bool object)
    {
        if (!record && depth == 0) {
            depth = 1;
            is_object = object;
            return;
        }
        Each([&](auto &h) { object ? h.StartObject() : h.StartArray(); });
    }

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
    std::unique_ptr<LegacyRecord> record;
};

// A record's header entry when the record is a usable one of tag.
std::unique_ptr<TagData> UsableHeader(const json &header, const std::string &tag)
{
    try {
        if (LegacyRecordTag(header) != tag)
            return nullptr;
        auto entry = ReadLegacyHeader(header);
        return entry->data_type == DataType::invalid ? nullptr : std::move(entry);
    } catch (const std::exception &) {
        // Reported when the metadata was loaded.
        return nullptr;
    }
}

}  // namespace

Payload ReadPayload(const std::string &path, size_t max_size, DataType forced)
{
    Input input(path, max_size);
    Payload payload;
    PayloadReader reader(input, forced, payload);
    vppJson::Parse(input, reader, vppJson::Comments::allowed);
    return payload;
}

void ReadLegacyHeaders(const std::string &path, size_t max_size, const LegacyHeaderVisit &visit)
{
    Input input(path, max_size);
    std::map<std::string, json> by_key;
    RecordWalk walk([&](size_t) { return std::make_unique<LegacyRecord>(input, nullptr, DataType::invalid, false); },
                    [&](size_t, const std::string *key, LegacyRecord &record) {
                        if (key != nullptr)
                            by_key.insert_or_assign(*key, std::move(record.header));
                        else
                            visit(record.header);
                    });
    vppJson::Parse(input, walk, vppJson::Comments::allowed);
    // An object's records in key order, as the JSON library visits them.
    for (const auto &[key, header] : by_key)
        visit(header);
}

LegacyTag ReadLegacyTag(const std::string &path, size_t max_size, const std::string &tag, DataType type)
{
    struct Candidate {
        size_t ordinal = 0;
        std::unique_ptr<TagData> header;
        std::unique_ptr<SetStream> set;
        bool set_is_final = false;
    };
    std::optional<Candidate> chosen;
    std::map<std::string, Candidate> by_key;
    {
        Input input(path, max_size);
        RecordWalk walk([&](size_t) { return std::make_unique<LegacyRecord>(input, &tag, type, false); },
                        [&](size_t ordinal, const std::string *key, LegacyRecord &record) {
                            Candidate candidate{ordinal, UsableHeader(record.header, tag), std::move(record.set),
                                                record.set_is_final};
                            if (key != nullptr)
                                by_key.insert_or_assign(*key, std::move(candidate));
                            else if (candidate.header)
                                chosen = std::move(candidate);
                        });
        vppJson::Parse(input, walk, vppJson::Comments::allowed);
    }
    // Of an object's records, the last usable one in key order.
    for (auto &[key, candidate] : by_key) {
        if (candidate.header) {
            candidate.set_is_final = false;
            chosen = std::move(candidate);
        }
    }
    if (!chosen)
        throw vdException("not found");

    const DataType chosen_type = chosen->header->data_type;
    if (!chosen->set_is_final || chosen_type != type) {
        // Its data came before its tag, or under another data type: read the
        // chosen record again, its data by its own header's type.
        chosen->set.reset();
        Input input(path, max_size);
        RecordWalk walk(
            [&](size_t ordinal) {
                return std::make_unique<LegacyRecord>(input, nullptr, chosen_type, ordinal == chosen->ordinal);
            },
            [&](size_t ordinal, const std::string *, LegacyRecord &record) {
                if (ordinal == chosen->ordinal)
                    chosen->set = std::move(record.set);
            });
        vppJson::Parse(input, walk, vppJson::Comments::allowed);
    }
    return LegacyTag{std::move(chosen->header), std::move(chosen->set)};
}

}  // namespace vdfSignatureSets
