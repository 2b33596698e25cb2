// Event ids: handed out in rising order, never wrapping, and kept in a state
// file so that they keep rising across restarts, orderly or not.
#include <algorithm>
#include <charconv>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "common/state_file.h"
#include "core/plugin.h"

namespace {

// Far more than any id and its line feed; a longer file is not ours.
constexpr size_t max_event_id_file_size = 256;

constexpr uint64_t max_event_id = std::numeric_limits<uint64_t>::max();

uint64_t ClockSeed()
{
    return static_cast<uint64_t>(std::time(nullptr)) << 20;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

const char *SkipSpace(const char *c, const char *end)
{
    while (c != end && IsSpace(*c))
        c++;
    return c;
}

// An unsigned decimal number read as stream extraction reads it: white space
// around it, but no sign, no other characters and no overflow.
std::optional<uint64_t> ParseEventId(const std::string &text)
{
    const char *end = text.data() + text.size();
    const char *begin = SkipSpace(text.data(), end);
    if (begin == end || *begin < '0' || *begin > '9')
        return std::nullopt;
    uint64_t id = 0;
    auto [stop, error] = std::from_chars(begin, end, id);
    if (error != std::errc() || SkipSpace(stop, end) != end)
        return std::nullopt;
    return id;
}

void ReportLoadError(const std::string &tag, const std::string &path, const std::string &reason)
{
    vd_printf("%s: Error loading last event ID: %s: %s\n", tag.c_str(), path.c_str(), reason.c_str());
}

// The saved id when the file holds one that leaves room for at least one
// more reservation; reports every other file but a missing one.
std::optional<uint64_t> ReadSavedEventId(const std::string &tag, const std::string &path)
{
    vppFile::ReadResult file = vppStateFile::Read(path, max_event_id_file_size);
    if (file.status == vppFile::ReadStatus::missing)
        return std::nullopt;
    if (file.status != vppFile::ReadStatus::ok) {
        // An overlong file holds no id of ours, as one with other text.
        ReportLoadError(tag, path, file.too_large ? "invalid" : file.error);
        return std::nullopt;
    }
    std::optional<uint64_t> saved = ParseEventId(file.text);
    if (!saved) {
        ReportLoadError(tag, path, "invalid");
        return std::nullopt;
    }
    if (max_event_id - *saved < vppPlugin::event_id_reservation) {
        ReportLoadError(tag, path, std::to_string(*saved) + " is too close to the largest event ID");
        return std::nullopt;
    }
    return saved;
}

}  // namespace

void vppPlugin::LoadEventId()
{
    last_event_id = ClockSeed();
    reserved_event_id = 0;
    event_ids_exhausted = false;
    try {
        std::optional<uint64_t> saved = ReadSavedEventId(tag, event_id_path);
        if (!saved)
            return;
        reserved_event_id = *saved;
        if (*saved > last_event_id)
            last_event_id = *saved;
        vd_dprintf("%s: Loaded last event ID: %lu, next: %lu\n", tag.c_str(), static_cast<unsigned long>(*saved),
                   static_cast<unsigned long>(last_event_id + 1));
    } catch (const std::exception &e) {
        ReportLoadError(tag, event_id_path, e.what());
    }
}

void vppPlugin::SaveEventId()
{
    // The file now covers exactly the ids handed out: the next one starts a
    // new reservation.
    if (WriteEventIdFile(last_event_id))
        reserved_event_id = last_event_id;
}

std::optional<uint64_t> vppPlugin::NextEventId()
{
    if (last_event_id == max_event_id) {
        if (!event_ids_exhausted)
            vd_printf("%s: Event IDs exhausted at %lu: intel is no longer output\n", tag.c_str(),
                      static_cast<unsigned long>(last_event_id));
        event_ids_exhausted = true;
        return std::nullopt;
    }
    const uint64_t id = last_event_id + 1;
    if (id > reserved_event_id) {
        // Saved before the id is handed out. A failed save is logged once
        // for the block, and numbering goes on: losing intel would be worse
        // than the risk of an id reused after a crash.
        reserved_event_id = id + std::min(event_id_reservation, max_event_id - id);
        WriteEventIdFile(reserved_event_id);
    }
    last_event_id = id;
    return id;
}

bool vppPlugin::WriteEventIdFile(uint64_t value)
{
    std::optional<std::string> error = vppStateFile::Write(event_id_path, std::to_string(value) + "\n");
    if (error)
        vd_printf("%s: Error saving last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(), error->c_str());
    return !error;
}
