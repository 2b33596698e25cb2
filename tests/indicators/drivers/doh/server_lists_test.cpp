// The prober's two server lists: the server digest, the CSV text parsed as
// a load parses it, and the files kept across restarts.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "indicators/drivers/doh/server_lists.h"
#include "support/error_text.h"
#include "support/flow_builder.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "vd_config.h"

namespace {

using Entry = vpiDOHScannerFlowCacheEntry;

constexpr const char *positive_header = "\"digest\",\"address\",\"port\",\"url\"\n";
constexpr const char *negative_header = "\"digest\"\n";

vdAddr Address(const std::string &text, uint16_t port)
{
    vdAddr address;
    EXPECT_TRUE(vdAddr::Create(address, text, port)) << text;
    return address;
}

// The digest as defined: xxh64 of the address bytes and the port, both in
// network byte order.
vdDigest ExpectedDigest(const std::string &text, uint16_t port)
{
    vdAddr address = Address(text, port);
    std::vector<uint8_t> bytes(address.addr.bytes, address.addr.bytes + (address.IsIPv4() ? 4 : 16));
    const uint16_t network_port = htons(port);
    bytes.resize(bytes.size() + 2);
    std::memcpy(bytes.data() + bytes.size() - 2, &network_port, 2);
    return vd_xxh64(bytes.data(), bytes.size(), 0);
}

std::string DigestText(const std::string &address, uint16_t port)
{
    return vd_xxh64_to_string(ExpectedDigest(address, port));
}

// A positive row for the server, with the URL given.
std::string Row(const std::string &address, uint16_t port, const std::string &url)
{
    return DigestText(address, port) + "," + address + "," + std::to_string(port) + "," + url;
}

TEST(DohServerDigest, IsTheServersAddressAndPort)
{
    struct Case {
        const char *lower;
        const char *upper;
        uint8_t origin;
        const char *server;
        uint16_t port;
    };
    const Case cases[] = {
        {"192.0.2.1", "127.0.0.1", 1, "127.0.0.1", 8443},  // the lower side started: the upper serves
        {"127.0.0.1", "192.0.2.1", 2, "127.0.0.1", 50000},  // the upper side started: the lower serves
        {"::1", "2001:db8::5", 1, "2001:db8::5", 8443},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.server);
        auto flow = FlowBuilder()
                        .Lower(c.lower, c.origin == 1 ? 50000 : c.port)
                        .Upper(c.upper, c.origin == 1 ? c.port : 50000)
                        .Set([&](vdFlow &f) { f.origin = c.origin; })
                        .Build();
        Entry entry(flow);
        EXPECT_EQ(entry.digest, ExpectedDigest(c.server, c.port));
        EXPECT_EQ(entry.address.GetPort(true), c.port);
        EXPECT_EQ(Entry::Hash(entry.address), entry.digest);
        EXPECT_TRUE(entry.url.empty());
    }
}

TEST(DohServerDigest, NamesAnUnknownIPVersion)
{
    auto flow = FlowBuilder().Lower("192.0.2.1", 1).Upper("127.0.0.1", 443).Build();
    flow->ip_version = 5;
    EXPECT_EQ(ErrorText([&] { Entry entry(flow); }),
              "static void vpiDOHScannerFlowCacheEntry::Hash(const vdFlow::Ptr &, vdDigest &): invalid IP version: "
              "5");
}

// The URLs kept per digest after a parse, in recency order (oldest first).
struct Kept {
    std::string digest;
    std::string url;
};

std::vector<Kept> KeptRows(const vpiDOHScannerFlowCache &list)
{
    std::vector<Kept> kept;
    std::string text = list.Render();
    // Rows come least recently used first.
    vppDohLists::ParseLines(text, [&](const std::string &line) {
        size_t comma = line.find(',');
        size_t url = line.find(',', line.find(',', comma + 1) + 1);
        kept.push_back({line.substr(0, comma), line.substr(url + 1)});
        return std::string();
    });
    return kept;
}

TEST(DohServerLists, PositiveTextIsParsedRowByRow)
{
    const std::string a = Row("127.0.0.1", 8443, "https://127.0.0.1:8443/dns-query");
    const std::string b = Row("::1", 443, "https://[::1]/q?a=1,b=2,c");
    const std::string c = Row("127.0.0.2", 443, "https://doh.localhost/dns-query");
    struct Case {
        const char *name;
        std::string text;
        std::vector<std::string> urls;  // kept, oldest first
        size_t error_line;
        std::string error;
    };
    const Case cases[] = {
        {"header only", positive_header, {}, 0, ""},
        {"empty text", "", {}, 0, ""},
        {"first line is the header whatever it holds", a + "\n" + b + "\n", {"https://[::1]/q?a=1,b=2,c"}, 0, ""},
        {"commas in the URL stay in it", positive_header + b + "\n", {"https://[::1]/q?a=1,b=2,c"}, 0, ""},
        {"a last line without its end is not used", positive_header + a + "\n" + b, {"https://127.0.0.1:8443/dns-query"},
         0, ""},
        {"blank and indented lines", positive_header + std::string("\n   \n  ") + a + "\n\n",
         {"https://127.0.0.1:8443/dns-query"}, 0, ""},
        {"three fields stop the load, the rows before stay",
         positive_header + a + "\n" + DigestText("127.0.0.2", 443) + ",127.0.0.2,443\n" + c + "\n",
         {"https://127.0.0.1:8443/dns-query"}, 3, "expected 4 fields"},
        {"a digest that is no digest", positive_header + std::string("xyz,127.0.0.1,443,https://x/\n"), {}, 2,
         "digest: 'xyz' is not 16 hexadecimal digits"},
        {"a digest of another server", positive_header + DigestText("127.0.0.9", 443) + ",127.0.0.1,443,u\n", {}, 2,
         "is not that of the address and port"},
        // The digest is the key; an address that is none cannot be checked.
        {"an address that is no address", positive_header + DigestText("127.0.0.1", 443) + ",host,443,u\n", {"u"}, 0,
         ""},
        {"an address with a prefix", positive_header + DigestText("127.0.0.1", 443) + ",127.0.0.1/8,443,u\n", {"u"}, 0,
         ""},
        {"a port of letters", positive_header + DigestText("127.0.0.1", 443) + ",127.0.0.1,abc,u\n", {}, 2,
         "port: 'abc' is not a port number"},
        {"a spaced port is trimmed", positive_header + DigestText("127.0.0.1", 443) + ",127.0.0.1, 443 ,u\n", {"u"}, 0,
         ""},
        {"an empty URL", positive_header + DigestText("127.0.0.1", 443) + ",127.0.0.1,443,\n", {""}, 0, ""},
        {"a control character in the URL", positive_header + Row("127.0.0.1", 443, "https://x/\r") + "\n", {}, 2,
         "url: holds a control character"},
        {"a URL over the bound", positive_header + Row("127.0.0.1", 443, std::string(2049, 'a')) + "\n", {}, 2,
         "url: longer than 2048 bytes"},
        {"a line over 4096 bytes", positive_header + Row("127.0.0.1", 443, std::string(4097, 'a')) + "\n" + c + "\n",
         {}, 2, "line: longer than 4096 bytes"},
        {"an overlong last line without its end is not used", positive_header + c + "\n" + std::string(5000, 'a'),
         {"https://doh.localhost/dns-query"}, 0, ""},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        vpiDOHScannerFlowCache list(10, "");
        vppDohLists::ParseResult result = list.Parse(test.text);
        std::vector<std::string> urls;
        for (const Kept &kept : KeptRows(list))
            urls.push_back(kept.url);
        EXPECT_EQ(urls, test.urls);
        EXPECT_EQ(result.rows, test.urls.size());
        EXPECT_EQ(result.error_line, test.error_line);
        EXPECT_NE(result.error.find(test.error), std::string::npos) << result.error;
        EXPECT_EQ(result.error.empty(), test.error.empty()) << result.error;
    }
}

TEST(DohServerLists, NegativeTextIsParsedRowByRow)
{
    const std::string a = DigestText("127.0.0.1", 443);
    const std::string b = DigestText("127.0.0.2", 443);
    struct Case {
        const char *name;
        std::string text;
        std::vector<std::string> digests;  // oldest first
        size_t error_line;
        std::string error;
    };
    const Case cases[] = {
        {"rows", negative_header + a + "\n" + b + "\n", {a, b}, 0, ""},
        {"text after a comma is ignored", negative_header + a + ",anything, at all\n", {a}, 0, ""},
        {"spaces around the digest", negative_header + ("  " + a + " \n"), {a}, 0, ""},
        {"a last line without its end", negative_header + a + "\n" + b, {a}, 0, ""},
        {"no digest stops the load", negative_header + a + "\nnot a digest\n" + b + "\n", {a}, 3,
         "digest: 'not a digest'"},
        {"a header-less file loses its first row", a + "\n" + b + "\n", {b}, 0, ""},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        vpiDOHScannerDigestCache list(10, "");
        vppDohLists::ParseResult result = list.Parse(test.text);
        std::vector<std::string> digests;
        vppDohLists::ParseLines(list.Render(), [&](const std::string &line) {
            digests.push_back(line);
            return std::string();
        });
        EXPECT_EQ(digests, test.digests);
        EXPECT_EQ(result.error_line, test.error_line);
        EXPECT_NE(result.error.find(test.error), std::string::npos) << result.error;
    }
}

TEST(DohServerLists, MoreRowsThanTheCapacityKeepTheLast)
{
    std::string text = negative_header;
    std::vector<std::string> digests;
    for (uint16_t port = 1; port <= 5; port++) {
        digests.push_back(DigestText("127.0.0.1", port));
        text += digests.back() + "\n";
    }
    vpiDOHScannerDigestCache list(2, "");
    EXPECT_EQ(list.Parse(text).rows, 5u);
    EXPECT_EQ(list.Render(), negative_header + digests[3] + "\n" + digests[4] + "\n");
}

class DohListFileTest : public ::testing::Test
{
protected:
    TempDir dir;
    vdGlobalConfig config;
    LogCapture log;
};

TEST_F(DohListFileTest, SavedListsLoadBackInTheirOrder)
{
    const std::string path = dir.Path("doh-positive.csv");
    {
        vpiDOHScannerFlowCache list(10, path);
        for (uint16_t port : {1001, 1002, 1003}) {
            Entry entry;
            entry.address = Address("::1", port);
            entry.digest = Entry::Hash(entry.address);
            entry.url = "https://[::1]:" + std::to_string(port) + "/a,b";
            list.CacheInsert(entry.digest, entry, false);
        }
        Entry touched;
        list.CacheLookup(ExpectedDigest("::1", 1001), touched);  // now the most recent
        ASSERT_TRUE(list.Save("doh-positive"));
        EXPECT_TRUE(log.Contains("Saved 3 doh-positive cache entries."));
    }
    EXPECT_EQ(dir.ReadFile("doh-positive.csv"), positive_header + Row("::1", 1002, "https://[::1]:1002/a,b") + "\n" +
                                                    Row("::1", 1003, "https://[::1]:1003/a,b") + "\n" +
                                                    Row("::1", 1001, "https://[::1]:1001/a,b") + "\n");

    vpiDOHScannerFlowCache loaded(10, path);
    EXPECT_EQ(loaded.Load("doh-positive"), 3u);
    EXPECT_TRUE(log.Contains("Loaded 3 doh-positive cache entries."));
    EXPECT_EQ(loaded.Render(), dir.ReadFile("doh-positive.csv"));
    Entry found;
    ASSERT_TRUE(loaded.CacheLookup(ExpectedDigest("::1", 1002), found));
    EXPECT_EQ(found.address.GetPort(true), 1002);
    EXPECT_TRUE(found.address.SameAddress(Address("::1", 0)));
}

TEST_F(DohListFileTest, LoadProblemsAreReportedWithNameAndPath)
{
    struct Case {
        const char *name;
        const char *file;  // nullptr: no file
        std::string content;
        std::string line;  // expected line; empty: none at the operational level
        size_t rows;
    };
    const std::string digest = DigestText("127.0.0.1", 443);
    const Case cases[] = {
        {"a missing file, silently", nullptr, "", "", 0},
        {"an empty file", "empty.csv", "", "", 0},
        {"a bad row", "bad.csv", negative_header + digest + "\nzzz\n",
         "doh-negative: Error loading DoH server cache: " + dir.Path("bad.csv") +
             ": parse error at line #3: digest: 'zzz' is not 16 hexadecimal digits",
         1},
        {"a directory", "dir/", "", "doh-negative: Error loading DoH server cache: " + dir.Path("dir") +
                                        ": not a regular file",
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        std::string path = dir.Path("missing.csv");
        if (c.file != nullptr && std::string(c.file) == "dir/") {
            dir.WriteFile("dir/inside", "");
            path = dir.Path("dir");
        } else if (c.file != nullptr) {
            path = dir.WriteFile(c.file, c.content);
        }
        vpiDOHScannerDigestCache list(10, path);
        EXPECT_EQ(list.Load("doh-negative"), c.rows);
        EXPECT_EQ(list.CacheSize(), c.rows);
        auto lines = log.Lines(vdLogLevel::operational);
        if (c.line.empty()) {
            EXPECT_TRUE(lines.empty()) << testing::PrintToString(lines);
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], c.line + "\n");
        }
    }
    // Only a read file reports its count.
    EXPECT_EQ(log.Count("Loaded 0 doh-negative cache entries."), 0u);
    log.Clear();
    vpiDOHScannerDigestCache empty(10, dir.WriteFile("empty.csv", ""));
    empty.Load("doh-negative");
    EXPECT_TRUE(log.Contains("Loaded 0 doh-negative cache entries."));
}

TEST_F(DohListFileTest, AFailedSaveKeepsTheOldFile)
{
    const std::string missing = dir.Path("no/such/dir/doh-negative.csv");
    vpiDOHScannerDigestCache list(10, missing);
    list.CacheInsert(ExpectedDigest("127.0.0.1", 443), true, false);
    EXPECT_FALSE(list.Save("doh-negative"));
    EXPECT_TRUE(log.Contains("doh-negative: Error saving DoH server cache: " + missing + ": "));
    EXPECT_FALSE(dir.Exists("no"));

    // A save that succeeds replaces the file whole.
    const std::string path = dir.WriteFile("doh-negative.csv", "old\n");
    vpiDOHScannerDigestCache saved(10, path);
    saved.CacheInsert(ExpectedDigest("127.0.0.1", 443), true, false);
    EXPECT_TRUE(saved.Save("doh-negative"));
    EXPECT_EQ(dir.ReadFile("doh-negative.csv"), negative_header + DigestText("127.0.0.1", 443) + "\n");
}

// The port as std::stoul reads the field's text, its low 16 bits kept.
TEST(DohServerLists, PortTextIsReadAsItsLeadingNumber)
{
    struct Case {
        const char *text;
        std::optional<uint16_t> port;  // none: the row stops the load
    };
    const Case cases[] = {
        {"443", 443},       {" 443 ", 443},     {"443x", 443},        {"443 junk", 443},   {"+80", 80},
        {"0", 0},           {"65535", 65535},   {"65536", 0},         {"70000", 4464},     {"-1", 65535},
        {"0x1bb", 0},       {"00443", 443},     {"abc", std::nullopt}, {"", std::nullopt}, {"-", std::nullopt},
        {"x443", std::nullopt}, {"99999999999999999999999", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const uint16_t port = c.port.value_or(443);
        const std::string row = DigestText("127.0.0.1", port) + ",127.0.0.1," + c.text + ",u";
        vpiDOHScannerFlowCache list(10, "");
        vppDohLists::ParseResult result = list.Parse(positive_header + row + "\n");
        if (!c.port) {
            EXPECT_EQ(result.error_line, 2u);
            EXPECT_NE(result.error.find("is not a port number"), std::string::npos) << result.error;
            continue;
        }
        EXPECT_EQ(result.error, "");
        Entry found;
        ASSERT_TRUE(list.CacheLookup(ExpectedDigest("127.0.0.1", port), found));
        EXPECT_EQ(found.address.GetPort(true), port);
        // Written back with the port it means, which loads back unchanged.
        const std::string saved = list.Render();
        EXPECT_EQ(saved, positive_header + Row("127.0.0.1", port, "u") + "\n");
    }
}

// Rows kept on the strength of their digest are written so that they load
// back as they were written.
TEST(DohServerLists, RowsAcceptedAsTheyAreLoadBackUnchanged)
{
    const std::string text = positive_header + DigestText("127.0.0.1", 443) + ",no address,443,\n" +
                             DigestText("127.0.0.2", 443) + ",127.0.0.2/8,443x,https://a/b,c\n";
    vpiDOHScannerFlowCache list(10, "");
    ASSERT_EQ(list.Parse(text).error, "");
    const std::string saved = list.Render();
    vpiDOHScannerFlowCache again(10, "");
    EXPECT_EQ(again.Parse(saved).rows, 2u);
    EXPECT_EQ(again.Render(), saved);
}

// Pieces may end anywhere, in a line or between its end and the next.
TEST(DohServerLists, TextInPiecesParsesAsTextWhole)
{
    const std::string text = positive_header + Row("127.0.0.1", 443, "https://a/") + "\n\n  " +
                             Row("::1", 8443, std::string(2000, 'b')) + "\n" + std::string(4097, ' ') + "\n" +
                             Row("127.0.0.2", 443, "c") + "\n";
    const vppDohLists::ParseResult whole = vppDohLists::ParseLines(text, [](const std::string &) { return ""; });
    ASSERT_EQ(whole.rows, 2u);
    ASSERT_EQ(whole.error_line, 5u);
    for (size_t size : {1, 2, 7, 4096, 4097}) {
        SCOPED_TRACE(size);
        std::vector<std::string> lines;
        vppDohLists::LineParser parser([&](const std::string &line) {
            lines.push_back(line);
            return std::string();
        });
        for (size_t at = 0; at < text.size() && parser.Feed(std::string_view(text).substr(at, size)); at += size) {
        }
        EXPECT_EQ(parser.Result().rows, whole.rows);
        EXPECT_EQ(parser.Result().error_line, whole.error_line);
        EXPECT_EQ(parser.Result().error, "line: longer than 4096 bytes");
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1], Row("::1", 8443, std::string(2000, 'b')));
    }
}

// Read line by line, a list keeps the last rows that fit however large its
// file: here over 16 MiB.
TEST_F(DohListFileTest, ALargeFileKeepsItsLastRows)
{
    std::string text = negative_header;
    const std::string padding(4000, 'x');  // what follows the digest is ignored
    std::vector<std::string> digests;
    for (uint16_t port = 1; port <= 4500; port++) {
        digests.push_back(DigestText("127.0.0.1", port));
        text += digests.back() + "," + padding + "\n";
    }
    ASSERT_GT(text.size(), 16u * 1024 * 1024);
    vpiDOHScannerDigestCache list(3, dir.WriteFile("doh-negative.csv", text));
    EXPECT_EQ(list.Load("doh-negative"), 4500u);
    EXPECT_TRUE(log.Contains("Loaded 4500 doh-negative cache entries."));
    EXPECT_EQ(list.Render(), negative_header + digests[4497] + "\n" + digests[4498] + "\n" + digests[4499] + "\n");
}

}  // namespace
