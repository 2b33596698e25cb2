// The last event id handed out, kept in a state file so that ids keep
// rising across restarts.
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>

#include "core/plugin.h"

namespace {

// Far more than any id and its line feed; a longer file is not ours.
constexpr size_t max_event_id_file_size = 256;

uint64_t ClockSeed()
{
    return static_cast<uint64_t>(std::time(nullptr)) << 20;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A plain unsigned decimal number, optionally followed by white space; no
// sign, no other characters, no overflow.
std::optional<uint64_t> ParseEventId(const std::string &text)
{
    uint64_t id = 0;
    const char *begin = text.data();
    const char *end = begin + text.size();
    if (begin == end || *begin < '0' || *begin > '9')
        return std::nullopt;
    auto [stop, error] = std::from_chars(begin, end, id);
    if (error != std::errc())
        return std::nullopt;
    for (const char *c = stop; c != end; c++) {
        if (!IsSpace(*c))
            return std::nullopt;
    }
    return id;
}

}  // namespace

void vppPlugin::LoadEventId()
{
    last_event_id = ClockSeed();

    errno = 0;
    std::ifstream file(event_id_path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        if (errno != ENOENT)
            vd_printf("%s: Error loading last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(),
                      strerror(errno ? errno : EIO));
        return;
    }

    std::string text(max_event_id_file_size + 1, '\0');
    errno = 0;
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad()) {
        vd_printf("%s: Error loading last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(),
                  strerror(errno ? errno : EIO));
        return;
    }
    text.resize(static_cast<size_t>(file.gcount()));

    std::optional<uint64_t> saved;
    if (text.size() <= max_event_id_file_size)
        saved = ParseEventId(text);
    if (!saved) {
        vd_printf("%s: Error loading last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(), "invalid");
        return;
    }
    if (*saved > last_event_id)
        last_event_id = *saved;
    vd_dprintf("%s: Loaded last event ID: %lu, next: %lu\n", tag.c_str(), static_cast<unsigned long>(*saved),
               static_cast<unsigned long>(last_event_id + 1));
}

void vppPlugin::SaveEventId()
{
    try {
        vdTemp::File file(event_id_path, false, 0);
        if (file.Open() < 0) {
            vd_printf("%s: Error saving last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(), strerror(errno));
            return;
        }
        errno = 0;
        std::ofstream &stream = file.Stream();
        stream << last_event_id << '\n';
        stream.flush();
        if (!stream) {
            vd_printf("%s: Error saving last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(),
                      errno ? strerror(errno) : "write error");
            return;
        }
        if (!file.Commit())
            vd_printf("%s: Error saving last event ID: %s\n", tag.c_str(), event_id_path.c_str());
    } catch (const std::exception &e) {
        vd_printf("%s: Error saving last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(), e.what());
    } catch (...) {
        vd_printf("%s: Error saving last event ID: %s: %s\n", tag.c_str(), event_id_path.c_str(), "unknown exception");
    }
}
