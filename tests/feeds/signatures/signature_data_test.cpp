// Data sets read from real signature data files and legacy intelligence
// files: the element rules of each data type, what is skipped, what fails
// the whole set, the header members and the legacy records.
#include <arpa/inet.h>

#include <functional>
#include <string>
#include <vector>

#include "signature_fixture.h"

namespace {

using vppDataFeed::DataType;
using Ports = std::unordered_set<uint16_t>;

std::string Payload(const std::string &type, const std::string &data)
{
    return R"({"tag": "t", "data_type": ")" + type + R"(", "score": 50, "data": )" + data + "}";
}

class SignatureDataTest : public SignatureTest
{
protected:
    // Offers tag with the file content and builds its data set: the new
    // entry, or nullptr when the load failed.
    std::unique_ptr<TagData> BuildFrom(const std::string &content, const std::string &tag = "t")
    {
        Offer({WriteSignature(tag, content)});
        feed = MakeFeed();
        log.Clear();
        return feed->Build(tag, feed->Entry(tag));
    }

    std::string ErrorLine(const std::string &problem, const std::string &tag = "t") const
    {
        return "sig: " + tag + ": error loading intelligence: " + dir.Path(tag + ".dat") + ": " + problem;
    }

    std::unique_ptr<SignatureFeedProbe> feed;
};

// A row of a data-type table: the set's text and either the count the load
// logs with a check of the containers, or the error that fails it.
struct SetCase {
    using Check = std::function<void(const vdfVelborAPI::TagData &)>;

    SetCase(const char *name, std::string data, unsigned count, Check check, std::string error = "")
        : name(name), data(std::move(data)), count(count), check(std::move(check)), error(std::move(error))
    {
    }

    const char *name;
    std::string data;
    unsigned count;
    Check check;
    std::string error;  // not empty: the load fails with this problem
};

class DataTypeTest : public SignatureDataTest
{
protected:
    void Run(const std::string &type, const std::vector<SetCase> &cases)
    {
        for (const SetCase &c : cases) {
            SCOPED_TRACE(c.name);
            auto data = BuildFrom(Payload(type, c.data));
            if (!c.error.empty()) {
                EXPECT_EQ(data, nullptr);
                EXPECT_TRUE(log.Contains(ErrorLine(c.error))) << testing::PrintToString(log.Lines());
                continue;
            }
            ASSERT_NE(data, nullptr) << testing::PrintToString(log.Lines());
            EXPECT_EQ(data->state, vdfVelborAPI::LOADED);
            EXPECT_EQ(data->score, 50u);
            EXPECT_EQ(log.Count("t: loaded " + std::to_string(c.count) + " " +
                                vppDataFeed::Base::GetDataTypeName(data->data_type) + " entries."),
                      1u)
                << testing::PrintToString(log.Lines());
            if (c.check)
                c.check(*data);
        }
    }
};

// The names of a domain set, sorted.
std::vector<std::string> Names(const vdfVelborAPI::DomainSet &set)
{
    std::vector<std::string> names(set.begin(), set.end());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Domains(std::initializer_list<const char *> names)
{
    return std::vector<std::string>(names.begin(), names.end());
}

TEST_F(DataTypeTest, DomainListsTakeStringsAndArraysOfStrings)
{
    std::string numbers = "[0";
    for (int i = 0; i < 100000; i++)
        numbers += ",0";
    numbers += "]";
    Run("domain_list",
        {
            {"strings, arrays and ignored kinds", R"(["a.example", ["b.example", 7], "a.example", {"x": 1}, null])", 3,
             [](auto &d) { EXPECT_EQ(Names(d.domains), Domains({"a.example", "b.example"})); }},
            {"object members", R"({"k1": "A.example", "k2": ["b.example", "c.example"]})", 3,
             [](auto &d) { EXPECT_EQ(Names(d.domains), Domains({"A.example", "b.example", "c.example"})); }},
            {"a lone string", R"("a.example")", 1, [](auto &d) { EXPECT_EQ(Names(d.domains), Domains({"a.example"})); }},
            {"empty", "[]", 0, [](auto &d) { EXPECT_TRUE(d.domains.empty()); }},
            {"a number alone", "42", 0, [](auto &d) { EXPECT_TRUE(d.domains.empty()); }},
            // Memory follows the names held, not the elements read.
            {"numbers only: no name and no table", numbers,
             0, [](auto &d) {
                 EXPECT_TRUE(d.domains.empty());
                 EXPECT_EQ(d.domains.held_bytes(), 0u);
             }},
        });
}

// Whether each address is found in the ip_list trees.
void ExpectPrefixHits(const vdfVelborAPI::TagData &data, const std::vector<std::string> &hits,
                      const std::vector<std::string> &misses)
{
    auto found = [&](const std::string &text) {
        vdAddr addr;
        EXPECT_TRUE(vdAddr::Create(addr, text)) << text;
        if (addr.IsIPv4()) {
            auto &tree = data.ip4;
            return tree.longest_match(vdRadixNetworkEntry<32>::QueryIPv4(addr.GetIPv4())) != tree.end();
        }
        vdRadixNetworkEntry<128> key;
        EXPECT_TRUE(vdRadixNetworkEntry<128>::CreateQuery(key, addr));
        auto &tree = data.ip6;
        return tree.longest_match(key) != tree.end();
    };
    for (const auto &hit : hits)
        EXPECT_TRUE(found(hit)) << hit;
    for (const auto &miss : misses)
        EXPECT_FALSE(found(miss)) << miss;
}

TEST_F(DataTypeTest, IpListsStorePrefixesAndSkipWhatIsNoPrefix)
{
    Run("ip_list",
        {
            {"prefixes, host addresses, bad lengths and words",
             R"(["10.1.2.3/8", "192.0.2.1", "fd00::/8", "10.0.0.0/40", "not an address"])", 3,
             [&](auto &d) {
                 ExpectPrefixHits(d, {"10.200.0.1", "192.0.2.1", "fd00::1"}, {"192.0.2.2", "11.0.0.1", "fe00::1"});
                 EXPECT_EQ(log.Count("Invalid radix address prefix length."), 1u);
             }},
            {"a zero length is the whole address", R"(["0.0.0.0/0", "::/0"])", 2,
             [](auto &d) { ExpectPrefixHits(d, {"0.0.0.0", "::"}, {"1.2.3.4", "::1"}); }},
            {"IPv6 length beyond 128", R"(["fd00::/129", "fd00::/300"])", 0,
             [&](auto &d) {
                 ExpectPrefixHits(d, {}, {"fd00::1"});
                 EXPECT_EQ(log.Count("Invalid radix address prefix length."), 2u);
             }},
            {"malformed lengths and other families", R"(["10.0.0.0/", "10.0.0.0/8x", "10.0.0.0/0008",
              "00:11:22:33:44:55", "", 5])",
             0, [](auto &d) { ExpectPrefixHits(d, {}, {"10.0.0.1"}); }},
            {"duplicates count, arrays contribute", R"(["192.0.2.1", ["192.0.2.1", "2001:db8::/32"]])", 3,
             [](auto &d) { ExpectPrefixHits(d, {"192.0.2.1", "2001:db8:1::1"}, {"192.0.2.2"}); }},
        });
}

// The port set of the longest prefix holding the IPv4 address; nullopt for none.
std::optional<Ports> PortsAt(const vdfVelborAPI::TagData &data, const std::string &text)
{
    vdAddr addr;
    EXPECT_TRUE(vdAddr::Create(addr, text));
    auto &tree = data.ip4_ports;
    auto hit = tree.longest_match(vdRadixNetworkEntry<32>::QueryIPv4(addr.GetIPv4()));
    if (hit == tree.end())
        return std::nullopt;
    return hit->second;
}

TEST_F(DataTypeTest, IpPortListsStorePortsInNetworkOrderAndRefuseBadPorts)
{
    const std::string where = "data.192.0.2.0/24";
    Run("ip_port_list",
        {
            {"ports and a value that lists none", R"({"192.0.2.0/24": [53, 853], "198.51.100.7": "x"})", 2,
             [](auto &d) {
                 EXPECT_EQ(PortsAt(d, "192.0.2.9"), (Ports{htons(53), htons(853)}));
                 EXPECT_EQ(PortsAt(d, "198.51.100.7"), Ports{});
                 EXPECT_EQ(PortsAt(d, "198.51.100.8"), std::nullopt);
             }},
            {"integral floats and the port range's ends", R"({"192.0.2.0/24": [53.0, 0, 65535]})", 1,
             [](auto &d) { EXPECT_EQ(PortsAt(d, "192.0.2.1"), (Ports{htons(53), 0, htons(65535)})); }},
            {"IPv6 keys", R"({"2001:db8::/32": [443]})", 1,
             [](auto &d) {
                 vdAddr addr;
                 vdAddr::Create(addr, "2001:db8::5");
                 vdRadixNetworkEntry<128> key;
                 vdRadixNetworkEntry<128>::CreateQuery(key, addr);
                 auto &tree = d.ip6_ports;
                 auto hit = tree.longest_match(key);
                 ASSERT_NE(hit, tree.end());
                 EXPECT_EQ(hit->second, Ports{htons(443)});
             }},
            {"an array's keys are its indexes", R"(["192.0.2.1"])", 0,
             [](auto &d) { EXPECT_EQ(PortsAt(d, "192.0.2.1"), std::nullopt); }},
            {"a string port", R"({"192.0.2.0/24": [53, "x"]})", 0, nullptr,
             where + "[1]: expected a number, found string"},
            {"a port above 65535", R"({"192.0.2.0/24": [65589]})", 0, nullptr,
             where + "[0]: 65589 does not fit a port (0 to 65535)"},
            {"a negative port", R"({"192.0.2.0/24": [-1]})", 0, nullptr,
             where + "[0]: -1 does not fit a port (0 to 65535)"},
            // Numbers convert as the JSON library converts them.
            {"a fractional port and a boolean one", R"({"192.0.2.0/24": [53.5, true]})", 1,
             [](auto &d) { EXPECT_EQ(PortsAt(d, "192.0.2.1"), (Ports{htons(53), htons(1)})); }},
            // A key given twice keeps its last value, even where the first
            // would fail the set; two texts of one network: the later key wins.
            {"a network given twice", R"({"192.0.2.0/24": ["x"], "192.0.2.0/24": [80], "192.0.2.7/24": [25]})", 2,
             [](auto &d) { EXPECT_EQ(PortsAt(d, "192.0.2.1"), (Ports{htons(25)})); }},
            {"a bad port under a key that is no network is never read", R"({"192.0.2.0/40": ["x"]})", 0,
             [](auto &d) { EXPECT_EQ(PortsAt(d, "192.0.2.1"), std::nullopt); }},
            {"a huge port", R"({"192.0.2.0/24": [1e20]})", 0, nullptr,
             where + "[0]: 1e+20 does not fit a port (0 to 65535)"},
        });
}

TEST_F(DataTypeTest, ApplicationAndProtocolListsConvertEveryElement)
{
    Run("application_list",
        {
            {"a later id replaces an earlier one",
             R"([{"id": 5, "tag": "a", "label": "A"}, {"id": 5.0, "tag": "b", "label": "B", "extra": 1}])", 2,
             [](auto &d) {
                 ASSERT_EQ(d.applications.size(), 1u);
                 EXPECT_EQ(d.applications.at(5).tag, "b");
                 EXPECT_EQ(d.applications.at(5).label, "B");
             }},
            {"object members", R"({"x": {"id": 4294967295, "tag": "a", "label": "A"}})", 1,
             [](auto &d) { EXPECT_EQ(d.applications.count(4294967295u), 1u); }},
            {"a missing label", R"([{"id": 1, "tag": "a", "label": "A"}, {"id": 2, "tag": "b"}])", 0, nullptr,
             "data[1]: required member not found: label"},
            {"an element that is no object", R"(["a"])", 0, nullptr, "data[0]: expected an object, found string"},
            {"an id beyond 32 bits", R"([{"id": 4294967296, "tag": "a", "label": "A"}])", 0, nullptr,
             "data[0].id: 4294967296 does not fit an unsigned 32-bit integer"},
            {"an id of 1e20", R"({"k": {"id": 1e20, "tag": "a", "label": "A"}})", 0, nullptr,
             "data.k.id: 1e+20 does not fit an unsigned 32-bit integer"},
            {"a negative id", R"([{"id": -1, "tag": "a", "label": "A"}])", 0, nullptr,
             "data[0].id: -1 does not fit an unsigned 32-bit integer"},
            {"a tag that is no string", R"([{"id": 1, "tag": 1, "label": "A"}])", 0, nullptr,
             "data[0].tag: expected a string, found number"},
        });
    Run("protocol_list",
        {
            {"protocols by id", R"([{"id": 7, "tag": "http", "label": "HTTP"}, {"id": 91, "tag": "tls", "label": "TLS"}])",
             2, [](auto &d) { EXPECT_EQ(d.protocols.at(91).tag, "tls"); }},
            {"an id that is a string", R"([{"id": "7", "tag": "http", "label": "HTTP"}])", 0, nullptr,
             "data[0].id: expected a number, found string"},
        });
}

TEST_F(DataTypeTest, TlsScoreListsKeyByValue)
{
    for (const char *type : {"tls_cipher_score_list", "tls_version_score_list"}) {
        SCOPED_TRACE(type);
        auto scores = [&](const vdfVelborAPI::TagData &d) -> auto & {
            return std::string(type) == "tls_cipher_score_list" ? d.tls_ciphers : d.tls_versions;
        };
        Run(type, {
                      {"a later value replaces an earlier one",
                       R"([{"value": 771, "score": 10, "label": "a"}, {"value": 771, "score": 20, "label": "b"},
                          {"value": 65535, "score": 4294967295, "label": "c"}])",
                       3,
                       [&](auto &d) {
                           ASSERT_EQ(scores(d).size(), 2u);
                           EXPECT_EQ(scores(d).at(771).score, 20u);
                           EXPECT_EQ(scores(d).at(65535).label, "c");
                       }},
                      {"a value beyond 16 bits", R"([{"value": 65536, "score": 1, "label": "a"}])", 0, nullptr,
                       "data[0].value: 65536 does not fit an unsigned 16-bit integer"},
                      {"a score that is a string", R"([{"value": 1, "score": "1", "label": "a"}])", 0, nullptr,
                       "data[0].score: expected a number, found string"},
                      {"a missing value", R"([{"score": 1, "label": "a"}])", 0, nullptr,
                       "data[0]: required member not found: value"},
                  });
    }
}

TEST_F(DataTypeTest, RiskSetsHoldOneId)
{
    auto risk_is = [](uint32_t expected) { return [expected](auto &d) { EXPECT_EQ(d.risk, expected); }; };
    Run("risk", {
                    {"risk 0 falls back to dpi_risk", R"({"risk": 0, "dpi_risk": 17})", 1, risk_is(17)},
                    {"risk wins", R"({"risk": 5, "dpi_risk": 17})", 1, risk_is(5)},
                    {"neither", R"({"other": 1})", 1, risk_is(0)},
                    {"the largest id", R"({"risk": 4294967295})", 1, risk_is(4294967295u)},
                    {"an array", "[5]", 0, risk_is(0)},
                    {"a negative risk", R"({"risk": -1})", 0, nullptr, "risk: -1 does not fit an unsigned 32-bit integer"},
                    {"a risk beyond 32 bits", R"({"risk": 4294967296})", 0, nullptr,
                     "risk: 4294967296 does not fit an unsigned 32-bit integer"},
                    {"a dpi_risk that is a string", R"({"dpi_risk": "5"})", 0, nullptr,
                     "dpi_risk: expected a number, found string"},
                });
    // The "dpi_risk" spelling of the type loads as risk.
    Run("dpi_risk", {{"dpi_risk type", R"({"risk": 9})", 1, [](auto &d) {
                          EXPECT_EQ(d.data_type, DataType::risk);
                          EXPECT_EQ(d.risk, 9u);
                      }}});
}

TEST_F(SignatureDataTest, HeaderMembers)
{
    struct Case {
        const char *name;
        std::string content;
        std::string error;  // empty: loads
        std::function<void(const TagData &)> check = nullptr;
    };
    const std::string digest = "00112233445566778899aabbccddeeff00112233";
    const std::vector<Case> cases = {
        {"not an object", R"([{"data_type": "domain_list"}])", "payload is not an object"},
        {"no data type", R"({"label": "x", "data": []})", "invalid or unsupported data_type"},
        {"an unknown data type", R"({"data_type": "Domain_List"})", "invalid or unsupported data_type"},
        {"a score that is a string", R"({"data_type": "domain_list", "score": "5"})",
         "score: expected a number, found string"},
        {"a score beyond 32 bits", R"({"data_type": "domain_list", "score": 1e20})",
         "score: 1e+20 does not fit an unsigned 32-bit integer"},
        {"a label that is a number", R"({"data_type": "domain_list", "label": 5})",
         "label: expected a string, found number"},
        {"a sha1 that is a number", R"({"data_type": "domain_list", "sha1": 5})",
         "sha1: expected a string, found number"},
        // Data written by others is read as the JSON library reads it: the
        // last value of a key given twice, numbers converted.
        {"a key given twice", "{\"data_type\": \"domain_list\",\n \"score\": 1, \"score\": 2}", "",
         [](const TagData &d) { EXPECT_EQ(d.score, 2u); }},
        {"a fractional score", R"({"data_type": "domain_list", "score": 50.5})", "",
         [](const TagData &d) { EXPECT_EQ(d.score, 50u); }},
        {"a boolean score", R"({"data_type": "domain_list", "score": true})", "",
         [](const TagData &d) { EXPECT_EQ(d.score, 1u); }},
        {"a negative score", R"({"data_type": "domain_list", "score": -1})", "score: -1 does not fit"},
        // Members in any order: the set is read again once its type is known.
        {"data before its data type", R"({"data": ["a.example", "b.example"], "data_type": "domain_list"})", "",
         [](const TagData &d) { EXPECT_EQ(d.domains.size(), 2u); }},
        {"a data type changed after the data",
         R"({"data_type": "domain_list", "data": ["192.0.2.1"], "data_type": "ip_list"})", "",
         [](const TagData &d) {
             EXPECT_TRUE(d.domains.empty());
             EXPECT_EQ(d.data_type, vppDataFeed::DataType::ip_list);
             EXPECT_EQ(d.ip4.size(), 1u);
         }},
        {"data given twice: the last one", R"({"data_type": "domain_list", "data": ["a.example"], "data": []})", "",
         [](const TagData &d) { EXPECT_TRUE(d.domains.empty()); }},
        {"a set element that fails, then a header member that does: the header's error",
         R"({"data_type": "application_list", "data": [{"id": 1}], "label": 5})",
         "label: expected a string, found number"},
        {"a syntax error", R"({"data_type": )", "[json.exception.parse_error"},
        // A line comment ends at a carriage return too, and what follows it is
        // held to the rules.
        {"nesting behind a comment ended by CR",
         "{\"data_type\": \"domain_list\", \"x\": //\r" + std::string(100000, '[') + std::string(100000, ']') + "\n}",
         "line 1: nested deeper than 64 levels"},
        {"header fields, comments, metadata",
         "// a comment\n{\"tag\": \"t\", \"label\": \"Tor\", \"data_type\": \"domain_list\", /* inline */ \"score\": 7.0,"
         " \"sha1\": \"" + digest + "\", \"id\": 12, \"extra\": [1], \"data\": [\"a.example\"]}",
         "",
         [&](const TagData &d) {
             EXPECT_EQ(d.label, "Tor");
             EXPECT_EQ(d.score, 7u);
             EXPECT_EQ(d.sha1[0], 0x00);
             EXPECT_EQ(d.sha1[1], 0x11);
             EXPECT_EQ(d.sha1[19], 0x33);
             EXPECT_EQ(d.metadata, json::parse(R"({"tag": "t", "label": "Tor", "data_type": "domain_list",
                                                  "score": 7.0, "sha1": ")" + digest + R"(", "extra": [1]})"));
         }},
        {"a digest of the wrong length is ignored", R"({"data_type": "domain_list", "sha1": "0011"})", "",
         [](const TagData &d) { EXPECT_EQ(d.sha1, vdfVelborAPI::Digest{}); }},
        {"a digest that is not hexadecimal is ignored",
         R"({"data_type": "domain_list", "sha1": "zz112233445566778899aabbccddeeff00112233"})", "",
         [](const TagData &d) { EXPECT_EQ(d.sha1, vdfVelborAPI::Digest{}); }},
        {"no data: an empty set, no count line", R"({"data_type": "domain_list"})", "",
         [&](const TagData &d) {
             EXPECT_TRUE(d.domains.empty());
             EXPECT_FALSE(log.Contains("entries."));
         }},
        {"null data: the same", R"({"data_type": "ip_list", "data": null})", "",
         [&](const TagData &) { EXPECT_FALSE(log.Contains("entries.")); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto data = BuildFrom(c.content);
        if (!c.error.empty()) {
            EXPECT_EQ(data, nullptr);
            EXPECT_TRUE(log.Contains(ErrorLine(c.error))) << testing::PrintToString(log.Lines());
            continue;
        }
        ASSERT_NE(data, nullptr) << testing::PrintToString(log.Lines());
        EXPECT_EQ(data->state, vdfVelborAPI::LOADED);
        EXPECT_FALSE(data->legacy);
        if (c.check)
            c.check(*data);
    }
}

TEST_F(SignatureDataTest, APayloadTagOfItsOwnIsLoggedAndLoads)
{
    const std::string content = Payload("domain_list", R"(["a.example", ["b.example", 7], "a.example"])");
    auto same = BuildFrom(content, "t");
    ASSERT_NE(same, nullptr);
    EXPECT_FALSE(log.Contains("payload tag differs"));

    auto other = BuildFrom(content, "t2");
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(log.Contains("sig: t2: payload tag differs: t"));
    EXPECT_EQ(Names(other->domains), Domains({"a.example", "b.example"}));
    EXPECT_TRUE(log.Contains("t2: loaded 3 domain_list entries."));
    EXPECT_EQ(other->score, 50u);
}

TEST_F(SignatureDataTest, FilesThatCannotBeRead)
{
    Offer({WriteSignature("t", Payload("domain_list", "[]"))});
    feed = MakeFeed();
    const std::string path = dir.Path("t.dat");

    std::remove(path.c_str());
    EXPECT_EQ(feed->Build("t", feed->Entry("t")), nullptr);
    EXPECT_TRUE(log.Contains(ErrorLine(path + ": No such file or directory")));

    dir.WriteFile("t.dat/inner", "");
    EXPECT_EQ(feed->Build("t", feed->Entry("t")), nullptr);
    EXPECT_TRUE(log.Contains(ErrorLine(path + ": not a regular file")));

    // An encryption other than "none" is never opened.
    TagData encrypted;
    encrypted.signature = Descriptor("t", "t.dat");
    encrypted.signature.encryption = "aes";
    EXPECT_EQ(feed->Build("t", encrypted), nullptr);
    EXPECT_TRUE(log.Contains(ErrorLine(path + ": unsupported encryption: aes")));
}

// ---- The legacy intelligence file ---------------------------------------------

class LegacyFileTest : public SignatureDataTest
{
protected:
    // The header-only entries the legacy file gives.
    vdfVelborAPI::TagMap Metadata()
    {
        feed = std::make_unique<SignatureFeedProbe>("sig", json::object(), LegacyPath());
        vdfVelborAPI::TagMap out;
        feed->LoadLegacyMetadata(out);
        return out;
    }

    static std::string Record(const std::string &tag, const std::string &type, const std::string &extra = "")
    {
        return R"({"intelligence": {"tag": ")" + tag + R"(", "label": "L", "data_type": ")" + type + "\"" + extra +
               "}}";
    }
};

TEST_F(LegacyFileTest, RecordsOfBothFormsAndThoseSkipped)
{
    const std::string digest = "00112233445566778899aabbccddeeff00112233";
    struct Case {
        const char *name;
        std::string content;
        std::vector<std::string> tags;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"array of records with comments",
         "// legacy\n[" + Record("a", "domain_list") + ", /* two */ " + Record("b", "ip_list") + "]", {"a", "b"}, {}},
        {"object of records", "{\"x\": " + Record("a", "risk") + ", \"y\": " + Record("b", "dpi_risk") + "}",
         {"a", "b"}, {}},
        {"a top-level object holds records, it is none", Record("a", "protocol_list"), {}, {}},
        {"null has no records", "null", {}, {"loaded metadata for 0 intelligence entries."}},
        {"records skipped silently",
         "[1, {}, {\"sha1\": \"" + digest + "\"}, {\"intelligence\": {\"label\": \"x\"}}, " +
             R"({"intelligence": {"tag": ""}}, )" + Record("a", "domain_list") + "]",
         {"a"}, {"loaded metadata for 1 intelligence entries."}},
        {"an unsupported type", "[" + Record("a", "geo") + ", " + Record("b", "domain_list") + "]", {"b"},
         {"sig: a: unsupported legacy data_type."}},
        {"malformed records",
         "[{\"intelligence\": \"a\"}, {\"intelligence\": {\"tag\": 5}}, " + Record("c", "domain_list", ", \"score\": \"x\"") +
             ", " + Record("d", "domain_list") + "]",
         {"d"},
         {LegacyPath() + ": skipping malformed legacy intelligence entry: intelligence: expected an object, found string"},
        },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteLegacy(c.content);
        log.Clear();
        auto out = Metadata();
        std::vector<std::string> tags;
        for (const auto &[name, entry] : out) {
            tags.push_back(name);
            EXPECT_TRUE(entry->legacy);
            EXPECT_EQ(entry->state, vdfVelborAPI::AVAILABLE);
        }
        std::sort(tags.begin(), tags.end());
        EXPECT_EQ(tags, c.tags);
        for (const auto &line : c.lines)
            EXPECT_TRUE(log.Contains(line)) << line << testing::PrintToString(log.Lines());
    }
    EXPECT_EQ(log.Count("skipping malformed legacy intelligence entry"), 3u);
    EXPECT_TRUE(log.Contains("tag: expected a string, found number"));
    EXPECT_TRUE(log.Contains("score: expected a number, found string"));
}

TEST_F(LegacyFileTest, TheLastRecordOfATagGivesBothItsHeaderAndItsData)
{
    const std::string first = "1111111111111111111111111111111111111111";
    const std::string last = "2222222222222222222222222222222222222222";
    WriteLegacy(R"([
        {"intelligence": {"tag": "t", "label": "first", "data_type": "domain_list", "score": 10,
                          "data": ["first.example"]}, "sha1": ")" + first + R"("},
        {"intelligence": {"tag": "t", "label": "last", "data_type": "domain_list", "score": 20,
                          "sha1": ")" + first + R"(", "data": ["last.example"], "id": 3}, "sha1": ")" + last + R"("},
        {"intelligence": {"tag": "t", "data_type": "nonsense", "data": ["skipped.example"]}}
    ])");
    auto out = Metadata();
    ASSERT_EQ(out.count("t"), 1u);
    const TagData &header = *out.at("t");
    EXPECT_EQ(header.label, "last");
    EXPECT_EQ(header.score, 20u);
    EXPECT_EQ(header.sha1[0], 0x22);
    // The digest inside "intelligence" stays metadata only.
    EXPECT_EQ(header.metadata, json::parse(R"({"tag": "t", "label": "last", "data_type": "domain_list",
                                              "score": 20, "sha1": ")" + first + R"("})"));

    auto built = feed->Build("t", header);
    ASSERT_NE(built, nullptr) << testing::PrintToString(log.Lines());
    EXPECT_TRUE(built->legacy);
    EXPECT_EQ(built->label, "last");
    EXPECT_EQ(built->score, 20u);
    EXPECT_EQ(Names(built->domains), Domains({"last.example"}));
}

TEST_F(LegacyFileTest, RecordsInAnyOrderOfMembersGiveTheSetTheirHeaderChose)
{
    struct Case {
        const char *name;
        std::string content;
        std::vector<std::string> names;  // of tag "t"; empty: the load fails
        std::string error = "";
    };
    auto record = [](const std::string &members) { return "{\"intelligence\": {" + members + "}}"; };
    const std::string type = R"("data_type": "domain_list")";
    const std::vector<Case> cases = {
        {"data before its tag", "[" + record(R"("data": ["a.example"], "tag": "t", )" + type) + "]", {"a.example"}},
        {"a tag given again after the data",
         "[" + record(R"("tag": "u", "data": ["a.example"], "tag": "t", )" + type) + ", " +
             record(R"("tag": "t", "data": ["b.example"], "tag": "u", )" + type) + "]",
         {"a.example"}},
        {"records of an object: the last usable in key order",
         "{\"b\": " + record(R"("tag": "t", "data": ["b.example"], )" + type) + ", \"a\": " +
             record(R"("tag": "t", "data": ["a.example"], )" + type) + "}",
         {"b.example"}},
        {"a record key given twice keeps its last record",
         "{\"a\": " + record(R"("tag": "t", "data": ["first.example"], )" + type) + ", \"a\": " +
             record(R"("tag": "t", "data": ["second.example"], )" + type) + "}",
         {"second.example"}},
        {"a repeated key elsewhere drops nothing",
         "[" + record(R"("tag": "u", "label": "x", "label": "y", )" + type) + ", " +
             record(R"("tag": "t", "data": ["a.example"], )" + type) + "]",
         {"a.example"}},
        {"nesting behind a comment ended by CR",
         "[" + record(R"("tag": "t", "data": ["a.example"], "x": //)" "\r" + std::string(100, '[') +
                      std::string(100, ']') + "\n, " + type) + "]",
         {}, "line 1: nested deeper than 64 levels"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteLegacy(c.content);
        log.Clear();
        TagData header;
        header.legacy = true;
        header.data_type = vppDataFeed::DataType::domain_list;
        auto metadata = Metadata();
        auto built = feed->Build("t", metadata.count("t") ? *metadata.at("t") : header);
        if (c.names.empty()) {
            EXPECT_EQ(built, nullptr);
            EXPECT_TRUE(log.Contains(c.error)) << testing::PrintToString(log.Lines());
            continue;
        }
        ASSERT_NE(built, nullptr) << testing::PrintToString(log.Lines());
        EXPECT_EQ(Names(built->domains), c.names);
    }
}

TEST_F(LegacyFileTest, BuildFailuresNameTheLegacyFile)
{
    WriteLegacy("[" + Record("a", "domain_list", R"(, "data": [1, "a.example"])") + "]");
    auto out = Metadata();
    ASSERT_EQ(out.count("a"), 1u);
    auto built = feed->Build("a", *out.at("a"));
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(Names(built->domains), Domains({"a.example"}));

    const std::string prefix = "sig: b: error loading intelligence: " + LegacyPath() + ": ";
    TagData unknown;
    unknown.legacy = true;
    EXPECT_EQ(feed->Build("b", unknown), nullptr);
    EXPECT_TRUE(log.Contains(prefix + "not found"));

    std::remove(LegacyPath().c_str());
    EXPECT_EQ(feed->Build("b", unknown), nullptr);
    EXPECT_TRUE(log.Contains(prefix + LegacyPath() + ": No such file or directory"));
}

TEST_F(LegacyFileTest, AFileThatCannotBeReadIsRetriedOnlyWhenPresent)
{
    // Missing: a debug line, no retry time (the poll watches for the file).
    auto out = Metadata();
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(feed->legacy_missing);
    EXPECT_EQ(feed->legacy_retry_at, 0);
    EXPECT_TRUE(log.Contains("sig: legacy intelligence not loaded: " + LegacyPath() + ": No such file"));
    EXPECT_FALSE(log.Contains("loaded metadata"));

    // Present but broken: an operational line and a retry 300 s ahead.
    WriteLegacy("[");
    log.Clear();
    out = Metadata();
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(feed->legacy_missing);
    EXPECT_GE(feed->legacy_retry_at, vd_time_monotonic() + 299);
    auto lines = log.Lines(vdLogLevel::operational);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("sig: legacy intelligence not loaded: " + LegacyPath() + ": [json.exception"),
              std::string::npos);
}

}  // namespace
