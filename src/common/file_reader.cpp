#include "common/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

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

// Opens path for reading when it is a regular file: the descriptor, or -1
// with errno set (0 for a file that is not regular). Non-blocking, so that
// opening a FIFO with no writer returns at once.
int OpenRegular(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (S_ISREG(info.st_mode))
        return fd;
    close(fd);
    errno = error;
    return -1;
}

// Why OpenRegular failed, from the errno it left.
std::string OpenError()
{
    return errno != 0 ? strerror(errno) : "not a regular file";
}

}  // namespace

ReadResult ReadBounded(const std::string &path, size_t max_size)
{
    Descriptor file(OpenRegular(path));
    if (file.fd < 0) {
        if (errno == ENOENT) {
            ReadResult result;
            result.status = ReadStatus::missing;
            return result;
        }
        return Failure(OpenError());
    }

    struct stat info;
    if (fstat(file.fd, &info) != 0)
        return Failure(strerror(errno));
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

// Large enough that a read call brings in many small records at once.
constexpr size_t sequential_buffer_size = 64 * 1024;

SequentialReader::SequentialReader(const std::string &path)
{
    fd = OpenRegular(path);
    if (fd < 0) {
        status = errno == ENOENT ? ReadStatus::missing : ReadStatus::error;
        error = status == ReadStatus::missing ? "" : OpenError();
        return;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        error = strerror(errno);
        return;
    }
    size = static_cast<uint64_t>(info.st_size);
    buffer.resize(sequential_buffer_size);
    status = ReadStatus::ok;
}

SequentialReader::~SequentialReader()
{
    if (fd >= 0)
        close(fd);
}

bool SequentialReader::Read(void *out, size_t length)
{
    char *to = static_cast<char *>(out);
    while (length > 0) {
        if (begin == end && !Fill())
            return false;
        const size_t piece = std::min(length, end - begin);
        std::memcpy(to, buffer.data() + begin, piece);
        begin += piece;
        to += piece;
        length -= piece;
    }
    return true;
}

bool SequentialReader::Skip(uint64_t length)
{
    if (status != ReadStatus::ok) {
        error = "file not open";
        return false;
    }
    const size_t buffered = end - begin;
    if (length <= buffered) {
        begin += static_cast<size_t>(length);
        return true;
    }
    length -= buffered;
    begin = end = 0;
    if (!std::in_range<off_t>(length) || lseek(fd, static_cast<off_t>(length), SEEK_CUR) < 0) {
        error = std::in_range<off_t>(length) ? strerror(errno) : "offset out of range";
        return false;
    }
    return true;
}

bool SequentialReader::Next(std::string_view &piece)
{
    if (begin == end && ReadBuffer() <= 0)
        return false;
    piece = std::string_view(buffer.data() + begin, end - begin);
    begin = end;
    return true;
}

bool SequentialReader::Fill()
{
    const ssize_t got = ReadBuffer();
    if (got == 0)
        error = "unexpected end of file";
    return got > 0;
}

ssize_t SequentialReader::ReadBuffer()
{
    if (status != ReadStatus::ok) {
        error = "file not open";
        return -1;
    }
    ssize_t got;
    do
        got = read(fd, buffer.data(), buffer.size());
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        error = strerror(errno);
        return got;
    }
    begin = 0;
    end = static_cast<size_t>(got);
    return got;
}

}  // namespace vppFile
