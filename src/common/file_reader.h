// The one way the plug-in reads a file it does not trust (configuration,
// state files, data sets): opened without blocking, only a regular file, and
// never more than a stated number of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <string>
#include <string_view>
#include <vector>

namespace vppFile {

enum class ReadStatus { ok, missing, error };

struct ReadResult {
    ReadStatus status = ReadStatus::error;
    // The whole file when status is ok.
    std::string text;
    // Why the file could not be read: the system's reason, "not a regular
    // file", or "larger than N bytes"; empty unless status is error.
    std::string error;
    // Refused for its size alone; error says so too.
    bool too_large = false;
};

// Reads the whole file at path. A file that does not exist is missing (not
// an error). A FIFO, a device or a directory is refused before any read, so
// a reader never blocks on one; a file longer than max_size is refused
// without reading more than max_size + 1 bytes.
ReadResult ReadBounded(const std::string &path, size_t max_size);

// A file read in pieces, for readers whose memory must follow what they keep
// rather than the file's size. Opened as ReadBounded opens: without
// blocking, regular files only.
class SequentialReader
{
public:
    explicit SequentialReader(const std::string &path);
    ~SequentialReader();

    SequentialReader(const SequentialReader &) = delete;
    SequentialReader &operator=(const SequentialReader &) = delete;

    // ok once open; missing; or error, with Error() saying why.
    ReadStatus Status() const { return status; }
    const std::string &Error() const { return error; }
    // The file's size when it was opened.
    uint64_t Size() const { return size; }

    // Reads exactly length bytes: false at an early end of the file or on a
    // read error, with Error() saying which.
    bool Read(void *out, size_t length);
    // Passes over length bytes without reading them.
    bool Skip(uint64_t length);
    // The next bytes of the file, as many as one read brings (valid until
    // the next call): false at the end of the file (Error() empty) or on a
    // read error (Error() says why).
    bool Next(std::string_view &piece);

private:
    bool Fill();
    // One read into the buffer: the bytes read, 0 at the end, -1 on error.
    ssize_t ReadBuffer();

    int fd = -1;
    ReadStatus status = ReadStatus::error;
    std::string error;
    uint64_t size = 0;
    std::vector<char> buffer;
    size_t begin = 0;  // unread bytes of buffer: [begin, end)
    size_t end = 0;
};

}  // namespace vppFile
