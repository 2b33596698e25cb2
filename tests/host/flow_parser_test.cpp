// The flow-expression evaluator: its language, its cache and its limits.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/error_text.h"
#include "support/flow_builder.h"
#include "vd_flow_expr_compiler.h"
#include "vd_flow_expr_steps.h"
#include "velbord.h"

namespace {

// An outbound TLS flow from a LAN host.
vdFlow::Ptr MakeTLSFlow()
{
    return FlowBuilder()
        .Lower("192.168.1.10", 51000)
        .Upper("203.0.113.5", 443)
        .LowerMAC("00:11:22:33:44:55")
        .UpperMAC("aa:bb:cc:dd:ee:ff")
        .Set([](vdFlow &f) {
            f.ip_protocol = 6;
            f.detected_protocol = vdProto::TLS;
            f.host_server_name = "www.example.com";
            f.detected_application_name = "\xc3\xa9t\xc3\xa9";
            f.user_agent = R"(it's "q" \)";
            f.ip_nat = true;
            f.digest = std::numeric_limits<uint64_t>::max();
            f.stats.total_bytes = 12345;
            f.iface = std::make_shared<vdInterface>(vdInterface{"eth0", vdInterface::lan});
        })
        .Build();
}

// The text of the error evaluating the expression throws; nullopt when it evaluates.
std::optional<std::string> ParseError(vdFlowParser &parser, const vdFlow::Ptr &flow, const std::string &expression,
                                      const vdFlowParser::Variables &variables = {})
{
    bool evaluated = false;
    std::string error = ErrorText([&] {
        parser.Parse(flow, variables, expression);
        evaluated = true;
    });
    if (evaluated)
        return std::nullopt;
    return error;
}

// Whether evaluating the expression throws with a message that contains fragment.
::testing::AssertionResult FailsWith(vdFlowParser &parser, const vdFlow::Ptr &flow, const std::string &expression,
                                     const std::string &fragment, const vdFlowParser::Variables &variables = {})
{
    std::optional<std::string> error = ParseError(parser, flow, expression, variables);
    if (!error)
        return ::testing::AssertionFailure() << "no error";
    if (error->find(fragment) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message: " << *error;
}

std::string ErrorOf(vdFlowParser &parser, const vdFlow::Ptr &flow, const std::string &expression)
{
    return ParseError(parser, flow, expression).value_or("(no error)");
}

struct MatchCase {
    const char *expression;
    bool matches;
};

}  // namespace

TEST(FlowParser, EvaluatesTheLanguage)
{
    const MatchCase cases[] = {
        {"ip_protocol == 6", true},
        {"ip_protocol != 6", false},
        {"ip_protocol < 6", false},
        {"ip_protocol <= 6 && ip_protocol >= 6", true},
        {"ip_protocol > 5", true},
        {"ip_protocol == 6 && local_port == 51000 && other_port == 443", true},
        {"local_port == 443", false},
        {"ip_protocol == 17 || other_port == 443", true},
        // "&&" binds tighter than "||", "!" tighter than comparisons.
        {"ip_protocol == 6 || ip_protocol == 17 && other_port == 80", true},
        {"!ip_protocol == false", true},
        {"!(ip_protocol == 17)", true},
        {"(((ip_protocol == 6)))", true},
        // Short-circuiting skips names that nothing defines.
        {"ip_protocol == 17 && undefined_name == 1", false},
        {"ip_protocol == 6 || undefined_name", true},
        {"master_protocol == 91", true},
        {"total_bytes >= 12345", true},
        {"digest == 18446744073709551615", true},
        {"iface_role == 1 && ifname == 'eth0'", true},
        {"host_server_name == 'www.example.com'", true},
        {"host_server_name == \"www.example.com\"", true},
        {"host_server_name > 'www.a' && host_server_name < 'www.z'", true},
        {R"(user_agent == 'it\'s "q" \\')", true},
        {R"(user_agent == "it's \"q\" \\")", true},
        // Bytes compare unsigned: UTF-8 sorts after ASCII.
        {"detected_application_name > 'z'", true},
        {"host_server_name", true},
        {"dns_host_name", false},
        {"!dns_host_name", true},
        {"ip_nat && ip_nat == true && ip_nat != false", true},
        {"detection_guessed", false},
        {"!stun_mapped && local_ip", true},
        {"other_ip == 203.0.113.5", true},
        {"other_ip == 203.0.113.6", false},
        {"other_ip == 203.0.113.0/24 && local_ip != 10.0.0.0/8", true},
        {"other_ip == 198.51.100.0/24", false},
        {"local_mac == 00:11:22:33:44:55 && other_mac != 00:11:22:33:44:55", true},
        {"local_mac == AA:BB:CC:DD:EE:FF", false},
    };
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        EXPECT_EQ(parser.Parse(flow, {}, c.expression), c.matches);
        EXPECT_EQ(parser.Parse(*flow, {}, c.expression), c.matches) << "when cached";
    }
}

TEST(FlowParser, RejectsBadExpressionsWithWhatAndWhere)
{
    struct ErrorCase {
        std::string expression;
        const char *message;
    };
    const ErrorCase cases[] = {
        {"", "empty expression"},
        {" \t", "empty expression"},
        {"ip_protocol ==", "expected a name, a literal, '!' or '(', found the end at offset 14"},
        {"ip_protocol = 6", "'=' is no operator (use '==') at offset 12"},
        {"ip_protocol == 6 & ip_nat", "'&' is no operator (use '&&') at offset 17"},
        {"ip_protocol == 6 | ip_nat", "'|' is no operator (use '||') at offset 17"},
        {"(ip_protocol == 6", "expected ')' to close the '(' at offset 0, found the end at offset 17"},
        {"ip_protocol == 6)", "expected an operator or the end, found ')' at offset 16"},
        {"ip_protocol == 6 6", "found '6' at offset 17"},
        {"ip_nat == ip_nat == ip_nat", "found '==' at offset 17"},
        {"ip_protocol == 6 # comment", "unexpected '#' at offset 17"},
        {"ip_protocol == \x01", "unexpected byte 0x01 at offset 15"},
        {"ip_protocol == 1.5", "bad literal '1.5'"},
        {"ip_protocol == 6x", "bad literal '6x'"},
        {"ip_protocol == 18446744073709551616", "number '18446744073709551616' is out of range"},
        {"host_server_name == 'abc", "unterminated string at offset 20"},
        {R"(host_server_name == 'a\nb')", "unknown escape '\\n' in string at offset 22"},
        {"local_ip == 10.0.0.0/33", "bad prefix length '33' (IPv4 allows 0-32)"},
        {"local_ip == 2001:db8::/129", "bad prefix length '129' (IPv6 allows 0-128)"},
        {"local_ip == 10.0.0.0/", "bad prefix length ''"},
        {"local_mac == 00:11:22:33:44:55/8", "a MAC address takes no prefix length"},
        {"undefined_name", "unknown name 'undefined_name' (neither a flow field nor a variable) at offset 0"},
        {"dns_host_name == 5", "cannot compare string with number in 'dns_host_name == 5' at offset 14"},
        // Types known before evaluation fail even where short-circuiting would skip.
        {"ip_protocol == 6 || dns_host_name == 5", "cannot compare string with number"},
        {"local_mac == 10.0.0.1", "cannot compare MAC address with address"},
        {"ip_nat == 1", "cannot compare bool with number"},
        {"(ip_protocol == 6) == 1", "cannot compare bool with number"},
        {"local_ip < 10.0.0.1", "operator '<' does not apply to address values"},
        {"ip_nat >= true", "operator '>=' does not apply to bool values"},
        {"local_ip > undefined_name", "operator '>' does not apply to address values"},
    };
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        EXPECT_TRUE(FailsWith(parser, flow, c.expression, c.message));
    }
    EXPECT_TRUE(FailsWith(parser, nullptr, "ip_nat", "no flow"));
}

TEST(FlowParser, StaysUsableAfterErrors)
{
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    ASSERT_TRUE(parser.Parse(flow, {}, "ip_protocol == 6"));
    const std::string compiled = ErrorOf(parser, flow, "ip_protocol == (6");
    EXPECT_NE(compiled.find("expected ')'"), std::string::npos) << compiled;
    EXPECT_EQ(ErrorOf(parser, flow, "ip_protocol == (6"), compiled) << "the cached error";
    EXPECT_TRUE(parser.Parse(flow, {}, "ip_protocol == 6"));
    EXPECT_FALSE(parser.Parse(flow, {}, "ip_protocol == 17"));
}

TEST(FlowParser, KeepsNestingAndLengthBounded)
{
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    auto nested = [](const std::string &open, size_t depth) {
        std::string text;
        for (size_t i = 0; i < depth; i++)
            text += open;
        text += "ip_nat";
        if (open == "(")
            text += std::string(depth, ')');
        return text;
    };
    EXPECT_TRUE(parser.Parse(flow, {}, nested("(", 256)));
    EXPECT_TRUE(parser.Parse(flow, {}, nested("!!", 128)));
    EXPECT_TRUE(FailsWith(parser, flow, nested("(", 257), "nesting deeper than 256 levels at offset 256"));
    EXPECT_TRUE(FailsWith(parser, flow, nested("!", 60000), "nesting deeper"));

    // A long flat chain is within the depth limit and must evaluate without deep recursion.
    std::string chain = "ip_nat";
    while (chain.size() + 10 <= 64 * 1024)
        chain += " && ip_nat";
    EXPECT_TRUE(parser.Parse(flow, {}, chain));
    EXPECT_TRUE(FailsWith(parser, flow, std::string(64 * 1024 + 1, ' '), "65537 bytes long (limit 65536)"));
}

TEST(FlowParser, VariablesComeBeforeFieldsAndAreTypedLikeLiterals)
{
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    const vdFlowParser::Variables variables = {
        {"ip_protocol", "17"},
        {"count", "42"},
        {"enabled", "true"},
        {"network", "203.0.113.0/24"},
        {"word", "hello"},
        {"gateway", "00:11:22:33:44:55"},
        {"big", "18446744073709551616"},
        {"bad_network", "10.0.0.0/40"},
    };
    EXPECT_TRUE(parser.Parse(flow, variables, "ip_protocol == 17"));
    EXPECT_FALSE(parser.Parse(flow, {}, "ip_protocol == 17"));
    EXPECT_TRUE(parser.Parse(
        flow, variables, "count == 42 && enabled && other_ip == network && word == 'hello' && local_mac == gateway"));
    EXPECT_FALSE(parser.Parse(flow, variables, "local_ip == network"));

    // Names that only variables give are typed and found at evaluation.
    const std::string expression = "late == 1";
    EXPECT_TRUE(FailsWith(parser, flow, expression, "unknown name 'late'"));
    EXPECT_TRUE(parser.Parse(flow, {{"late", "1"}}, expression));
    EXPECT_TRUE(FailsWith(parser, flow, expression, "cannot compare string with number", {{"late", "one"}}));
    EXPECT_TRUE(FailsWith(parser, flow, "word < 5", "cannot compare string with number", variables));
    EXPECT_TRUE(FailsWith(parser, flow, "big == 1", "variable 'big': number", variables));
    EXPECT_TRUE(FailsWith(parser, flow, "bad_network == local_ip", "bad prefix length '40'", variables));
    // A variable overriding a field with another type fails when compared.
    EXPECT_TRUE(FailsWith(parser, flow, "ip_protocol == 6", "cannot compare", {{"ip_protocol", "tcp"}}));
}

TEST(FlowParser, TestsPrefixMembershipForBothFamilies)
{
    struct PrefixCase {
        const char *address;
        const char *network;
        bool member;
    };
    const PrefixCase cases[] = {
        {"10.1.2.3", "10.0.0.0/8", true},
        {"11.1.2.3", "10.0.0.0/8", false},
        {"10.1.2.3", "10.1.2.2/31", true},
        {"10.1.2.4", "10.1.2.2/31", false},
        {"10.1.2.3", "10.1.2.3/32", true},
        {"10.1.2.3", "0.0.0.0/0", true},
        {"10.1.2.3", "::/0", false},
        {"10.1.2.3", "10.1.2.3", true},  // exact, the port aside
        {"10.1.2.3", "10.1.2.4", false},
        {"2001:db8::1", "2001:db8::/32", true},
        {"2001:db9::1", "2001:db8::/32", false},
        {"2001:db8:0:0:8000::1", "2001:db8::/64", true},
        {"2001:db8:0:0:8000::1", "2001:db8::/65", false},
        {"2001:db8::1", "2001:db8::1/128", true},
        {"2001:db8::1", "::/0", true},
        {"2001:db8::1", "0.0.0.0/0", false},
        {"::ffff:10.1.2.3", "10.0.0.0/8", false},
        {"2001:db8::1", "2001:DB8:0::1", true},
    };
    vdFlowParser parser;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.address) + " in " + c.network);
        auto flow = FlowBuilder().Lower(c.address, 5353).Build();
        EXPECT_EQ(parser.Parse(flow, {}, std::string("lower_addr == ") + c.network), c.member);
        EXPECT_EQ(parser.Parse(flow, {}, std::string("lower_addr != ") + c.network), !c.member);
        EXPECT_EQ(parser.Parse(flow, {{"net", c.network}}, "lower_addr == net"), c.member) << "from a variable";
    }
}

TEST(FlowParser, ResolvesLocalAndOtherByLowerMap)
{
    struct MapCase {
        uint8_t lower_map;
        bool lower_is_local;
    };
    const MapCase cases[] = {{0, true}, {1, true}, {2, false}};
    vdFlowParser parser;
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.lower_map));
        auto flow = MakeTLSFlow();
        flow->lower_map = c.lower_map;
        EXPECT_EQ(parser.Parse(flow, {},
                               "local_ip == 192.168.1.10 && local_port == 51000 && "
                               "other_ip == 203.0.113.5 && other_port == 443 && "
                               "local_mac == 00:11:22:33:44:55 && other_mac == aa:bb:cc:dd:ee:ff"),
                  c.lower_is_local);
        EXPECT_EQ(parser.Parse(flow, {},
                               "local_ip == 203.0.113.5 && local_port == 443 && "
                               "other_ip == 192.168.1.10 && other_port == 51000 && "
                               "local_mac == aa:bb:cc:dd:ee:ff && other_mac == 00:11:22:33:44:55"),
                  !c.lower_is_local);
    }
}

TEST(FlowParser, EvaluatesFromManyThreads)
{
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    constexpr int thread_count = 8;
    constexpr int round_count = 300;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; t++) {
        threads.emplace_back([&, t] {
            try {
                for (int round = 0; round < round_count; round++) {
                    // Shared texts race to be compiled first; own texts keep inserting.
                    std::string own = "other_port == " + std::to_string(t * round_count + round);
                    bool ok = parser.Parse(flow, {}, "ip_protocol == 6 && other_ip == 203.0.113.0/24") &&
                              parser.Parse(flow, {{"port", "443"}}, "other_port == port") &&
                              parser.Parse(flow, {}, own) == (t * round_count + round == 443) &&
                              FailsWith(parser, flow, "ip_protocol ==", "found the end");
                    if (!ok)
                        wrong++;
                }
            } catch (...) {
                wrong++;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(FlowParser, CompiledProgramsMatchLikeTheText)
{
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    const MatchCase cases[] = {
        {"ip_protocol == 6 && other_port == 443", true},
        {"other_ip == 203.0.113.0/24 && !ip_nat", false},
        {"other_port == port", true},
    };
    const vdFlowParser::Variables variables{{"port", "443"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        vdFlowParser::Handle program = parser.Compile(c.expression);
        ASSERT_TRUE(program);
        EXPECT_EQ(vdFlowParser::Evaluate(*program, *flow, variables), c.matches);
        EXPECT_EQ(parser.Parse(flow, variables, c.expression), c.matches);
    }

    // A bad expression fails to compile with the message evaluating it gives.
    std::string compile_error = ErrorText([&] { parser.Compile("ip_protocol =="); });
    EXPECT_EQ(compile_error, ErrorOf(parser, flow, "ip_protocol =="));
    EXPECT_NE(compile_error.find("found the end"), std::string::npos);
}

// A caller that says which variables it will pass learns of every other
// name before any flow, wherever the name stands; a caller that does not
// keeps finding it at evaluation.
TEST(FlowParser, ChecksNamesAgainstTheVariablesTheCallerWillPass)
{
    struct NameCase {
        std::string expression;
        vdFlowParser::VariableNames variables;
        std::string error;  // "" when the names are all known
    };
    auto unknown = [](const std::string &name, size_t offset) {
        return "flow expression: unknown name '" + name + "' (neither a flow field nor a variable) at offset " +
               std::to_string(offset);
    };
    const std::vector<NameCase> cases = {
        {"ip_protocl == 6", {}, unknown("ip_protocl", 0)},
        {"ip_protocol == 6 || ip_protocl == 17", {}, unknown("ip_protocl", 20)},
        {"ip_protocol == 17 && !(other_port == porte)", {}, unknown("porte", 37)},
        {"first && second", {"second"}, unknown("first", 0)},
        {"first && second", {"first"}, unknown("second", 9)},
        {"first && second", {"first", "second"}, ""},
        {"ip_protocol == 6 && other_port == 443 && ifname == 'eth0'", {}, ""},
        {"ip_protocol == 6", {"ip_protocol"}, ""},
        // A compile error comes first, as it would at evaluation.
        {"typo == (6", {}, "expected ')' to close the '(' at offset 8, found the end at offset 10"},
    };
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        const std::string checked = parser.Check(c.expression, c.variables);
        const std::string compiled = ErrorText([&] { parser.Compile(c.expression, c.variables); });
        EXPECT_EQ(compiled, checked);
        if (c.error.empty()) {
            EXPECT_EQ(checked, "");
            continue;
        }
        EXPECT_NE(checked.find(c.error), std::string::npos) << checked;
        // Without the set, only a compile error is found before a flow.
        const bool compiles = parser.Check(c.expression).empty();
        EXPECT_EQ(compiles, c.error.starts_with("flow expression: unknown name")) << checked;
    }

    // An unknown name, once evaluated, fails with the message the check gave.
    EXPECT_EQ(ErrorOf(parser, flow, "ip_protocl == 6"), parser.Check("ip_protocl == 6", {}));
    // Unevaluated, it hides: what the check is there to catch.
    EXPECT_TRUE(parser.Parse(flow, {}, "ip_protocol == 6 || ip_protocl == 17"));
}

namespace {

// The TLS flow with a 16-bit, a 32-bit and an IPv6 field set as well.
vdFlow::Ptr MakeWideFlow()
{
    auto flow = MakeTLSFlow();
    flow->vlan_id = 4094;
    flow->detected_application = 0x80000001;
    vdAddr::Create(flow->stun_peer, "2001:db8:0:0:8000::1");
    return flow;
}

// The three ways to evaluate one text: by text, compiled, and the tree alone.
struct Answers {
    std::string text, compiled, tree;
};

std::string Outcome(const std::function<bool()> &evaluate)
{
    bool matched = false;
    std::string error = ErrorText([&] { matched = evaluate(); });
    return error.empty() ? (matched ? "true" : "false") : error;
}

Answers EvaluateThreeWays(const vdFlow &flow, const std::string &expression,
                          const vdFlowParser::Variables &variables = {})
{
    vdFlowParser parser;
    Answers answers;
    answers.text = Outcome([&] { return parser.Parse(flow, variables, expression); });
    answers.compiled = Outcome([&] { return vdFlowParser::Evaluate(*parser.Compile(expression), flow, variables); });
    answers.tree = Outcome([&] {
        vd_flow_expr::EvalContext context{flow, variables, {}};
        return vd_flow_expr::Compile(expression)->Test(context);
    });
    return answers;
}

}  // namespace

// Every operator on every kind of typed test, at the edges where a wrong
// width, a wrong mirror of the operands or a wrong mask would show.
TEST(FlowParser, TypedTestsAnswerEveryOperatorAndType)
{
    const MatchCase cases[] = {
        // An 8-bit field: 262 is 6 modulo 256.
        {"ip_protocol == 6", true},
        {"ip_protocol != 6", false},
        {"ip_protocol < 7 && !(ip_protocol < 6)", true},
        {"ip_protocol <= 6 && !(ip_protocol <= 5)", true},
        {"ip_protocol > 5 && !(ip_protocol > 6)", true},
        {"ip_protocol >= 6 && !(ip_protocol >= 7)", true},
        {"ip_protocol == 262", false},
        {"ip_protocol < 262", true},
        {"ip_protocol < 0 || ip_protocol > 18446744073709551615", false},
        {"ip_protocol >= 0 && ip_protocol <= 18446744073709551615", true},
        // 16, 32 and 64 bits.
        {"vlan_id == 4094 && vlan_id != 69630", true},
        {"detected_application == 2147483649 && detected_application != 6442450945", true},
        {"detected_application > 2147483648", true},
        {"digest == 18446744073709551615 && digest > 18446744073709551614 && digest >= 18446744073709551615", true},
        {"digest < 18446744073709551615 || digest > 18446744073709551615", false},
        {"dpi_risk_score || !vlan_id", false},
        // A literal on the left mirrors the operator.
        {"7 > ip_protocol && 6 >= ip_protocol && 6 <= ip_protocol && 5 < ip_protocol && 6 == ip_protocol", true},
        {"6 < ip_protocol || 7 <= ip_protocol || 5 >= ip_protocol || 6 != ip_protocol", false},
        {"other_port == 443 && local_port == 51000 && lower_port >= 51000 && upper_port <= 443", true},
        // Bools, conditions against bools, and literals alone.
        {"ip_nat == true && ip_nat != false && true == ip_nat && false != ip_nat", true},
        {"ip_nat == false || ip_nat != true || detection_guessed == true", false},
        {"(ip_protocol == 6) == false || true == !(ip_protocol == 6)", false},
        {"(ip_protocol == 6 || ip_nat) != true", false},
        {"1 < 2 && 'a' < 'b' && 10.0.0.1 == 10.0.0.0/8 && true && 1 && 'x'", true},
        {"0 || '' || false || 1 > 2", false},
        // Strings, as unsigned bytes.
        {"host_server_name == 'www.example.com' && host_server_name != 'www.example.co'", true},
        {"host_server_name < 'www.example.com' || host_server_name > 'www.example.com'", false},
        {"host_server_name <= 'www.example.com' && host_server_name >= 'www.example.com'", true},
        {"host_server_name > 'www.example.co' && host_server_name < 'www.example.com.'", true},
        {"'www.f' > host_server_name && 'www.example.com' == host_server_name && '' != host_server_name", true},
        {"dns_host_name == '' && dns_host_name < 'a' && dns_host_name <= ''", true},
        {"detected_application_name > 'z' && detected_application_name < '\xc3\xaa'", true},
        {"ifname == 'eth0' && ifname < 'eth1'", true},
        // IPv4 addresses and networks, in either order.
        {"other_ip == 203.0.113.5 && other_ip != 203.0.113.4", true},
        {"other_ip == 203.0.113.4/31 && other_ip == 203.0.112.0/23 && other_ip == 203.0.113.5/24", true},
        {"other_ip == 203.0.113.6/31 || other_ip == 203.0.113.4/32 || other_ip == ::/0", false},
        {"203.0.113.0/24 == other_ip && 0.0.0.0/0 == other_ip && 203.0.113.5/32 == other_ip", true},
        {"203.0.113.0/24 != other_ip || local_ip != 192.168.1.10", false},
        // IPv6 addresses and networks, across byte boundaries.
        {"stun_peer == 2001:db8::/64 && stun_peer == 2001:db8:0:0:8000::/65 && stun_peer == ::/0", true},
        {"stun_peer == 2001:db8::/65 || stun_peer == 2001:db8:0:0:8000::2/127 || stun_peer == 0.0.0.0/0", false},
        {"stun_peer == 2001:db8:0:0:8000::/127 && stun_peer == 2001:db8:0:0:8000::1/128", true},
        {"stun_peer == 2001:db8:0:0:8000::3/128 || stun_peer == ::ffff:203.0.113.5", false},
        {"stun_peer == 2001:DB8:0:0:8000:0:0:1 && stun_peer && !stun_mapped", true},
        // MAC addresses.
        {"local_mac == 00:11:22:33:44:55 && 00:11:22:33:44:55 == lower_mac && upper_mac != aa:bb:cc:dd:ee:fe", true},
        // Names nothing defines, skipped by short-circuiting.
        {"ip_protocol == 7 && missing == 1", false},
        {"ip_protocol == 6 || missing", true},
    };
    auto flow = MakeWideFlow();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        Answers answers = EvaluateThreeWays(*flow, c.expression);
        const char *expected = c.matches ? "true" : "false";
        EXPECT_EQ(answers.text, expected);
        EXPECT_EQ(answers.compiled, expected);
        EXPECT_EQ(answers.tree, expected);
    }
}

// Errors that only evaluation finds come the same, at the same place, from
// every path; a variable that takes a field's place is always honoured.
TEST(FlowParser, TypedTestsFailAndDeferToVariablesLikeTheTree)
{
    struct VariableCase {
        const char *expression;
        vdFlowParser::Variables variables;
        const char *outcome;  // "true", "false" or the whole message
    };
    const VariableCase cases[] = {
        {"missing == 1", {}, "flow expression: unknown name 'missing' (neither a flow field nor a variable) at offset 0"},
        {"ip_protocol == missing", {}, "unknown name 'missing' (neither a flow field nor a variable) at offset 15"},
        {"ip_protocol == 6 && !missing", {{"other", "1"}}, "unknown name 'missing'"},
        {"(missing == 1) == true", {}, "unknown name 'missing' (neither a flow field nor a variable) at offset 1"},
        {"ip_protocol == 7 || missing", {}, "unknown name 'missing'"},
        {"ip_protocol == -1", {}, "flow expression: unexpected '-' at offset 15"},
        // Variables are unsigned decimals, or else strings.
        {"ip_protocol == v", {{"v", "-1"}}, "cannot compare number with string in 'ip_protocol == v' at offset 12"},
        {"ip_protocol == v", {{"v", "6"}}, "true"},
        {"ip_protocol == 6", {{"ip_protocol", "17"}}, "false"},
        {"ip_protocol == 6", {{"ip_proto", "17"}}, "true"},
        {"other_ip == 203.0.113.0/24", {{"other_ip", "198.51.100.1"}}, "false"},
        {"host_server_name == 'www.example.com'", {{"host_server_name", "x"}}, "false"},
        {"ip_nat", {{"ip_nat", "false"}}, "false"},
        {"ip_nat", {{"ip_nat", "tcp"}}, "true"},
        {"ip_nat == true", {{"ip_nat", "tcp"}}, "cannot compare string with bool"},
        {"missing == 1", {{"missing", "1"}}, "true"},
    };
    auto flow = MakeWideFlow();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        Answers answers = EvaluateThreeWays(*flow, c.expression, c.variables);
        EXPECT_NE(answers.tree.find(c.outcome), std::string::npos) << answers.tree;
        EXPECT_EQ(answers.text, answers.tree);
        EXPECT_EQ(answers.compiled, answers.tree);
    }
}

namespace {

// Literals for a member of the type, each valid against it.
std::vector<std::string> LiteralsFor(vd_flow_expr::Type type)
{
    switch (type) {
    case vd_flow_expr::Type::number:
        return {"0", "1", "6", "443", "4094", "51000", "65535", "65536", "2147483649", "4294967296",
                "18446744073709551615"};
    case vd_flow_expr::Type::string:
        return {"''", "'eth0'", "'www.example.com'", "'www.f'", "'\xc3\xa9t\xc3\xa9'"};
    case vd_flow_expr::Type::boolean:
        return {"true", "false"};
    case vd_flow_expr::Type::address:
        return {"203.0.113.5", "203.0.113.0/24", "192.168.1.10", "0.0.0.0/0", "::/0", "2001:db8::/64",
                "2001:db8:0:0:8000::1", "2001:db8::1/127"};
    case vd_flow_expr::Type::mac:
        return {"00:11:22:33:44:55", "aa:bb:cc:dd:ee:ff", "00:00:00:00:00:00"};
    }
    return {};
}

// Every expression of one member against one literal the language allows,
// with the literal on either side, and the member as a condition.
std::vector<std::string> ExpressionsFor(const vd_flow_expr::Member &member)
{
    const std::string name(member.name);
    std::vector<std::string> expressions = {name, "!" + name};
    bool ordered = member.type == vd_flow_expr::Type::number || member.type == vd_flow_expr::Type::string;
    for (const std::string &literal : LiteralsFor(member.type)) {
        for (const char *op : {"==", "!=", "<", "<=", ">", ">="}) {
            if (!ordered && op != std::string("==") && op != std::string("!="))
                continue;
            expressions.push_back(name + " " + op + " " + literal);
            expressions.push_back(literal + " " + op + " " + name);
        }
    }
    return expressions;
}

}  // namespace

// Every member through the typed steps against the tree, on flows that
// move local and other, leave fields empty or carry IPv6.
TEST(FlowParser, TypedStepsAnswerLikeTheTreeForEveryMember)
{
    auto mapped = MakeWideFlow();
    mapped->lower_map = 2;
    auto ipv6 = FlowBuilder().Lower("2001:db8::1", 5353).Upper("2001:db8:0:0:8000::1", 443).Build();
    const vdFlow::Ptr flows[] = {MakeWideFlow(), mapped, std::make_shared<vdFlow>(), ipv6};
    const vdFlowParser::Variables no_variables;
    for (const vd_flow_expr::Member &member : vd_flow_expr::AllMembers()) {
        for (const std::string &expression : ExpressionsFor(member)) {
            SCOPED_TRACE(expression);
            vd_flow_expr::NodePtr tree = vd_flow_expr::Compile(expression);
            vd_flow_expr::Steps steps(*tree);
            ASSERT_EQ(steps.TreeSteps(), 0u) << "not typed";
            for (const vdFlow::Ptr &flow : flows) {
                vd_flow_expr::EvalContext context{*flow, no_variables, {}};
                ASSERT_EQ(steps.Run(*flow, no_variables), tree->Test(context));
            }
        }
    }
}

// Past the bound of kept expressions every text is still compiled and
// answered, and the kept ones are still found.
TEST(FlowParser, AnswersPastTheCacheBound)
{
    vdFlowParser parser;
    auto flow = MakeTLSFlow();
    constexpr int expression_count = 5000;  // above the 4096 kept
    for (int round = 0; round < 2; round++) {
        for (int port = 0; port < expression_count; port++) {
            std::string expression = "other_port == " + std::to_string(port);
            ASSERT_EQ(parser.Parse(flow, {}, expression), port == 443) << expression;
        }
    }
    EXPECT_EQ(parser.Check("other_port == 4999"), "");
    EXPECT_NE(parser.Check("other_port == "), "");
    EXPECT_TRUE(vdFlowParser::Evaluate(*parser.Compile("other_port == 443"), *flow, {}));
}
