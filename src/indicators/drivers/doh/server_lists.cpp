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

// Any text: the address is informational, the digest is the key. Text that
// is no address gives no address, written back as an empty field.
void ParseAddress(const std::string &text, vdAddr &address)
{
    vdAddr::Create(address, text);
}

// As std::stoul reads it: the leading number, after an optional sign, with
// anything after it ignored; the low 16 bits are the port ("-1" is 65535).
std::string ParsePort(std::string text, uint16_t &port)
{
    vd_trim(text);
    unsigned long number = 0;
    try {
        number = std::stoul(text);
    } catch (const std::logic_error &e) {
        vd_dprintf("error converting string to port address: %s: %s\n", e.what(), text.c_str());
        return "port: " + Quote(text) + " is not a port number";
    }
    port = static_cast<uint16_t>(number);
    return "";
}

// The URL ends the row and goes into intel: no control character, bounded.
std::string CheckURL(const std::string &url)
{
    if (url.size() > vppDohLists::max_url_length)
        return "url: longer than " + std::to_string(vppDohLists::max_url_length) + " bytes";
    if (HasControlCharacter(url))
        return "url: holds a control character";
    return "";
}

// Digest, address, port and URL, three commas: the longest positive row.
constexpr size_t longest_positive_row =
    digest_text_length + INET6_ADDRSTRLEN + port_text_length + vppDohLists::max_url_length + 3;
static_assert(longest_positive_row <= vppDohLists::max_line_length, "a saved row must load back");

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

bool LineParser::Feed(std::string_view piece)
{
    while (result.error_line == 0 && !piece.empty()) {
        const size_t end = piece.find('\n');
        const std::string_view part = piece.substr(0, end);
        if (line.size() + part.size() > max_line_length)
            overlong = true;
        else
            line.append(part);
        if (end == std::string_view::npos)
            break;
        EndLine();
        piece.remove_prefix(end + 1);
    }
    return result.error_line == 0;
}

void LineParser::EndLine()
{
    if (number > 1 && overlong) {
        Stop("line: longer than " + std::to_string(max_line_length) + " bytes");
        return;
    }
    if (number > 1) {
        vd_ltrim(line);
        if (!line.empty()) {
            std::string problem = row(line);
            if (!problem.empty()) {
                Stop(std::move(problem));
                return;
            }
            result.rows++;
        }
    }
    number++;
    line.clear();
    overlong = false;
}

void LineParser::Stop(std::string problem)
{
    result.error_line = number;
    result.error = std::move(problem);
}

ParseResult ParseLines(const std::string &text, const RowParser &row)
{
    LineParser parser(row);
    parser.Feed(text);
    return parser.Result();
}

}  // namespace vppDohLists

template <class V> size_t vpiDOHServerList<V>::Load(const std::string &name)
{
    size_t rows = 0;
    vppThread::Guard([&] { LoadFile(name, rows); },
                     [&](const char *what) {
                         rows = this->CacheSize();
                         vd_printf("%s: Error loading DoH server cache: %s: %s\n", name.c_str(), path.c_str(), what);
                         vd_dprintf("Loaded %zu %s cache entries.\n", rows, name.c_str());
                     });
    return rows;
}

template <class V> void vpiDOHServerList<V>::LoadFile(const std::string &name, size_t &rows)
{
    vppFile::SequentialReader file(path);
    if (file.Status() == vppFile::ReadStatus::missing)
        return;
    if (file.Status() != vppFile::ReadStatus::ok) {
        vd_printf("%s: Error loading DoH server cache: %s: %s\n", name.c_str(), path.c_str(), file.Error().c_str());
        return;
    }
    vppDohLists::LineParser parser([this](const std::string &line) { return ParseRow(line); });
    std::string_view piece;
    while (file.Next(piece) && parser.Feed(piece)) {
    }
    const vppDohLists::ParseResult &result = parser.Result();
    rows = result.rows;
    if (result.error_line != 0) {
        vd_printf("%s: Error loading DoH server cache: %s: parse error at line #%zu: %s\n", name.c_str(),
                  path.c_str(), result.error_line, result.error.c_str());
        return;
    }
    if (!file.Error().empty())
        vd_printf("%s: Error loading DoH server cache: %s: %s\n", name.c_str(), path.c_str(), file.Error().c_str());
    vd_dprintf("Loaded %zu %s cache entries.\n", rows, name.c_str());
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
        problem = ParsePort(port_text, port);
    if (problem.empty())
        problem = CheckURL(rest);
    if (!problem.empty())
        return problem;

    ParseAddress(address_text, entry.address);
    entry.address.SetPort(htons(port));
    // A digest that another server would have is damage, not a row; one
    // beside text that is no IP address cannot be checked.
    const bool ip = entry.address.IsIPv4() || entry.address.IsIPv6();
    if (ip && vpiDOHScannerFlowCacheEntry::Hash(entry.address) != entry.digest)
        return "digest: " + Quote(digest_text) + " is not that of the address and port";
    entry.url = std::move(rest);
    CacheInsert(entry.digest, entry, false);
    return "";
}

void vpiDOHScannerFlowCache::RenderRow(std::ostream &out, const vdDigest &, const vpiDOHScannerFlowCacheEntry &value) const
{
    out << value;
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
