// The one way the plug-in reads JSON it does not trust: checked parsing of
// text and files, member lookups with the house log and error lines, and
// numbers read leniently (configuration) or strictly (stored files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "vd_common.h"

namespace vppJson {

// ---- Parsing ---------------------------------------------------------------

// Objects and arrays nested deeper than this are refused while parsing:
// copying and destroying a value recurse once per level.
constexpr size_t max_nesting_depth = 64;

// A document that could not be had; what() is "<source>: <problem>".
class DocumentError : public std::runtime_error
{
public:
    DocumentError(const std::string &source, const std::string &problem);

    const std::string &Source() const { return source; }
    // The message without the source, for lines that name the file already.
    const std::string &Problem() const { return problem; }

private:
    std::string source;
    std::string problem;
};

// The file could not be read: the system's reason, "not a regular file" or
// "larger than N bytes" (a missing file gives the system's ENOENT text).
class ReadError : public DocumentError
{
    using DocumentError::DocumentError;
};

// The text breaks a rule of the reader: "line 3: nested deeper than 64
// levels", "line 1: NUL byte", "line 7: duplicate key \"a\"".
class StructureError : public DocumentError
{
public:
    StructureError(const std::string &source, size_t line, const std::string &rule,
                   std::optional<std::string> duplicate_key = std::nullopt);

    size_t Line() const { return line; }
    // The rule broken, without its line: "nested deeper than 64 levels".
    const std::string &Rule() const { return rule; }
    // The key given twice, for a duplicate.
    const std::optional<std::string> &DuplicateKey() const { return duplicate_key; }

private:
    size_t line;
    std::string rule;
    std::optional<std::string> duplicate_key;
};

// The parser refused the text; the problem is the JSON library's message.
class SyntaxError : public DocumentError
{
    using DocumentError::DocumentError;
};

// The reading thread was asked to stop: the read ended before the text did,
// and nothing of it may be used.
class Stopped : public DocumentError
{
public:
    explicit Stopped(const std::string &source);
};

// Whether the text may hold comments: configuration may, stored records not.
enum class Comments { allowed, refused };

// What a key given twice in one object does. Files a person writes refuse
// it (a mistake to show); data written by others keeps the last value, as
// the JSON library has it.
enum class Keys { unique, last_wins };

// Parses text through the one grammar (common/json_sax.h); source names the
// text in errors. Throws StructureError, SyntaxError or Stopped.
json ParseText(std::string_view text, const std::string &source, Comments comments = Comments::allowed,
               Keys keys = Keys::unique);

// Reads path piece by piece (regular files only, at most max_size bytes) and
// parses it as ParseText does, comments allowed. Throws ReadError too.
json ParseFile(const std::string &path, size_t max_size, Keys keys = Keys::unique);

// ---- Members ---------------------------------------------------------------

// The member's value; nullptr when there is no such member or the document
// is not an object.
const json *FindMember(const json &document, const char *key);

// FindMember, and when it finds nothing, the debug line
// "<tag>: <label> not found or is invalid: <the JSON library's words>".
const json *FindMemberOrLog(const std::string &tag, const json &document, const char *key, const char *label);

// The debug line of FindMemberOrLog with a message of the caller's.
void LogNotFoundOrInvalid(const std::string &tag, const char *label, const char *message);

// The value converted to T; nullopt, after the debug line of FindMemberOrLog
// quoting the library's conversion error, when it does not convert.
template <typename T> std::optional<T> ConvertOrLog(const std::string &tag, const json &value, const char *label)
{
    try {
        return value.get<T>();
    } catch (const json::exception &e) {
        LogNotFoundOrInvalid(tag, label, e.what());
        return std::nullopt;
    }
}

// The string member key; throws vdException "<tag>: required string
// parameter not found: <key>" or "<tag>: invalid string parameter type: <key>".
const std::string &RequiredString(const std::string &tag, const json &conf, const char *key);

// Whether conf's "enabled" holds the boolean false; any other value, or none,
// leaves it enabled.
bool IsDisabled(const json &conf);

// ---- Numbers ---------------------------------------------------------------

// Configuration values and cloud answers: a value that is not an integer of
// the field's range is nullopt, never narrowed; the caller logs, skips or
// throws a message of its own.
namespace Lenient {

// A JSON integer that is not negative (parsed text gives these as unsigned).
std::optional<uint64_t> Unsigned64(const json &value);
std::optional<uint32_t> Unsigned32(const json &value);
// A JSON integer, signed or unsigned, that fits a signed 32-bit integer.
std::optional<int32_t> Int32(const json &value);
// Any number whose whole part fits an unsigned 32-bit integer, the fraction
// dropped (a score of 7.9 is 7; -1 is nullopt, never the highest score).
std::optional<uint32_t> Unsigned32Truncated(const json &value);

}  // namespace Lenient

// Values of stored files that may be damaged, converted as the JSON library
// converts numbers (a boolean is 1 or 0, a fraction is dropped: 7.9 is 7),
// except that a value outside the field throws vdException "<what>: <value>
// does not fit <field>" rather than wrapping; a value that is neither a
// number nor a boolean throws "<what>: expected a number, found <type>".
namespace Converted {

// An unsigned number at most max; label names the field in the error
// ("a port (0 to 65535)").
uint64_t UnsignedAtMost(const json &value, const char *what, uint64_t max, const char *label);
uint32_t UInt32(const json &value, const char *what);
uint64_t UInt64(const json &value, const char *what);
int32_t Int32(const json &value, const char *what);
// Any number whose value is a finite 32-bit float.
float Float(const json &value, const char *what);

}  // namespace Converted

}  // namespace vppJson
