// Text, hashing and file helpers of the host library.
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include <xxhash.h>

#include "vd_common.h"
#include "vd_hex.h"

namespace {

std::atomic<time_t> monotonic_offset{0};

bool IsTrimmed(char value, char c)
{
    return c == 0 ? std::isspace(static_cast<unsigned char>(value)) != 0 : value == c;
}

}  // namespace

time_t vd_time_monotonic()
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count()) + monotonic_offset.load();
}

void vd_time_monotonic_advance(time_t seconds)
{
    monotonic_offset += seconds;
}

std::string vd_expand_variables(const std::string &input, const std::map<std::string, std::string> &variables)
{
    std::string output;
    output.reserve(input.size());
    size_t pos = 0;
    while (pos < input.size()) {
        size_t start = input.find("${", pos);
        if (start == std::string::npos) {
            output.append(input, pos, std::string::npos);
            break;
        }
        size_t end = input.find('}', start + 2);
        if (end == std::string::npos) {
            output.append(input, pos, std::string::npos);
            break;
        }
        output.append(input, pos, start - pos);
        auto it = variables.find(input.substr(start + 2, end - start - 2));
        if (it != variables.end())
            output.append(it->second);
        else
            output.append(input, start, end - start + 1);
        pos = end + 1;
    }
    return output;
}

int vd_file_exists(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        return 1;
    return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

void vd_json_to_string(const json &document, std::string &text, bool pretty)
{
    text = document.dump(pretty ? 4 : -1, ' ', false, json::error_handler_t::replace);
}

uint64_t vd_xxh64(const void *data, size_t length, uint64_t seed)
{
    return XXH64(data, length, seed);
}

void vd_xxh64_to_string(uint64_t digest, std::string &text)
{
    char buffer[17];
    std::snprintf(buffer, sizeof(buffer), "%016llx", static_cast<unsigned long long>(digest));
    text.assign(buffer, 16);
}

std::string vd_xxh64_to_string(uint64_t digest)
{
    std::string text;
    vd_xxh64_to_string(digest, text);
    return text;
}

bool vd_string_to_xxh64(const std::string &text, uint64_t &digest)
{
    if (text.size() != 16)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        int nibble = vd_hex_digit(c);
        if (nibble < 0)
            return false;
        value = (value << 4) | static_cast<uint64_t>(nibble);
    }
    digest = value;
    return true;
}

void vd_sha1_to_string(const uint8_t *bytes, size_t length, std::string &text)
{
    static const char digits[] = "0123456789abcdef";
    text.clear();
    text.reserve(length * 2);
    for (size_t i = 0; i < length; i++) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xf]);
    }
}

void vd_sha1_to_string(const std::vector<uint8_t> &bytes, std::string &text)
{
    vd_sha1_to_string(bytes.data(), bytes.size(), text);
}

bool vd_string_to_sha1(const std::string &text, std::vector<uint8_t> &bytes)
{
    if (text.size() % 2 != 0)
        return false;
    std::vector<uint8_t> decoded;
    decoded.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = vd_hex_digit(text[i]), low = vd_hex_digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        decoded.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    bytes = std::move(decoded);
    return true;
}

void vd_ltrim(std::string &text, char c)
{
    size_t start = 0;
    while (start < text.size() && IsTrimmed(text[start], c))
        start++;
    text.erase(0, start);
}

void vd_rtrim(std::string &text, char c)
{
    size_t end = text.size();
    while (end > 0 && IsTrimmed(text[end - 1], c))
        end--;
    text.erase(end);
}

void vd_trim(std::string &text, char c)
{
    vd_rtrim(text, c);
    vd_ltrim(text, c);
}

std::string vd_get_version_and_features(bool with_features)
{
    std::string text = "velbord/1.0.0";
    if (with_features)
        text += " (x86_64-linux; conntrack; dpi; json)";
    return text;
}
