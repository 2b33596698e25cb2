// Small files of state the plug-in keeps across restarts (event ids, caches,
// server lists): replaced whole in one step, read whole within a size bound.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/file_reader.h"

namespace vppStateFile {

// Replaces the file at path with text: written to a temporary file beside
// it, flushed, synced and renamed over it, so that a reader sees the old
// text or the new one, never a part. On any failure the old file is left as
// it was and the temporary file is removed. Returns why the write failed
// (the system's reason where it gave one), nothing when it succeeded.
// Never throws.
std::optional<std::string> Write(const std::string &path, const std::string &text);

// Reads the whole file at path, as vppFile::ReadBounded does: a missing file
// is missing, not an error; a FIFO, device or directory is refused without
// blocking; a file longer than max_size is refused. Never throws.
vppFile::ReadResult Read(const std::string &path, size_t max_size);

}  // namespace vppStateFile
