// The signature feed run by the replay host end to end with the intel
// plug-in: each feed-lookup driver answered from real signature files, a
// poll taking up the host's new offer, broken data sets reported while the
// others answer, and the legacy intelligence file served or not.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/replay_runner.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 60s;

// The score every data set's header gives a hit (TLS score lists give the
// matched element's own score instead).
constexpr unsigned set_score = 35;

const char *const feed_lookup_drivers[] = {
    "tor_exit",
    "tor_relay",
    "tor_bridge",
    "vpn_application_business",
    "vpn_application_consumer",
    "vpn_protocol",
    "vpn_server_consumer",
    "crypto_application",
    "crypto_protocol",
    "crypto_server",
    "protocol_insecure",
    "credentials_cleartext",
    "tls_cert_expired",
    "tls_cert_mismatch",
    "tls_cert_self_signed",
    "tls_cert_validity_too_long",
    "tls_cipher_score",
    "tls_version_score",
    "dox_server",
};

// One indicator of every feed-lookup driver on the signature feed, and a
// custom indicator that reports every flow, so that a flow without feed
// intel is known to have been evaluated.
json Configuration(const json &feed_conf)
{
    json conf = {
        {"indicator_defaults", {{"criteria", {{"min_bytes", 0}}}}},
        {"data_feeds", {{"velbor_api", feed_conf}}},
        {"indicators",
         {{"every_flow",
           {{"indicator_driver", "custom"},
            {"score", 1},
            {"criteria", {{"flow_expr", "ip_version != 0"}}},
            {"proc_targets", {"audit"}}}}}},
    };
    for (const char *driver : feed_lookup_drivers)
        conf["indicators"][std::string("watch_") + driver] = {
            {"indicator_driver", driver}, {"data_feeds", {"velbor_api"}}, {"proc_targets", {"audit"}}};
    return conf;
}

// A LAN client's flow to a server, with members replaced or added.
std::string FlowLine(const std::string &digest, const json &members)
{
    json flow = json::parse(R"({"ip_version": 4, "ip_protocol": 6,
        "lower_addr": "192.168.1.5", "lower_port": 40000, "upper_addr": "192.0.2.200", "upper_port": 443,
        "lower_map": 1, "origin": 1, "other_type": 5, "iface": {"ifname": "eth0", "role": 1},
        "stats": {"total_bytes": 2048, "total_packets": 12}})");
    flow.update(members);
    flow["digest"] = digest;
    return json({{"event", "dpi_complete"}, {"flow", flow}}).dump() + "\n";
}

// A feed-lookup finding as the intel record carries it.
json Found(const std::string &driver, unsigned score)
{
    return {{"indicator_driver", driver}, {"score", score}, {"data_source", "velbor_api"}, {"data_feed", "velbor_api"}};
}

struct Findings {
    std::map<std::string, std::vector<json>> by_flow;  // feed-lookup findings, sorted
    std::map<std::string, int> evaluated;              // the custom indicator's records
};

Findings FindingsOf(const ProcessResult &result)
{
    Findings findings;
    for (const auto &line : LinesWith(result.OutputLines(), "processor")) {
        const std::string digest = line["digest"].get<std::string>();
        const json &record = line["record"];
        if (record["indicator_driver"] == "custom") {
            findings.evaluated[digest]++;
            continue;
        }
        auto &found = findings.by_flow[digest];
        found.push_back({{"indicator_driver", record["indicator_driver"]},
                         {"score", record["score"]},
                         {"data_source", record["data_source"]},
                         {"data_feed", record["data_feed"]}});
        std::sort(found.begin(), found.end());
    }
    return findings;
}

class SignatureFeedReplayTest : public ::testing::Test
{
protected:
    // Writes the data set of tag under sets/ and returns the descriptor
    // that offers it.
    json Signature(const std::string &tag, const std::string &content) const
    {
        return {{"tag", tag},
                {"format", "velbor-dat"},
                {"version", 1},
                {"encryption", "none"},
                {"path", dir.WriteFile("sets/" + tag + ".json", content)},
                {"definition", {{"kind", tag}}},
                {"stamp", 1}};
    }

    json Payload(const std::string &tag, const std::string &data_type, const std::string &data) const
    {
        return {{"tag", tag},
                {"label", tag + " set"},
                {"data_type", data_type},
                {"score", set_score},
                {"data", json::parse(data)}};
    }

    std::string Manifest(const std::string &name, const json &signatures) const
    {
        return dir.WriteFile(name, signatures.dump(2));
    }

    std::vector<std::string> Arguments(const std::vector<std::string> &extra) const
    {
        std::vector<std::string> arguments{"--plugin", PLUGIN_LIBRARY,    "--conf",   conf_path,
                                           "--state",  dir.Path("state"), "--linger", "0"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    Findings Replay(const std::string &events, const std::vector<std::string> &extra)
    {
        last = RunReplay(Arguments(extra), events, deadline);
        EXPECT_EQ(last.exit_status, 0) << last.Describe();
        return FindingsOf(last);
    }

    void UseConfiguration(const json &feed_conf)
    {
        conf_path = dir.WriteFile("intel.json", Configuration(feed_conf).dump(2));
    }

    TempDir dir;
    std::string conf_path = dir.WriteFile("intel.json", Configuration(json::object()).dump(2));
    ProcessResult last;
};

// One data set offered under a driver's name, one flow, and the intel the
// whole set of feed-lookup indicators finds for it.
struct DriverCase {
    const char *driver;
    const char *data_type;
    const char *data;
    const char *flow;                  // members of the flow
    std::optional<unsigned> expected;  // the score of the one finding; nothing: none
};

const DriverCase driver_cases[] = {
    {"tor_exit", "ip_list", R"(["198.51.100.7", "203.0.113.0/24"])", R"({"upper_addr": "198.51.100.7"})", set_score},
    {"tor_exit", "ip_list", R"(["198.51.100.7", "203.0.113.0/24"])",
     R"({"lower_addr": "203.0.113.9", "upper_addr": "192.168.1.5"})", set_score},
    {"tor_relay", "ip_port_list", R"({"198.51.100.8": [9001, 443]})",
     R"({"upper_addr": "198.51.100.8", "upper_port": 9001})", set_score},
    {"tor_relay", "ip_port_list", R"({"198.51.100.8": [9001, 443]})",
     R"({"upper_addr": "198.51.100.8", "upper_port": 80})", std::nullopt},
    {"tor_bridge", "ip_list", R"(["2001:db8:b::/48"])",
     R"({"ip_version": 6, "lower_addr": "2001:db8:1::5", "upper_addr": "2001:db8:b::9"})", set_score},
    {"vpn_application_business", "application_list", R"([{"id": 301, "tag": "corp_vpn", "label": "Corporate VPN"}])",
     R"({"detected_application": 301})", set_score},
    {"vpn_application_consumer", "application_list", R"([{"id": 302, "tag": "free_vpn", "label": "Free VPN"}])",
     R"({"detected_application": 302})", set_score},
    {"vpn_protocol", "protocol_list", R"([{"id": 150, "tag": "tunnel", "label": "Tunnel protocol"}])",
     R"({"detected_protocol": 150})", set_score},
    {"vpn_server_consumer", "domain_list", R"(["vpn.example.net"])", R"({"host_server_name": "vpn.example.net"})",
     set_score},
    {"crypto_application", "application_list", R"([{"id": 410, "tag": "wallet", "label": "Wallet"}])",
     R"({"detected_application": 410})", set_score},
    {"crypto_protocol", "protocol_list", R"([{"id": 420, "tag": "mining", "label": "Mining pool protocol"}])",
     R"({"detected_protocol": 420})", set_score},
    {"crypto_server", "domain_list", R"(["pool.example.org"])", R"({"dns_host_name": "pool.example.org"})", set_score},
    {"protocol_insecure", "protocol_list", R"([{"id": 77, "tag": "telnet", "label": "Telnet"}])",
     R"({"detected_protocol": 77})", set_score},
    {"credentials_cleartext", "risk", R"({"risk": 36})", R"({"risks": [36]})", set_score},
    {"tls_cert_expired", "risk", R"({"dpi_risk": 13})", R"({"risks": [2, 13]})", set_score},
    {"tls_cert_mismatch", "risk", R"({"risk": 12})", R"({"risks": [12]})", set_score},
    {"tls_cert_mismatch", "risk", R"({"risk": 12})", R"({"risks": [13]})", std::nullopt},
    {"tls_cert_self_signed", "risk", R"({"risk": 14})", R"({"risks": [14]})", set_score},
    {"tls_cert_validity_too_long", "risk", R"({"risk": 40})", R"({"risks": [40]})", set_score},
    {"tls_cipher_score", "tls_cipher_score_list", R"([{"value": 5, "score": 75, "label": "RC4-SHA"}])",
     R"({"master_protocol": 91, "ssl_cipher_suite": 5})", 75},
    {"tls_version_score", "tls_version_score_list", R"([{"value": 769, "score": 65, "label": "TLS 1.0"}])",
     R"({"detected_protocol": 188, "ssl_version": 769})", 65},
    {"tls_version_score", "tls_version_score_list", R"([{"value": 769, "score": 65, "label": "TLS 1.0"}])",
     R"({"detected_protocol": 7, "ssl_version": 769})", std::nullopt},
    {"dox_server", "ip_port_list", R"({"192.0.2.53": [853]})",
     R"({"master_protocol": 91, "upper_addr": "192.0.2.53", "upper_port": 853})", set_score},
    {"dox_server", "ip_port_list", R"({"192.0.2.53": [853]})",
     R"({"master_protocol": 261, "upper_addr": "192.0.2.53", "upper_port": 853})", set_score},
    {"dox_server", "ip_port_list", R"({"192.0.2.53": [853]})",
     R"({"master_protocol": 188, "upper_addr": "192.0.2.53", "upper_port": 853})", std::nullopt},
};

void PrintTo(const DriverCase &c, std::ostream *out)
{
    *out << c.driver << " " << c.data_type << " " << c.flow;
}

class DriverReplayTest : public SignatureFeedReplayTest, public ::testing::WithParamInterface<DriverCase>
{
};

// Every other driver's indicator asks the feed too: only the data set
// named after a driver answers that driver.
TEST_P(DriverReplayTest, TheDataSetNamedAfterTheDriverAnswersIt)
{
    const DriverCase &c = GetParam();
    const std::string manifest =
        Manifest("signatures.json", json::array({Signature(c.driver, Payload(c.driver, c.data_type, c.data).dump())}));

    Findings findings = Replay(FlowLine("00000000000000f1", json::parse(c.flow)), {"--signatures", manifest});

    EXPECT_EQ(findings.evaluated["00000000000000f1"], 1) << last.out;
    std::vector<json> expected;
    if (c.expected)
        expected.push_back(Found(c.driver, *c.expected));
    EXPECT_EQ(json(findings.by_flow["00000000000000f1"]), json(expected)) << last.err;
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverReplayTest, ::testing::ValuesIn(driver_cases), [](const auto &info) {
    return std::string(info.param.driver) + "_" + std::to_string(info.index);
});

TEST_F(SignatureFeedReplayTest, APollTakesUpTheNewOfferAndDropsTheWithdrawnSignature)
{
    const std::string first =
        Manifest("first.json",
                 json::array({Signature("tor_exit", Payload("tor_exit", "ip_list", R"(["198.51.100.7"])").dump())}));
    const std::string second = Manifest(
        "second.json", json::array({Signature(
                           "tor_relay", Payload("tor_relay", "ip_port_list", R"({"198.51.100.7": [9001]})").dump())}));
    const json to_relay = {{"upper_addr", "198.51.100.7"}, {"upper_port", 9001}};

    auto replay = StartReplay(Arguments({"--debug", "--signatures", first}));
    ASSERT_TRUE(replay->Write(FlowLine("00000000000000a1", to_relay), DeadlineIn(deadline)));
    ASSERT_TRUE(replay->WaitForOutput("\"digest\":\"00000000000000a1\"", DeadlineIn(deadline))) << replay->Err();

    ASSERT_TRUE(replay->Write("{\"signatures\": \"" + second + "\"}\n{\"poll\": true}\n", DeadlineIn(deadline)));
    // The poll runs on the plug-in's worker between flows: once it has
    // registered the new signature, the next flow meets the new offer.
    ASSERT_TRUE(replay->WaitForError("velbor_api: tor_relay: intelligence signature offered.", DeadlineIn(deadline)))
        << replay->Err();
    ASSERT_TRUE(replay->Write(FlowLine("00000000000000a2", to_relay), DeadlineIn(deadline)));
    ASSERT_TRUE(replay->WaitForOutput("\"digest\":\"00000000000000a2\"", DeadlineIn(deadline))) << replay->Err();
    replay->CloseInput();
    last = replay->Finish(DeadlineIn(deadline));
    ASSERT_EQ(last.exit_status, 0) << last.Describe();

    Findings findings = FindingsOf(last);
    EXPECT_EQ(findings.evaluated, (std::map<std::string, int>{{"00000000000000a1", 1}, {"00000000000000a2", 1}}));
    EXPECT_EQ(findings.by_flow, (std::map<std::string, std::vector<json>>{
                                    {"00000000000000a1", {Found("tor_exit", set_score)}},
                                    {"00000000000000a2", {Found("tor_relay", set_score)}},
                                }));
    EXPECT_NE(last.err.find("velbor_api: tor_exit: intelligence signature withdrawn."), std::string::npos) << last.err;
}

// The lines of text that hold part.
std::vector<std::string> LinesHolding(const std::string &text, const std::string &part)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.find(part) != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

TEST_F(SignatureFeedReplayTest, BrokenDataSetsAreReportedWithTheirPathsWhileTheOthersAnswer)
{
    struct Broken {
        const char *tag;
        const char *content;
        const char *problem;  // in the reason after the path
    };
    const Broken broken[] = {
        {"tor_exit", R"({"data_type": "ip_list", "data": ["198.51.100.7")", "parse error"},
        {"tor_bridge", R"(["198.51.100.7"])", "payload is not an object"},
        {"vpn_protocol", R"({"data_type": "protocol_list", "data": [{"id": 150, "tag": "tunnel"}]})",
         "data[0]: required member not found: label"},
        {"crypto_server", R"({"data_type": "domains", "data": ["pool.example.org"]})",
         "invalid or unsupported data_type"},
    };
    json signatures = json::array(
        {Signature("tor_relay", Payload("tor_relay", "ip_port_list", R"({"198.51.100.7": [9001]})").dump())});
    for (const Broken &set : broken)
        signatures.push_back(Signature(set.tag, set.content));

    // Both flows would match every set; the second finds the broken ones
    // already failed and does not read them again.
    const json members = {{"upper_addr", "198.51.100.7"},
                          {"upper_port", 9001},
                          {"detected_protocol", 150},
                          {"host_server_name", "pool.example.org"}};
    Findings findings = Replay(FlowLine("00000000000000b1", members) + FlowLine("00000000000000b2", members),
                               {"--signatures", Manifest("signatures.json", signatures)});

    EXPECT_EQ(findings.by_flow, (std::map<std::string, std::vector<json>>{
                                    {"00000000000000b1", {Found("tor_relay", set_score)}},
                                    {"00000000000000b2", {Found("tor_relay", set_score)}},
                                }));
    for (const Broken &set : broken) {
        SCOPED_TRACE(set.tag);
        auto lines = LinesHolding(last.err, std::string("velbor_api: ") + set.tag + ": error loading intelligence: " +
                                                dir.Path(std::string("sets/") + set.tag + ".json") + ": ");
        ASSERT_EQ(lines.size(), 1u) << last.err;
        EXPECT_NE(lines[0].find(set.problem), std::string::npos) << lines[0];
    }
}

const char *const legacy_file = R"([
  {"intelligence": {"tag": "tor_exit", "label": "Tor exits", "data_type": "ip_list", "score": 55,
                    "data": ["198.51.100.7"]}},
  {"intelligence": {"tag": "crypto_server", "label": "Mining pools", "data_type": "domain_list", "score": 45,
                    "data": ["pool.example.org"]}}
])";

// Where the legacy file is named and what the host's bootstrap data says.
struct LegacyCase {
    const char *name;
    bool by_data_path;      // the feed's "data_path" names it, else --legacy-intel
    const char *bootstrap;  // the --bootstrap file, when not null
    bool served;
};

const LegacyCase legacy_cases[] = {
    {"no_bootstrap_data", false, nullptr, true},
    {"intel_url", false, R"({"intel": {"urls": {"intel": "https://intel.example.net/v1"}}})", true},
    {"intel_data_without_intel_url", false, R"({"intel": {"urls": {"flow": "https://intel.example.net/flow"}}})",
     false},
    {"intel_data_with_empty_intel_url", false, R"({"intel": {"urls": {"intel": ""}}})", false},
    {"agent_data_only", false, R"({"agent": {"urls": {}}})", false},
    {"feed_data_path", true, nullptr, true},
};

void PrintTo(const LegacyCase &c, std::ostream *out)
{
    *out << c.name;
}

class LegacyReplayTest : public SignatureFeedReplayTest, public ::testing::WithParamInterface<LegacyCase>
{
};

TEST_P(LegacyReplayTest, TheLegacyFileAnswersOnlyWhileServed)
{
    const LegacyCase &c = GetParam();
    const std::string legacy = dir.WriteFile("legacy/intel.json", legacy_file);
    std::vector<std::string> extra;
    if (c.by_data_path) {
        // Host variables are expanded in the path.
        UseConfiguration({{"data_path", "${legacy_dir}/intel.json"}});
        extra = {"--var", "legacy_dir=" + dir.Path("legacy")};
    } else {
        extra = {"--legacy-intel", legacy};
    }
    if (c.bootstrap != nullptr) {
        extra.push_back("--bootstrap");
        extra.push_back(dir.WriteFile("bootstrap.json", c.bootstrap));
    }

    Findings findings =
        Replay(FlowLine("00000000000000c1", {{"upper_addr", "198.51.100.7"}, {"host_server_name", "pool.example.org"}}),
               extra);

    EXPECT_EQ(findings.evaluated["00000000000000c1"], 1) << last.out;
    std::vector<json> expected;
    if (c.served)
        expected = {Found("crypto_server", 45), Found("tor_exit", 55)};
    EXPECT_EQ(json(findings.by_flow["00000000000000c1"]), json(expected)) << last.err;
}

INSTANTIATE_TEST_SUITE_P(Serving, LegacyReplayTest, ::testing::ValuesIn(legacy_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
