#include "feeds/legacy_records.h"

#include <map>
#include <utility>

namespace vppLegacyFile {

Record::Record(const vppJson::Input &input, const std::string *wanted, MakeSet make_set, bool build_every)
    : input(input), wanted(wanted), make_set(std::move(make_set)), build_every(build_every)
{
}

void Record::OwnValue(json &&value)
{
    if (expect_intelligence)
        BuildIntelligence([&](auto &h) { h.Value(std::move(value)); });
    else
        complete = depth == 0;  // a record that is no object
}

void Record::OwnString(std::string &text)
{
    if (expect_intelligence)
        BuildIntelligence([&](auto &h) { h.String(text); });
    else
        complete = depth == 0;
}

void Record::OwnOpen(bool is_object)
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

void Record::OwnClose()
{
    if (--depth == 0)
        complete = true;
}

void Record::OwnKey(const std::string &key)
{
    if (depth == 1)
        RecordMember(key);
    else
        IntelligenceMember(key);
}

void Record::RecordMember(const std::string &key)
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

void Record::IntelligenceMember(const std::string &key)
{
    json &intelligence = header["intelligence"];
    if (key == "data") {
        set.reset();
        set_is_final = build_every || (wanted != nullptr && tag_so_far == *wanted);
        if (set_is_final && make_set) {
            set = make_set();
            sink.Stream(*set);
        } else {
            sink.Skip();
        }
    } else if (key == "id") {
        sink.Skip();
    } else {
        delivering_tag = key == "tag";
        sink.Build(input, intelligence[key]);
    }
}

void Record::Delivered()
{
    if (skipped_record && !sink.Active())
        complete = true;
    if (!delivering_tag)
        return;
    delivering_tag = false;
    const json &tag = header["intelligence"]["tag"];
    tag_so_far = tag.is_string() ? std::optional<std::string>(tag.get<std::string>()) : std::nullopt;
}

void RecordWalk::Value(json &&value)
{
    if (record || !(depth == 0 && value.is_null()))
        Each([&](auto &h) { h.Value(std::move(value)); });
}

void RecordWalk::String(std::string &text)
{
    Each([&](auto &h) { h.String(text); });
}

void RecordWalk::Key(std::string &key)
{
    if (record)
        Each([&](auto &h) { h.Key(key); });
    else
        record_key = key;
}

void RecordWalk::EndObject()
{
    Close([](auto &h) { h.EndObject(); });
}

void RecordWalk::EndArray()
{
    Close([](auto &h) { h.EndArray(); });
}

void RecordWalk::Open(bool object)
{
    if (!record && depth == 0) {
        depth = 1;
        is_object = object;
        return;
    }
    Each([&](auto &h) { object ? h.StartObject() : h.StartArray(); });
}

void ReadHeaders(const std::string &path, const HeaderVisit &visit)
{
    vppJson::Input input(path, max_file_size);
    std::map<std::string, json> by_key;
    RecordWalk walk([&](size_t) { return std::make_unique<Record>(input, nullptr, nullptr, false); },
                    [&](size_t, const std::string *key, Record &record) {
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

}  // namespace vppLegacyFile
