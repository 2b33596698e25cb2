#include "feeds/signatures/signature_readers.h"

#include <map>
#include <optional>

#include "feeds/legacy_records.h"

namespace vdfSignatureSets {
namespace {

using vppJson::Input;
using vppLegacyFile::RecordWalk;

// ---- Signature data files ------------------------------------------------------

class PayloadReader : public vppJson::Routed<PayloadReader>
{
public:
    PayloadReader(const Input &input, DataType forced, Payload &out) : input(input), forced(forced), out(out) {}

private:
    friend class vppJson::Routed<PayloadReader>;

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
        out.set = std::make_unique<SetStream>(out.set_type, input);
        sink.Stream(*out.set);
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
    vppJson::Sink sink;
    size_t depth = 0;
};

// ---- Legacy records ----------------------------------------------------------------

// A record whose data is built as a set of type.
std::unique_ptr<vppLegacyFile::Record> SetRecord(const Input &input, const std::string *wanted, DataType type,
                                                 bool build_every)
{
    return std::make_unique<vppLegacyFile::Record>(
        input, wanted, [&input, type] { return std::make_unique<SetStream>(type, input); }, build_every);
}

// The record's set, which SetRecord made a SetStream.
std::unique_ptr<SetStream> TakeSet(vppLegacyFile::Record &record)
{
    return std::unique_ptr<SetStream>(static_cast<SetStream *>(record.set.release()));
}

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

LegacyTag ReadLegacyTag(const std::string &path, const std::string &tag, DataType type)
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
        Input input(path, vppLegacyFile::max_file_size);
        RecordWalk walk(
            [&](size_t) { return SetRecord(input, &tag, type, false); },
            [&](size_t ordinal, const std::string *key, vppLegacyFile::Record &record) {
                Candidate candidate{ordinal, UsableHeader(record.header, tag), TakeSet(record), record.set_is_final};
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
        Input input(path, vppLegacyFile::max_file_size);
        RecordWalk walk(
            [&](size_t ordinal) { return SetRecord(input, nullptr, chosen_type, ordinal == chosen->ordinal); },
            [&](size_t ordinal, const std::string *, vppLegacyFile::Record &record) {
                if (ordinal == chosen->ordinal)
                    chosen->set = TakeSet(record);
            });
        vppJson::Parse(input, walk, vppJson::Comments::allowed);
    }
    return LegacyTag{std::move(chosen->header), std::move(chosen->set)};
}

}  // namespace vdfSignatureSets
