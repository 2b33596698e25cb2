#include "indicators/drivers/doh/server_lists.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <sstream>

#include "common/state_file.h"
#include "common/thread_toolkit.h"

namespace {

// Text of a field quoted in a message: at most this many bytes, anything
// unprintable shown as '?', so a damaged file cannot garble the log.
constexpr size_t max_quoted_length = 40;
constexpr size_t digest_text_length = 16;
constexpr size_t port_text_length = 5;

std::string Quote(const std::string &text)
{
    std::string quoted = "'";
    for (size_t i = 0; i < text.size() && i < max_quoted_length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        quoted += (c < 0x20 || c >= 0x7f) ? '?' : static_cast<char>(c);
    }
    if (text.size() > max_quoted_length)
        quoted += "...";
    return quoted + "'";
}

bool HasControlCharacter(const std::string &text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        unsigned char byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// Cuts rest at its first comma: the text before it into field; false when
// there is no comma.
bool NextField(std::string &rest, std::string &field)
{
    size_t comma = rest.find(',');
    if (comma == std::string::npos)
        return false;
    field = rest.substr(0, comma);
    rest.erase(0, comma + 1);
    return true;
}

std::string ParseDigest(const std::string &text, vdDigest &digest)
{
    if (!vd_string_to_xxh64(text, digest))
        return "digest: " + Quote(text) + " is not 16 hexadecimal digits";
    return "";
}

// An IP address without a prefix length.
std::string ParseAddress(const std::string &text, vdAddr &address)
{
    if (text.find('/') != std::string::npos || !vdAddr::Create(address, text) ||
        !(address.IsIPv4() || address.IsIPv6()))
        return "address: " + Quote(text) + " is not an IP address";
    return "";
}

// Decimal digits only, 0..65535.
std::string ParsePort(std::string text, uint16_t &port)
{
    vd_trim(text);
    const std::string problem = "port: " + Quote(text) + " is not a port number (0..65535)";
    if (text.empty() || text.size() > port_text_length ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return problem;
    unsigned long number = std::stoul(text);
    if (number > std::numeric_limits<uint16_t>::max())
        return problem;
    port = static_cast<uint16_t>(number);
    return "";
}

std::string CheckURL(const std::string &url)
{
    if (url.empty())
        return "url: empty";
    if (url.size() > vppDohLists::max_url_length)
        return "url: longer than " + std::to_string(vppDohLists::max_url_length) + " bytes";
    if (HasControlCharacter(url))
        return "url: holds a control character";
    return "";
}

size_t SaturatingMultiply(size_t a, size_t b)
{
    if (a != 0 && b > std::numeric_limits<size_t>::max() / a)
        return std::numeric_limits<size_t>::max();
    return a * b;
}

}  // namespace

vpiDOHScannerFlowCacheEntry::vpiDOHScannerFlowCacheEntry(const vdFlow::Ptr &flow)
{
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    address = flow->origin == 1 ? flow->upper_addr : flow->lower_addr;
    Hash(flow, digest);
}

void vpiDOHScannerFlowCacheEntry::Hash(const vdFlow::Ptr &flow, vdDigest &digest)
{
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    if (flow->ip_version != 4 && flow->ip_version != 6) {
        throw vdException("%s: invalid IP version: %hhu",
                          "static void vpiDOHScannerFlowCacheEntry::Hash(const vdFlow::Ptr &, vdDigest &)",
                          flow->ip_version);
    }
    const vdAddr &server = flow->origin == 1 ? flow->upper_addr : flow->lower_addr;
    uint8_t bytes[sizeof(server.addr.bytes) + sizeof(server.port)];
    const size_t length = flow->ip_version == 4 ? sizeof(in_addr) : sizeof(in6_addr);
    std::memcpy(bytes, server.addr.bytes, length);
    std::memcpy(bytes + length, &server.port, sizeof(server.port));
    digest = vd_xxh64(bytes, length + sizeof(server.port), 0);
}

vdDigest vpiDOHScannerFlowCacheEntry::Hash(const vdAddr &address)
{
    if (!address.IsIPv4() && !address.IsIPv6())
        throw vdException("DoH server address: not an IP address");
    uint8_t bytes[sizeof(address.addr.bytes) + sizeof(address.port)];
    const size_t length = address.IsIPv4() ? sizeof(in_addr) : sizeof(in6_addr);
    std::memcpy(bytes, address.addr.bytes, length);
    std::memcpy(bytes + length, &address.port, sizeof(address.port));
    return vd_xxh64(bytes, length + sizeof(address.port), 0);
}

std::ostream &operator<<(std::ostream &out, const vpiDOHScannerFlowCacheEntry &entry)
{
    // Made here rather than through the address's shared text cache: the
    // row needs no lock beyond the list's own.
    std::string address;
    vdAddr::MakeString(entry.address, address);
    return out << vd_xxh64_to_string(entry.digest) << ',' << address << ',' << entry.address.GetPort(true) << ','
               << entry.url;
}

namespace vppDohLists {

ParseResult ParseLines(const std::string &text, const std::function<std::string(const std::string &)> &row)
{
    ParseResult result;
    size_t number = 0;
    size_t begin = 0;
    std::string line;
    for (size_t end = text.find('\n'); end != std::string::npos; begin = end + 1, end = text.find('\n', begin)) {
        number++;
        if (number == 1)
            continue;
        line.assign(text, begin, end - begin);
        vd_ltrim(line);
        if (line.empty())
            continue;
        std::string problem = row(line);
        if (!problem.empty()) {
            result.error_line = number;
            result.error = std::move(problem);
            return result;
        }
        result.rows++;
    }
    return result;
}

}  // namespace vppDohLists

template <class V> size_t vpiDOHServerList<V>::Load(const std::string &name)
{
    size_t rows = 0;
    vppThread::Guard(
        [&] {
            vppFile::ReadResult file = vppStateFile::Read(path, FileBound());
            if (file.status == vppFile::ReadStatus::missing)
                return;
            if (file.status != vppFile::ReadStatus::ok) {
                vd_printf("%s: Error loading DoH server cache: %s: %s\n", name.c_str(), path.c_str(),
                          file.error.c_str());
                return;
            }
            vppDohLists::ParseResult result = Parse(file.text);
            rows = result.rows;
            if (result.error_line != 0) {
                vd_printf("%s: Error loading DoH server cache: %s: parse error at line #%zu: %s\n", name.c_str(),
                          path.c_str(), result.error_line, result.error.c_str());
                return;
            }
            vd_dprintf("Loaded %zu %s cache entries.\n", rows, name.c_str());
        },
        [&](const char *what) {
            rows = this->CacheSize();
            vd_printf("%s: Error loading DoH server cache: %s: %s\n", name.c_str(), path.c_str(), what);
            vd_dprintf("Loaded %zu %s cache entries.\n", rows, name.c_str());
        });
    return rows;
}

template <class V> bool vpiDOHServerList<V>::Save(const std::string &name) const
{
    bool saved = false;
    vppThread::Guard(
        [&] {
            const size_t rows = this->CacheSize();
            std::optional<std::string> error = vppStateFile::Write(path, Render());
            if (error) {
                vd_printf("%s: Error saving DoH server cache: %s: %s\n", name.c_str(), path.c_str(), error->c_str());
                return;
            }
            vd_dprintf("Saved %zu %s cache entries.\n", rows, name.c_str());
            saved = true;
        },
        [&](const char *what) {
            vd_printf("%s: Error saving DoH server cache: %s: %s\n", name.c_str(), path.c_str(), what);
        });
    return saved;
}

template <class V> vppDohLists::ParseResult vpiDOHServerList<V>::Parse(const std::string &text)
{
    return vppDohLists::ParseLines(text, [this](const std::string &line) { return ParseRow(line); });
}

template <class V> std::string vpiDOHServerList<V>::Render() const
{
    std::ostringstream out;
    out << Header() << '\n';
    std::lock_guard<std::mutex> guard(this->lock);
    for (auto key = this->recency.rbegin(); key != this->recency.rend(); ++key) {
        RenderRow(out, *key, this->entries.at(*key).value);
        out << '\n';
    }
    return out.str();
}

template <class V> size_t vpiDOHServerList<V>::FileBound() const
{
    const size_t bound = SaturatingMultiply(this->GetMaxEntries(), LongestRow());
    return std::max(bound, vppDohLists::min_file_bound);
}

template class vpiDOHServerList<vpiDOHScannerFlowCacheEntry>;
template class vpiDOHServerList<bool>;

std::string vpiDOHScannerFlowCache::ParseRow(const std::string &line)
{
    std::string rest = line;
    std::string digest_text, address_text, port_text;
    if (!NextField(rest, digest_text) || !NextField(rest, address_text) || !NextField(rest, port_text))
        return "expected 4 fields: digest, address, port, url";

    vpiDOHScannerFlowCacheEntry entry;
    uint16_t port = 0;
    std::string problem = ParseDigest(digest_text, entry.digest);
    if (problem.empty())
        problem = ParseAddress(address_text, entry.address);
    if (problem.empty())
        problem = ParsePort(port_text, port);
    if (problem.empty())
        problem = CheckURL(rest);
    if (!problem.empty())
        return problem;

    entry.address.SetPort(htons(port));
    // A digest that another server would have is damage, not a row.
    if (vpiDOHScannerFlowCacheEntry::Hash(entry.address) != entry.digest)
        return "digest: " + Quote(digest_text) + " is not that of the address and port";
    entry.url = std::move(rest);
    CacheInsert(entry.digest, entry, false);
    return "";
}

void vpiDOHScannerFlowCache::RenderRow(std::ostream &out, const vdDigest &, const vpiDOHScannerFlowCacheEntry &value) const
{
    out << value;
}

size_t vpiDOHScannerFlowCache::LongestRow() const
{
    // Digest, address, port and URL, three commas and the line end.
    return digest_text_length + INET6_ADDRSTRLEN + port_text_length + vppDohLists::max_url_length + 4;
}

std::string vpiDOHScannerDigestCache::ParseRow(const std::string &line)
{
    std::string text = line.substr(0, line.find(','));
    vd_trim(text);
    vdDigest digest = 0;
    std::string problem = ParseDigest(text, digest);
    if (problem.empty())
        CacheInsert(digest, true, false);
    return problem;
}

void vpiDOHScannerDigestCache::RenderRow(std::ostream &out, const vdDigest &digest, const bool &) const
{
    out << vd_xxh64_to_string(digest);
}

size_t vpiDOHScannerDigestCache::LongestRow() const
{
    return digest_text_length + 1;
}
