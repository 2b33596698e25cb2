// The flow document: golden flows, the mapping rules and the failure paths.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <latch>
#include <thread>

#include "flow/flow_encoder.h"
#include "support/error_text.h"
#include "velbord.h"

namespace {

using Keys = vdSerializer::Keys;

vdAddr Addr(const char *text, uint16_t port = 0)
{
    vdAddr addr;
    EXPECT_TRUE(vdAddr::Create(addr, text, port)) << text;
    return addr;
}

// A TEID as the host keeps it: the wire bytes, in network order.
uint32_t WireTeid(std::array<uint8_t, 4> bytes)
{
    uint32_t value;
    std::memcpy(&value, bytes.data(), sizeof(value));
    return value;
}

json Encoded(const vdFlow &flow, uint8_t flags)
{
    json out;
    flow.Encode(out, flow.stats, vdFlags<vdFlow::EncodeFlags>(flags));
    return out;
}

// The member at path, or null when it is absent.
json At(const json &document, const Keys &path)
{
    const json *node = &document;
    for (const auto &key : path) {
        if (!node->is_object() || !node->contains(key))
            return nullptr;
        node = &(*node)[key];
    }
    return *node;
}

using Build = std::function<void(vdFlow &)>;

std::shared_ptr<vdFlow> Make(const Build &build)
{
    auto flow = std::make_shared<vdFlow>();
    build(*flow);
    return flow;
}

// IPv4 HTTP over TCP, lower endpoint local and the starter, with counters.
void HttpFlow(vdFlow &f)
{
    f.digest = 0xaa;
    f.first_seen_at = 1700000000000;
    f.last_seen_at = 1700000100000;
    f.lower_mac = Addr("00:1a:2b:3c:4d:5e");
    f.upper_mac = Addr("00:aa:bb:cc:dd:ee");
    f.lower_addr = Addr("192.0.2.10", 51000);
    f.upper_addr = Addr("198.51.100.20", 80);
    f.lower_map = 1;
    f.origin = 1;
    f.other_type = vdFlow::other_remote;
    f.ip_version = 4;
    f.ip_protocol = IPPROTO_TCP;
    f.vlan_id = 10;
    f.ip_nat = true;
    f.detected_protocol = vdProto::HTTP;
    f.detected_protocol_name = "HTTP";
    f.detection_updated = true;
    f.category = {3, 5, 7, 1, 2, 0};
    f.dns_host_name = "www.example.com";
    f.host_server_name = "www.example.com";
    f.user_agent = "curl/8.0";
    f.http_url = "/index.html";
    f.risks = {17, 3};
    f.dpi_risk_score = 10;
    f.dpi_risk_score_client = 4;
    f.dpi_risk_score_server = 6;
    f.tags = {"b", "a"};
    f.stats = {1000, 5000, 6000, 1100, 5100, 10, 12, 22, 11, 13, 4, 0.1f, 2.5f, 1, 0, 2};
}

// IPv6 QUIC: the lower endpoint is the other side, the upper one started the
// flow, the lower MAC and IP are masked and the upper MAC is absent.
void QuicFlow(vdFlow &f)
{
    f.digest = 0x99;
    f.digest_prev = {1, 2, 3};
    f.first_seen_at = 100;
    f.last_seen_at = 200;
    f.lower_mac = Addr("00:1a:2b:3c:4d:5e");
    f.lower_addr = Addr("2001:db8::10", 50000);
    f.upper_addr = Addr("2001:db8::20", 443);
    f.lower_map = 2;
    f.origin = 2;
    f.other_type = 7;
    f.privacy_mask = 0x9;
    f.ip_version = 6;
    f.ip_dscp = 46;
    f.ip_protocol = IPPROTO_UDP;
    f.soft_dissector = f.app_ip_override = f.app_proto_twins = true;
    f.detected_protocol = vdProto::QUIC;
    f.detected_protocol_name = "QUIC";
    f.detected_application = 126;
    f.detected_application_name = "Google";
    f.detection_guessed = true;
    f.category = {0, 0, 0, 11, 12, 9};
    f.host_server_name = "cdn.example.net";
    f.ssl_cipher_suite = 0x1301;
    f.ssl_alpn = {"h3"};
    f.stun_mapped = Addr("203.0.113.5", 3478);
    f.stats = {300, 700, 1000, 310, 710, 3, 7, 10, 4, 8, 2, 1.5f, 0.25f, 9, 9, 9};
}

// TLS with every TLS member; the upper MAC and IP are masked.
void TlsFlow(vdFlow &f)
{
    f.digest = 0xc0ffee;
    f.first_seen_at = 250;
    f.last_seen_at = 300;
    f.lower_mac = Addr("00:1a:2b:3c:4d:5e");
    f.upper_mac = Addr("00:aa:bb:cc:dd:ee");
    f.lower_addr = Addr("192.0.2.30", 40000);
    f.upper_addr = Addr("203.0.113.40", 443);
    f.privacy_mask = 0x6;
    f.other_type = vdFlow::other_local;
    f.ip_version = 4;
    f.ip_protocol = IPPROTO_TCP;
    f.dhc_hit = true;
    f.detected_protocol = vdProto::TLS;
    f.detected_protocol_name = "TLS";
    f.host_server_name = "www.example.org";
    f.ssl_version = 0x0304;
    f.ssl_cipher_suite = 0x1302;
    f.ssl_encrypted_ch_version = 0xfe0d;
    f.ssl_server_cn = "*.example.org";
    f.ssl_issuer_dn = "CN=Example CA";
    f.ssl_subject_dn = "CN=www.example.org";
    f.ssl_client_ja4 = "t13d1516h2_8daaf6152771_e5627efa2ab1";
    for (uint8_t i = 0; i < 20; i++)
        f.ssl_cert_fingerprint.push_back(i);
    f.ssl_alpn = {"h2", "http/1.1"};
    f.ssl_alpn_server = {"h2"};
}

// GTP-tunnelled TCP whose tunnel names its lower endpoint the other side.
void GtpFlow(vdFlow &f)
{
    f.digest = 0xd;
    f.last_seen_at = 400;
    f.lower_addr = Addr("192.0.2.50", 1000);
    f.lower_map = 1;
    f.ip_protocol = IPPROTO_TCP;
    f.tunnel_type = vdFlow::tunnel_gtp;
    f.gtp.version = 1;
    f.gtp.ip_version = 4;
    f.gtp.ip_dscp = 10;
    f.gtp.lower_addr = Addr("10.0.0.1", 2152);
    f.gtp.upper_addr = Addr("10.0.0.2", 2153);
    f.gtp.lower_teid = WireTeid({0x00, 0x00, 0x01, 0x00});
    f.gtp.upper_teid = htonl(16909060);
    f.gtp.lower_map = 2;
    f.gtp.other_type = vdFlow::other_multicast;
}

struct GoldenCase {
    const char *name;
    Build build;
    uint8_t flags;
    uint64_t global_flags;
    const char *expected;
};

const char *http_identity = R"({"digest":"00000000000000aa","digest_prev":["00000000000000aa"],
    "last_seen_at":1700000100000})";

const GoldenCase golden_cases[] = {
    {"http, everything", HttpFlow, 0x7, 0, R"({
        "digest":"00000000000000aa","digest_prev":["00000000000000aa"],"last_seen_at":1700000100000,
        "ip_nat":true,"soft_dissector":false,"app_ip_override":false,"app_proto_twins":false,
        "ip_version":4,"ip_dscp":0,"ip_protocol":6,"vlan_id":10,"other_type":"remote","local_origin":true,
        "local_mac":"00:1a:2b:3c:4d:5e","other_mac":"00:aa:bb:cc:dd:ee",
        "local_ip":"192.0.2.10","other_ip":"198.51.100.20","local_port":51000,"other_port":80,
        "detected_protocol":7,"detected_protocol_name":"HTTP",
        "detected_application":0,"detected_application_name":"Unknown",
        "detection_guessed":false,"detection_updated":true,
        "category":{"application":3,"protocol":5,"domain":7,"local_network":1,"other_network":2,"overlay":0},
        "dns_host_name":"www.example.com","host_server_name":"www.example.com",
        "http":{"user_agent":"curl/8.0","url":"/index.html"},
        "first_seen_at":1700000000000,
        "risks":{"risks":[3,17],"dpi_risk_score":10,"dpi_risk_score_client":4,"dpi_risk_score_server":6},
        "tags":["a","b"],
        "local_bytes":1000,"other_bytes":5000,"total_local_bytes":1100,"total_other_bytes":5100,
        "local_packets":10,"other_packets":12,"total_local_packets":11,"total_other_packets":13,
        "total_packets":22,"total_bytes":6000,"detection_packets":4,
        "local_rate":0.10000000149011612,"other_rate":2.5,
        "tcp":{"seq_errors":1,"resets":0,"retrans":2}})"},
    {"http, no flags", HttpFlow, 0x0, 0, http_identity},
    {"http, only high bits", HttpFlow, 0xf8, 0, http_identity},
    {"http, counters alone", HttpFlow, 0x4, 0, R"({
        "digest":"00000000000000aa","digest_prev":["00000000000000aa"],"last_seen_at":1700000100000,
        "local_bytes":1000,"other_bytes":5000,"total_local_bytes":1100,"total_other_bytes":5100,
        "local_packets":10,"other_packets":12,"total_local_packets":11,"total_other_packets":13,
        "total_packets":22,"total_bytes":6000,"detection_packets":4,
        "local_rate":0.10000000149011612,"other_rate":2.5,
        "tcp":{"seq_errors":1,"resets":0,"retrans":2}})"},
    {"quic over ipv6, lower is the other side", QuicFlow, 0x5, 0, R"({
        "digest":"0000000000000003",
        "digest_prev":["0000000000000001","0000000000000002","0000000000000003"],"last_seen_at":200,
        "ip_nat":false,"soft_dissector":true,"app_ip_override":true,"app_proto_twins":true,
        "ip_version":6,"ip_dscp":46,"ip_protocol":17,"vlan_id":0,"other_type":"unknown","local_origin":true,
        "other_mac":"00:52:14:00:00:00","local_mac":"00:00:00:00:00:00",
        "other_ip":"fe:80::ffff:7fff:fd","local_ip":"2001:db8::20","other_port":50000,"local_port":443,
        "detected_protocol":188,"detected_protocol_name":"QUIC",
        "detected_application":126,"detected_application_name":"Google",
        "detection_guessed":true,"detection_updated":false,
        "category":{"application":0,"protocol":0,"domain":0,"other_network":11,"local_network":12,"overlay":9},
        "host_server_name":"cdn.example.net",
        "ssl":{"version":"0x0000","cipher_suite":"0x1301","client_sni":"cdn.example.net","alpn":["h3"]},
        "stun":{"mapped":"203.0.113.5:3478"},
        "first_seen_at":100,
        "risks":{"dpi_risk_score":0,"dpi_risk_score_client":0,"dpi_risk_score_server":0},
        "other_bytes":300,"local_bytes":700,"total_other_bytes":310,"total_local_bytes":710,
        "other_packets":3,"local_packets":7,"total_other_packets":4,"total_local_packets":8,
        "total_packets":10,"total_bytes":1000,"detection_packets":2,"other_rate":1.5,"local_rate":0.25})"},
    {"tls with host hit flags", TlsFlow, 0x1, 0x3000, R"({
        "digest":"0000000000c0ffee","digest_prev":["0000000000c0ffee"],"last_seen_at":300,
        "ip_nat":false,"dhc_hit":true,"fhc_hit":false,"soft_dissector":false,"app_ip_override":false,
        "app_proto_twins":false,"ip_version":4,"ip_dscp":0,"ip_protocol":6,"vlan_id":0,
        "other_type":"local","local_origin":true,
        "local_mac":"00:1a:2b:3c:4d:5e","other_mac":"00:52:ff:00:00:00",
        "local_ip":"192.0.2.30","other_ip":"127.255.0.254","local_port":40000,"other_port":443,
        "detected_protocol":91,"detected_protocol_name":"TLS",
        "detected_application":0,"detected_application_name":"Unknown",
        "detection_guessed":false,"detection_updated":false,
        "category":{"application":0,"protocol":0,"domain":0,"local_network":0,"other_network":0,"overlay":0},
        "host_server_name":"www.example.org",
        "ssl":{"version":"0x0304","cipher_suite":"0x1302","client_sni":"www.example.org",
               "encrypted_ch_version":"0xfe0d","server_cn":"*.example.org","issuer_dn":"CN=Example CA",
               "subject_dn":"CN=www.example.org","client_ja4":"t13d1516h2_8daaf6152771_e5627efa2ab1",
               "fingerprint":"000102030405060708090a0b0c0d0e0f10111213",
               "alpn":["h2","http/1.1"],"alpn_server":["h2"]},
        "first_seen_at":250,
        "risks":{"dpi_risk_score":0,"dpi_risk_score_client":0,"dpi_risk_score_server":0}})"},
    {"gtp tunnel with zero tcp counters", GtpFlow, 0x6, 0, R"({
        "digest":"000000000000000d","digest_prev":["000000000000000d"],"last_seen_at":400,
        "gtp":{"version":1,"ip_version":4,"ip_dscp":10,"other_ip":"10.0.0.1","local_ip":"10.0.0.2",
               "other_port":2152,"local_port":2153,"other_teid":256,"local_teid":16909060,
               "other_type":"unsupported"},
        "local_bytes":0,"other_bytes":0,"total_local_bytes":0,"total_other_bytes":0,
        "local_packets":0,"other_packets":0,"total_local_packets":0,"total_other_packets":0,
        "total_packets":0,"total_bytes":0,"detection_packets":0,"local_rate":0.0,"other_rate":0.0,
        "tcp":{"seq_errors":0,"resets":0,"retrans":0}})"},
};

class FlowEncoderTest : public ::testing::Test
{
protected:
    vdGlobalConfig config;
};

}  // namespace

TEST_F(FlowEncoderTest, GoldenDocuments)
{
    for (const auto &c : golden_cases) {
        config.flags = vdFlags<vdGlobalFlags>(c.global_flags);
        auto flow = Make(c.build);
        const json actual = Encoded(*flow, c.flags);
        EXPECT_EQ(actual, json::parse(c.expected)) << c.name << "\n" << actual.dump(2);
    }
}

TEST_F(FlowEncoderTest, EndpointSidesAndOrigin)
{
    struct Case {
        uint8_t lower_map, origin;
        bool local_origin;
        const char *lower_side;  // where the lower endpoint's values go
    };
    const Case cases[] = {
        {1, 1, true, "local"},  {1, 0, true, "local"},  {1, 2, false, "local"}, {2, 2, true, "other"},
        {2, 1, false, "other"}, {2, 0, false, "other"}, {0, 2, false, "local"}, {3, 1, true, "local"},
    };
    for (const auto &c : cases) {
        auto flow = Make(HttpFlow);
        flow->lower_map = c.lower_map;
        flow->origin = c.origin;
        json doc = Encoded(*flow, 0x5);
        const std::string lower = c.lower_side, upper = lower == "local" ? "other" : "local";
        const std::string label = "lower_map " + std::to_string(c.lower_map) + " origin " + std::to_string(c.origin);
        EXPECT_EQ(doc["local_origin"], c.local_origin) << label;
        EXPECT_EQ(doc[lower + "_mac"], "00:1a:2b:3c:4d:5e") << label;
        EXPECT_EQ(doc[upper + "_ip"], "198.51.100.20") << label;
        EXPECT_EQ(doc[lower + "_port"], 51000) << label;
        EXPECT_EQ(doc["category"][upper + "_network"], 2) << label;
        EXPECT_EQ(doc["total_" + lower + "_bytes"], 1100) << label;
        EXPECT_EQ(doc[upper + "_rate"], 2.5) << label;
    }
}

TEST_F(FlowEncoderTest, PrivacyMaskAndAbsentAddresses)
{
    struct Case {
        uint8_t mask, ip_version;
        bool with_macs, with_ips;
        const char *lower_mac, *upper_mac, *lower_ip, *upper_ip;  // nullptr: left out
    };
    const Case cases[] = {
        {0x0, 4, true, true, "00:1a:2b:3c:4d:5e", "00:aa:bb:cc:dd:ee", "192.0.2.10", "198.51.100.20"},
        {0x0, 4, false, false, "00:00:00:00:00:00", "00:00:00:00:00:00", nullptr, nullptr},
        {0x3, 4, false, true, "00:52:14:00:00:00", "00:52:ff:00:00:00", "192.0.2.10", "198.51.100.20"},
        {0xc, 4, true, true, "00:1a:2b:3c:4d:5e", "00:aa:bb:cc:dd:ee", "127.255.0.253", "127.255.0.254"},
        {0xc, 6, true, false, "00:1a:2b:3c:4d:5e", "00:aa:bb:cc:dd:ee", "fe:80::ffff:7fff:fd", "fe:80::ffff:7fff:fe"},
        {0x8, 0, true, true, "00:1a:2b:3c:4d:5e", "00:aa:bb:cc:dd:ee", "fe:80::ffff:7fff:fd", "198.51.100.20"},
    };
    for (const auto &c : cases) {
        auto flow = Make(HttpFlow);
        flow->privacy_mask = c.mask;
        flow->ip_version = c.ip_version;
        if (!c.with_macs)
            flow->lower_mac = flow->upper_mac = vdAddr();
        if (!c.with_ips)
            flow->lower_addr = flow->upper_addr = vdAddr();
        json doc = Encoded(*flow, 0x1);
        const std::string label = "mask " + std::to_string(c.mask) + " ip_version " + std::to_string(c.ip_version);
        EXPECT_EQ(doc["local_mac"], c.lower_mac) << label;
        EXPECT_EQ(doc["other_mac"], c.upper_mac) << label;
        EXPECT_EQ(At(doc, {"local_ip"}), c.lower_ip ? json(c.lower_ip) : json()) << label;
        EXPECT_EQ(At(doc, {"other_ip"}), c.upper_ip ? json(c.upper_ip) : json()) << label;
    }
}

TEST_F(FlowEncoderTest, OtherTypeNamesOfFlowAndTunnel)
{
    const char *flow_names[] = {"unknown", "unsupported", "local",   "multicast", "broadcast",
                                "remote",  "error",       "unknown", "unknown"};
    const char *tunnel_names[] = {"unsupported", "unsupported", "local",       "unsupported", "unsupported",
                                  "remote",      "error",       "unsupported", "unsupported"};
    for (uint8_t code = 0; code < 9; code++) {
        auto flow = Make(GtpFlow);
        flow->other_type = code == 8 ? 255 : code;
        flow->gtp.other_type = code == 8 ? 9 : code;
        json doc = Encoded(*flow, 0x3);
        EXPECT_EQ(doc["other_type"], flow_names[code]) << int(code);
        EXPECT_EQ(doc["gtp"]["other_type"], tunnel_names[code]) << int(code);
    }
}

TEST_F(FlowEncoderTest, TlsObjectOnlyForTlsOrQuic)
{
    struct Case {
        vdProto::Id master, detected;
        bool has_ssl;
    };
    const Case cases[] = {
        {0, vdProto::TLS, true},
        {vdProto::TLS, 7, true},
        {0, vdProto::QUIC, true},
        {vdProto::HTTP, vdProto::QUIC, true},
        {vdProto::HTTP, vdProto::TLS, false},
        {0, vdProto::DTLS, false},
        {0, vdProto::DOQ, false},
    };
    for (const auto &c : cases) {
        auto flow = Make(HttpFlow);
        flow->master_protocol = c.master;
        flow->detected_protocol = c.detected;
        json doc = Encoded(*flow, 0x1);
        EXPECT_EQ(doc.contains("ssl"), c.has_ssl) << c.master << "/" << c.detected;
        // The server name is a TLS client SNI only inside the TLS object.
        EXPECT_EQ(At(doc, {"ssl", "client_sni"}), c.has_ssl ? json("www.example.com") : json());
    }
}

TEST_F(FlowEncoderTest, PresenceGettersSelectMembers)
{
    struct Case {
        const char *name;
        Build set;
        Keys path;
        json expected;  // null: left out
    };
    const Case cases[] = {
        {"http agent", [](vdFlow &f) { f.user_agent = "ua/1"; }, {"http", "user_agent"}, "ua/1"},
        {"ssdp agent",
         [](vdFlow &f) {
             f.detected_protocol = vdProto::SSDP;
             f.user_agent = "upnp/1";
         },
         {"ssdp", "user_agent"},
         "upnp/1"},
        {"ssdp agent is not http",
         [](vdFlow &f) {
             f.master_protocol = vdProto::SSDP;
             f.user_agent = "upnp/1";
         },
         {"http", "user_agent"},
         nullptr},
        {"http url", [](vdFlow &f) { f.http_url = "/a?b"; }, {"http", "url"}, "/a?b"},
        {"dhcp fingerprint", [](vdFlow &f) { f.dhcp_fingerprint = "1,3,6"; }, {"dhcp", "fingerprint"}, "1,3,6"},
        {"dhcp class", [](vdFlow &f) { f.dhcp_class_ident = "MSFT 5.0"; }, {"dhcp", "class_ident"}, "MSFT 5.0"},
        {"ssh client", [](vdFlow &f) { f.ssh_client_agent = "SSH-2.0-a"; }, {"ssh", "client"}, "SSH-2.0-a"},
        {"ssh server", [](vdFlow &f) { f.ssh_server_agent = "SSH-2.0-b"; }, {"ssh", "server"}, "SSH-2.0-b"},
        {"bt info hash",
         [](vdFlow &f) {
             f.bt_info_hash = {0xab, 0x01};
         },
         {"bt", "info_hash"},
         "ab01"},
        {"mdns answer", [](vdFlow &f) { f.mdns_answer = "printer.local"; }, {"mdns", "answer"}, "printer.local"},
        {"stun peer only",
         [](vdFlow &f) { f.stun_peer = Addr("2001:db8::7", 3478); },
         {"stun"},
         {{"peer", "[2001:db8::7]:3478"}}},
        {"stun every address",
         [](vdFlow &f) {
             f.stun_mapped = Addr("203.0.113.1", 1);
             f.stun_peer = Addr("203.0.113.2", 2);
             f.stun_relayed = Addr("203.0.113.3", 3);
             f.stun_response = Addr("203.0.113.4", 4);
             f.stun_other = Addr("203.0.113.5", 5);
         },
         {"stun"},
         {{"mapped", "203.0.113.1:1"},
          {"peer", "203.0.113.2:2"},
          {"relayed", "203.0.113.3:3"},
          {"response", "203.0.113.4:4"},
          {"other", "203.0.113.5:5"}}},
        {"empty host names",
         [](vdFlow &f) {
             f.dns_host_name.clear();
             f.host_server_name.clear();
         },
         {"host_server_name"},
         nullptr},
        {"tls without fingerprint",
         [](vdFlow &f) { f.detected_protocol = vdProto::TLS; },
         {"ssl", "fingerprint"},
         nullptr},
    };
    for (const auto &c : cases) {
        auto flow = Make([](vdFlow &f) {
            f.digest = 1;
            f.detected_protocol = vdProto::HTTP;
            f.dns_host_name = f.host_server_name = "example.com";
        });
        c.set(*flow);
        json doc = Encoded(*flow, 0x1);
        EXPECT_EQ(At(doc, c.path), c.expected) << c.name << "\n" << doc.dump(2);
    }
}

TEST_F(FlowEncoderTest, HostHitFlagsFollowTheHostConfiguration)
{
    struct Case {
        uint64_t global_flags;
        bool dhc, fhc;
    };
    const Case cases[] = {{0x0, false, false}, {0x1000, true, false}, {0x2000, false, true}, {0x3005, true, true}};
    for (const auto &c : cases) {
        config.flags = vdFlags<vdGlobalFlags>(c.global_flags);
        auto flow = Make(HttpFlow);
        flow->dhc_hit = flow->fhc_hit = true;
        json doc = Encoded(*flow, 0x1);
        EXPECT_EQ(doc.contains("dhc_hit"), c.dhc) << c.global_flags;
        EXPECT_EQ(doc.contains("fhc_hit"), c.fhc) << c.global_flags;
    }
}

TEST_F(FlowEncoderTest, TunnelKeysFollowTheTunnelsOwnSides)
{
    struct Case {
        uint8_t tunnel_type, gtp_lower_map, lower_map;
        const char *lower_ip_key, *lower_teid_key;  // nullptr: no "gtp" object
    };
    const Case cases[] = {
        {1, 1, 2, "local_ip", "local_teid"}, {1, 2, 1, "other_ip", "other_teid"}, {1, 0, 1, "local_ip", "local_teid"},
        {1, 0, 2, "other_ip", "local_teid"}, {1, 7, 2, "other_ip", "local_teid"}, {0, 1, 1, nullptr, nullptr},
    };
    for (const auto &c : cases) {
        auto flow = Make(GtpFlow);
        flow->tunnel_type = c.tunnel_type;
        flow->gtp.lower_map = c.gtp_lower_map;
        flow->lower_map = c.lower_map;
        json doc = Encoded(*flow, 0x7);
        const std::string label =
            std::to_string(c.tunnel_type) + "/" + std::to_string(c.gtp_lower_map) + "/" + std::to_string(c.lower_map);
        // The flow's own lower address follows only the flow's choice.
        EXPECT_EQ(doc[c.lower_map == 2 ? "other_ip" : "local_ip"], "192.0.2.50") << label;
        if (c.lower_ip_key == nullptr) {
            EXPECT_FALSE(doc.contains("gtp")) << label;
            continue;
        }
        EXPECT_EQ(doc["gtp"][c.lower_ip_key], "10.0.0.1") << label;
        EXPECT_EQ(doc["gtp"][c.lower_teid_key], 256) << label;
    }
}

TEST_F(FlowEncoderTest, AddsToTheDocumentAndAllowsAHeldLock)
{
    auto flow = Make(HttpFlow);
    json out = {{"intel", json::array({1})}, {"digest", "replaced"}};
    {
        std::lock_guard<std::recursive_mutex> held(flow->lock);
        flow->Encode(out, flow->stats, vdFlow::EncodeFlags::encode_none);
    }
    EXPECT_EQ(out["intel"], json::array({1}));
    EXPECT_EQ(out["digest"], "00000000000000aa");
}

TEST_F(FlowEncoderTest, MisshapenDocumentRaisesAndReleasesTheFlow)
{
    auto flow = Make(HttpFlow);
    json out = {{"http", "not an object"}};
    EXPECT_THROW(flow->Encode(out, flow->stats, vdFlow::EncodeFlags::encode_metadata), json::type_error);
    EXPECT_EQ(out["digest"], "00000000000000aa");

    bool locked = false;
    std::thread other([&] {
        locked = flow->lock.try_lock();
        if (locked)
            flow->lock.unlock();
    });
    other.join();
    EXPECT_TRUE(locked);
}

TEST(FlowEncoderWithoutHost, MetadataNeedsTheHostConfiguration)
{
    ASSERT_FALSE(vdGlobalConfig::HasInstance());
    auto flow = Make(GtpFlow);
    json out;
    EXPECT_NO_THROW(flow->Encode(out, flow->stats, vdFlags<vdFlow::EncodeFlags>(0x6)));
    EXPECT_EQ(ErrorText([&] { flow->Encode(out, flow->stats, vdFlow::EncodeFlags::encode_metadata); }),
              "static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not found");
}

TEST_F(FlowEncoderTest, InvalidUtf8RendersWithReplacement)
{
    auto flow = Make(TlsFlow);
    flow->host_server_name = "bad\xff\xfe.example";
    flow->ssl_alpn = {"h2\xc3"};
    json doc = Encoded(*flow, 0x7);
    std::string text;
    ASSERT_NO_THROW(vd_json_to_string(doc, text));
    EXPECT_NE(text.find("bad\xef\xbf\xbd"), std::string::npos) << text;
    EXPECT_EQ(json::parse(text)["ssl"]["client_sni"].get<std::string>().find('\xff'), std::string::npos);
}

// The worker and the cloud request threads may encode one flow at once.
TEST_F(FlowEncoderTest, ConcurrentEncodesOfOneFlowAgree)
{
    auto flow = Make(QuicFlow);
    const json expected = Encoded(*Make(QuicFlow), 0x7);
    constexpr int threads = 4, rounds = 200;
    std::latch start(threads);
    std::atomic<int> differing{0};
    std::vector<std::thread> encoders;
    for (int t = 0; t < threads; t++) {
        encoders.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < rounds; i++) {
                if (Encoded(*flow, 0x7) != expected)
                    differing++;
            }
        });
    }
    for (auto &encoder : encoders)
        encoder.join();
    EXPECT_EQ(differing.load(), 0);
}

TEST_F(FlowEncoderTest, DigestsAndHexValuesAreWrittenAsTheHostWritesThem)
{
    // Digests with every digit, the top bit and none set; TLS values likewise.
    const uint64_t digests[] = {0, 0xfedcba9876543210, 0x0123456789abcdef, UINT64_MAX};
    const uint16_t values[] = {0, 0x000f, 0xabcd, 0xffff};
    for (size_t at = 0; at < std::size(digests); at++) {
        auto flow = Make(HttpFlow);
        flow->detected_protocol = vdProto::TLS;
        flow->digest = digests[at];
        flow->digest_prev = {digests[(at + 1) % std::size(digests)], digests[at]};
        flow->ssl_version = values[at];
        flow->ssl_cipher_suite = values[(at + 1) % std::size(values)];
        const json doc = Encoded(*flow, 0x1);
        const json expected_prev = {vd_xxh64_to_string(flow->digest_prev[0]), vd_xxh64_to_string(digests[at])};
        EXPECT_EQ(doc["digest_prev"], expected_prev);
        EXPECT_EQ(doc["digest"], vd_xxh64_to_string(digests[at]));
        char version[8], cipher_suite[8];
        std::snprintf(version, sizeof(version), "0x%04hx", flow->ssl_version);
        std::snprintf(cipher_suite, sizeof(cipher_suite), "0x%04hx", flow->ssl_cipher_suite);
        EXPECT_EQ(doc["ssl"]["version"], version);
        EXPECT_EQ(doc["ssl"]["cipher_suite"], cipher_suite);
    }
}
