// The one way the plug-in reads a file it does not trust (configuration,
// state files, data sets): opened without blocking, only a regular file, and
// never more than a stated number of bytes.
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace vppFile
