// The encrypted-DNS prober's verdicts: one record per probed server, and the
// two bounded lists (servers detected, with the URL that answered, and
// servers probed without success) kept across restarts as CSV files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "indicators/cache/lru_cache.h"
#include "vd_addr.h"
#include "vd_flow.h"

// One server: the endpoint that did not start a flow, by address and port.
struct vpiDOHScannerFlowCacheEntry {
    vpiDOHScannerFlowCacheEntry() = default;
    // The flow's server. Reads the flow under its lock; throws vdException
    // for an IP version other than 4 or 6.
    explicit vpiDOHScannerFlowCacheEntry(const vdFlow::Ptr &flow);

    // The server's digest: xxh64 of its address bytes then its port, both
    // in network byte order. Throws vdException as the constructor does.
    static void Hash(const vdFlow::Ptr &flow, vdDigest &digest);
    // The same digest of an IPv4 or IPv6 address with its port; throws
    // vdException for any other family.
    static vdDigest Hash(const vdAddr &address);

    vdDigest digest = 0;
    vdAddr address;   // port included
    std::string url;  // the last URL probed; empty until a probe
};

// One positive row without the line end: digest, address, port, URL.
std::ostream &operator<<(std::ostream &out, const vpiDOHScannerFlowCacheEntry &entry);

namespace vppDohLists {

// The longest URL a positive row may hold: a host name of 253 bytes, a
// port and a route of at most max_route_length bytes fit well within it.
constexpr size_t max_url_length = 2048;
constexpr size_t max_route_length = 1024;
// A list file is read line by line; a line longer than this (its line end
// not counted) is damage. Every row the lists write fits well within it.
constexpr size_t max_line_length = 4096;

// How parsing a list's text ended: the rows kept, and for a row that
// stopped it, its line (from 1) and what was wrong with it.
struct ParseResult {
    size_t rows = 0;
    size_t error_line = 0;  // 0: no error
    std::string error;
};

// Returns why a line is no row (empty when it is one).
using RowParser = std::function<std::string(const std::string &)>;

// Walks a list file's text as it comes, in pieces of any size: the first
// line (the header) and blank lines are skipped, every line is left-trimmed,
// and a last line without its line end is not used. The first line that is
// no row, or is longer than max_line_length, stops the walk. Holds one line
// at most, whatever the text's size.
class LineParser
{
public:
    explicit LineParser(RowParser row) : row(std::move(row)) {}

    // Takes the next piece of text; false once the walk has stopped.
    bool Feed(std::string_view piece);
    const ParseResult &Result() const { return result; }

private:
    void EndLine();
    void Stop(std::string problem);

    RowParser row;
    ParseResult result;
    std::string line;     // the line so far, up to the bound
    size_t number = 1;    // of the line being read
    bool overlong = false;
};

// The whole text through a LineParser.
ParseResult ParseLines(const std::string &text, const RowParser &row);

}  // namespace vppDohLists

// What both lists share: a bounded LRU keyed by server digest, a file path,
// and loading and saving the file whole. Derived lists supply the header
// and the row format.
template <class V> class vpiDOHServerList : public vdLRUCache<vdDigest, V>
{
public:
    using Base = vdLRUCache<vdDigest, V>;

    // Throws vdException for a capacity of 0.
    vpiDOHServerList(size_t capacity, const std::string &path) : Base(capacity, true), path(path) {}
    virtual ~vpiDOHServerList() = default;

    // Reads the file into the list line by line, whatever its size: with
    // more rows than the capacity the last ones stay. A missing file is
    // silently empty; every other problem is logged with name and path,
    // keeping the rows read before it. Returns the rows loaded. Never
    // throws. Threads: only while no other thread uses the list.
    size_t Load(const std::string &name);
    // Replaces the file with the whole list; on failure the old file stays
    // and the reason is logged. Never throws.
    bool Save(const std::string &name) const;

    // Parses a file's text into the list, as Load does after reading.
    vppDohLists::ParseResult Parse(const std::string &text);
    // The file's text: the header, then one row per server from the least
    // to the most recently used, so that a load restores the order.
    std::string Render() const;

    const std::string path;

protected:
    virtual const char *Header() const = 0;
    // Inserts the row's server; returns why the line is no row.
    virtual std::string ParseRow(const std::string &line) = 0;
    virtual void RenderRow(std::ostream &out, const vdDigest &digest, const V &value) const = 0;

private:
    void LoadFile(const std::string &name, size_t &rows);
};

// Servers detected, with the URL that answered.
class vpiDOHScannerFlowCache : public vpiDOHServerList<vpiDOHScannerFlowCacheEntry>
{
public:
    using vpiDOHServerList::vpiDOHServerList;

protected:
    const char *Header() const override { return "\"digest\",\"address\",\"port\",\"url\""; }
    std::string ParseRow(const std::string &line) override;
    void RenderRow(std::ostream &out, const vdDigest &digest, const vpiDOHScannerFlowCacheEntry &value) const override;
};

// Servers probed without success; the value is always true.
class vpiDOHScannerDigestCache : public vpiDOHServerList<bool>
{
public:
    using vpiDOHServerList::vpiDOHServerList;

protected:
    const char *Header() const override { return "\"digest\""; }
    std::string ParseRow(const std::string &line) override;
    void RenderRow(std::ostream &out, const vdDigest &digest, const bool &value) const override;
};

extern template class vpiDOHServerList<vpiDOHScannerFlowCacheEntry>;
extern template class vpiDOHServerList<bool>;
