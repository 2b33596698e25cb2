// The intel cache file's layout and its records apart from any file: a
// 4-byte flow-key set, then records of a 16-character key, an 8-byte length
// and the entry's typed JSON text, all in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/intel_entry.h"

namespace vppCache {

constexpr size_t file_header_size = sizeof(uint32_t);
constexpr size_t record_key_size = 16;
constexpr size_t record_head_size = record_key_size + sizeof(uint64_t);
// The longest entry text a file holds: far above any entry an indicator
// completes, and the most a load allocates for one record. Longer entries
// are not saved; longer records are skipped when read.
constexpr size_t max_record_length = 1024 * 1024;

// The entry's text as a record holds it: compact JSON, typed attributes.
std::string RenderRecord(const vppIntel::Entry &entry);

// Reads one record of the store tag: throws a std::exception naming what is
// wrong when the key is not 16 hexadecimal digits, when the text is not an
// entry in the typed form, or when the entry belongs to another indicator.
vppIntel::Entry ParseRecord(const std::string &key, const std::string &text, const std::string &tag);

}  // namespace vppCache
