// The probe's pieces that need no server: the query, the URL of a route,
// what counts as a DNS message, and the response headers kept.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "indicators/drivers/doh/probe.h"
#include "support/error_text.h"
#include "support/log_capture.h"

namespace {

vdAddr Address(const std::string &text, uint16_t port)
{
    vdAddr address;
    EXPECT_TRUE(vdAddr::Create(address, text, port)) << text;
    return address;
}

TEST(DohProbeURL, IsBuiltFromAPlainNameOrElseTheAddress)
{
    struct Case {
        std::string host;
        const char *address;
        uint16_t port;
        const char *route;
        std::string url;
    };
    const Case cases[] = {
        {"doh.localhost", "127.0.0.1", 443, "dns-query", "https://doh.localhost/dns-query"},
        {"doh.localhost", "127.0.0.1", 8443, "dns-query", "https://doh.localhost:8443/dns-query"},
        {"doh.localhost", "127.0.0.1", 443, "/dns-query", "https://doh.localhost/dns-query"},
        {"doh.localhost", "127.0.0.1", 443, "", "https://doh.localhost/"},
        {"A-b_c.9.localhost", "127.0.0.1", 443, "q", "https://A-b_c.9.localhost/q"},
        {"", "127.0.0.1", 8443, "dns-query", "https://127.0.0.1:8443/dns-query"},
        {"", "::1", 443, "dns-query", "https://[::1]/dns-query"},
        {"", "2001:db8::1", 8443, "/q", "https://[2001:db8::1]:8443/q"},
        // Names from the wire that could bend the URL or a list file's row.
        {"evil.localhost,x", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"evil.localhost\nx", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"user@evil.localhost", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"evil.localhost/path", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"evil.localhost:99", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"evil.localhost?x", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"[::1]", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"a b.localhost", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {std::string("a\0b", 3), "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {"\xc3\xa9.localhost", "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {std::string(254, 'a'), "127.0.0.1", 443, "q", "https://127.0.0.1/q"},
        {std::string(253, 'a'), "127.0.0.1", 443, "q", "https://" + std::string(253, 'a') + "/q"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(vpiDOHProbe::MakeURL(c.host, Address(c.address, c.port), c.route), c.url);
        EXPECT_EQ(vpiDOHProbe::IsPlainHostName(c.host), c.url.find(c.host) != std::string::npos && !c.host.empty());
    }
}

// A query as the probe posts it, answered by setting the QR bit.
std::vector<uint8_t> Answer(std::vector<uint8_t> message)
{
    message[2] |= 0x80;
    return message;
}

TEST(DohProbeAnswer, ADNSMessageAloneOrBehindItsLength)
{
    LogCapture log;
    const std::vector<uint8_t> query = vpiDOHProbe::MakeQuery("t", "doh.localhost");
    ASSERT_GE(query.size(), 12u);
    std::vector<uint8_t> prefixed = {0, static_cast<uint8_t>(query.size())};
    prefixed.insert(prefixed.end(), query.begin(), query.end());
    std::vector<uint8_t> trailing = Answer(query);
    trailing.push_back(0);

    struct Case {
        const char *name;
        std::vector<uint8_t> body;
        bool valid;
    };
    const Case cases[] = {
        {"an answer", Answer(query), true},
        {"the query itself (any message counts)", query, true},
        {"behind a 2-byte length", prefixed, true},
        {"empty", {}, false},
        {"one byte", {0x12}, false},
        {"a header cut short", std::vector<uint8_t>(query.begin(), query.begin() + 7), false},
        {"a trailing byte", trailing, false},
        {"HTML", std::vector<uint8_t>({'<', 'h', 't', 'm', 'l', '>', 'x', 'x', 'x', 'x', 'x', 'x', 'x'}), false},
    };
    std::atomic<bool> stop{false};
    vpiDOHProbe probe("t", query, {"dns-query"}, 5, stop);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        EXPECT_EQ(probe.ValidateDNSMessage(c.body), c.valid);
        // Bodies too short to parse are refused without a parser line.
        EXPECT_EQ(log.Contains("t: DNS packet parsing error: "), !c.valid && c.body.size() >= 2);
    }
}

TEST(DohProbeAnswer, QueryNamesThatCannotBeAskedFailTheBuild)
{
    LogCapture log;
    const std::vector<uint8_t> query = vpiDOHProbe::MakeQuery("t", "example.com");
    EXPECT_TRUE(log.Contains("t: constructed DNS query payload: example.com: " + std::to_string(query.size()) +
                             " bytes"));
    // 12 header bytes, the name in 13, type and class.
    EXPECT_EQ(query.size(), 12u + 13u + 4u);

    const std::string long_label(64, 'a');
    EXPECT_EQ(ErrorText([&] { vpiDOHProbe::MakeQuery("t", long_label + ".localhost"); }),
              "t: res_mkquery: " + long_label + ".localhost: -1");
}

TEST(DohProbeHeaders, TheFirstValueOfANameWins)
{
    std::atomic<bool> stop{false};
    vpiDOHProbe probe("t", {}, {"dns-query"}, 5, stop);
    for (const char *line : {"HTTP/1.1 200 OK\r\n", "Content-Type: text/html\r\n", "content-type: application/x\r\n",
                             "X-Empty:\r\n", ": no name\r\n", "Server:  loopback  \r\n", "\r\n"})
        probe.ParseHeader(line);
    const std::map<std::string, std::string> expected = {
        {"content-type", "text/html"}, {"server", "loopback"}, {"x-empty", ""}};
    EXPECT_EQ(probe.ResponseHeaders(), expected);

    // A server sending ever new names cannot grow the map without bound.
    for (int i = 0; i < 1000; i++)
        probe.ParseHeader("x-" + std::to_string(i) + ": v\r\n");
    EXPECT_EQ(probe.ResponseHeaders().size(), vpiDOHProbe::max_response_headers);
}

}  // namespace
