#include "common/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vppFile {
namespace {

ReadResult Failure(const std::string &error)
{
    ReadResult result;
    result.error = error;
    return result;
}

ReadResult TooLarge(size_t max_size)
{
    ReadResult result = Failure("larger than " + std::to_string(max_size) + " bytes");
    result.too_large = true;
    return result;
}

// Closes the descriptor however the read ends.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    const int fd;
};

// Reads until end of file or max_size + 1 bytes, whichever comes first. The
// buffer starts at the size fstat gave, so a generous bound costs nothing.
bool ReadAll(int fd, size_t expected_size, size_t max_size, std::string &text, int &error)
{
    const size_t limit = max_size + 1;
    text.resize(std::min(expected_size + 1, limit));
    size_t filled = 0;
    while (filled < limit) {
        if (filled == text.size())
            text.resize(std::min(text.size() * 2, limit));
        ssize_t got = read(fd, text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = errno;
            return false;
        }
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
    }
    text.resize(filled);
    return true;
}

}  // namespace

ReadResult ReadBounded(const std::string &path, size_t max_size)
{
    // Non-blocking, so that opening a FIFO with no writer returns at once.
    Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0) {
        int error = errno;
        if (error == ENOENT) {
            ReadResult result;
            result.status = ReadStatus::missing;
            return result;
        }
        return Failure(strerror(error));
    }

    struct stat info;
    if (fstat(file.fd, &info) != 0)
        return Failure(strerror(errno));
    if (!S_ISREG(info.st_mode))
        return Failure("not a regular file");
    if (static_cast<unsigned long long>(info.st_size) > max_size)
        return TooLarge(max_size);

    ReadResult result;
    int error = 0;
    if (!ReadAll(file.fd, static_cast<size_t>(info.st_size), max_size, result.text, error))
        return Failure(strerror(error));
    // The file may have grown since fstat.
    if (result.text.size() > max_size)
        return TooLarge(max_size);
    result.status = ReadStatus::ok;
    return result;
}

}  // namespace vppFile
