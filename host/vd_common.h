// Core helpers of the host daemon library: exceptions, logging, flag sets,
// hashing, text conversions, file tests and the monotonic clock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

// A standard exception whose text is a printf-style formatted message.
class vdException : public std::exception
{
public:
    explicit vdException(const char *format, ...) __attribute__((format(printf, 2, 3)));
    const char *what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

// Operational log line; always written.
void vd_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Debug log line; written only when the host runs in debug mode.
void vd_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

enum class vdLogLevel : uint8_t { operational, debug };
using vdLogSink = std::function<void(vdLogLevel, const std::string &)>;

// Replaces where log lines go (standard error by default); an empty sink
// restores the default. Lines are handed over whole, one call per line.
void vd_log_set_sink(vdLogSink sink);
// Debug mode: when off, vd_dprintf writes nothing.
void vd_log_set_debug(bool enabled);
bool vd_log_debug_enabled();

// Hash of an enumeration key: its value as 32-bit unsigned plus 0x9e3779b9.
struct vdEnumHasher {
    template <typename E> size_t operator()(E value) const noexcept
    {
        return static_cast<size_t>(static_cast<uint32_t>(value)) + 0x9e3779b9;
    }
};

// A set of bit flags over an enumeration.
template <typename E> class vdFlags
{
public:
    using value_type = std::underlying_type_t<E>;

    constexpr vdFlags() = default;
    constexpr vdFlags(E flag) : bits(static_cast<value_type>(flag)) {}
    constexpr explicit vdFlags(value_type value) : bits(value) {}

    constexpr value_type value() const { return bits; }
    constexpr bool test(E flag) const { return (bits & static_cast<value_type>(flag)) != 0; }
    constexpr bool any() const { return bits != 0; }
    constexpr explicit operator bool() const { return bits != 0; }

    constexpr vdFlags &operator|=(vdFlags other)
    {
        bits |= other.bits;
        return *this;
    }
    constexpr vdFlags &operator&=(vdFlags other)
    {
        bits &= other.bits;
        return *this;
    }
    constexpr vdFlags operator|(vdFlags other) const { return vdFlags(value_type(bits | other.bits)); }
    constexpr vdFlags operator&(vdFlags other) const { return vdFlags(value_type(bits & other.bits)); }
    constexpr vdFlags operator~() const { return vdFlags(value_type(~bits)); }
    constexpr bool operator==(const vdFlags &) const = default;

private:
    value_type bits = 0;
};

// Monotonic clock in seconds. Tests may move it forward.
time_t vd_time_monotonic();
void vd_time_monotonic_advance(time_t seconds);

// Replaces "${name}" with the value of the host variable name; an unknown
// variable is left as it stands.
std::string vd_expand_variables(const std::string &input, const std::map<std::string, std::string> &variables);

// 1 when the path exists, 0 when it does not, negative (errno set) on error.
int vd_file_exists(const std::string &path);

// Renders a JSON document; invalid UTF-8 in strings is replaced, never thrown.
void vd_json_to_string(const json &document, std::string &text, bool pretty = false);

uint64_t vd_xxh64(const void *data, size_t length, uint64_t seed = 0);
// 16 lower-case hexadecimal digits.
void vd_xxh64_to_string(uint64_t digest, std::string &text);
std::string vd_xxh64_to_string(uint64_t digest);
// Accepts exactly 16 hexadecimal digits (either case); false otherwise.
bool vd_string_to_xxh64(const std::string &text, uint64_t &digest);

// Bytes to lower-case hexadecimal text, and back (an even number of hex digits).
void vd_sha1_to_string(const std::vector<uint8_t> &bytes, std::string &text);
void vd_sha1_to_string(const uint8_t *bytes, size_t length, std::string &text);
bool vd_string_to_sha1(const std::string &text, std::vector<uint8_t> &bytes);

// Trim white space (or the given character) in place.
void vd_ltrim(std::string &text, char c = 0);
void vd_rtrim(std::string &text, char c = 0);
void vd_trim(std::string &text, char c = 0);

// "velbord/VERSION", and with features " (feature, ...)" appended.
std::string vd_get_version_and_features(bool with_features = true);
