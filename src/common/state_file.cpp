#include "common/state_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/thread_toolkit.h"
#include "vd_temp.h"

namespace vppStateFile {
namespace {

// The system's reason for the last failure, or fallback when it left none.
std::string Reason(const char *fallback)
{
    return errno ? strerror(errno) : fallback;
}

std::optional<std::string> WriteThroughTemporary(const std::string &path, const std::string &text)
{
    // Removes the temporary file unless it was committed.
    vdTemp::File file(path);
    errno = 0;
    if (file.Open() < 0)
        return Reason("cannot create a temporary file");

    errno = 0;
    std::ofstream &stream = file.Stream();
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    stream.flush();
    if (!stream)
        return Reason("write error");

    errno = 0;
    if (!file.Commit())
        return Reason("cannot replace the file");
    return std::nullopt;
}

}  // namespace

std::optional<std::string> Write(const std::string &path, const std::string &text)
{
    std::optional<std::string> error;
    vppThread::Guard([&] { error = WriteThroughTemporary(path, text); }, [&](const char *what) { error = what; });
    return error;
}

vppFile::ReadResult Read(const std::string &path, size_t max_size)
{
    vppFile::ReadResult result;
    vppThread::Guard([&] { result = vppFile::ReadBounded(path, max_size); },
                     [&](const char *what) {
                         result = vppFile::ReadResult();
                         result.error = what;
                     });
    return result;
}

}  // namespace vppStateFile
