#include "common/json_reader.h"
#include "common/thread_toolkit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/error_text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

// The string read returns, or the text of the error it throws.
template <class Read> std::string ValueOrError(Read &&read)
{
    std::string value;
    const std::string error = ErrorText([&] { value = read(); });
    return error.empty() ? value : error;
}

std::string Nested(size_t levels, const std::string &open = "{\"k\": ", const std::string &close = "}")
{
    std::string text;
    for (size_t i = 0; i < levels; i++)
        text += open;
    text += "1";
    for (size_t i = 0; i < levels; i++)
        text += close;
    return text;
}

enum class Outcome { parsed, structure, syntax };

struct ParseCase {
    const char *name;
    std::string text;
    Outcome outcome;
    std::string message;  // what(); for syntax errors its start
};

// The outcome of ParseText and the error's text, if any.
std::pair<Outcome, std::string> Parse(const std::string &text)
{
    try {
        vppJson::ParseText(text, "intel.json");
        return {Outcome::parsed, ""};
    } catch (const vppJson::StructureError &e) {
        return {Outcome::structure, e.what()};
    } catch (const vppJson::SyntaxError &e) {
        return {Outcome::syntax, e.what()};
    }
}

TEST(JsonReaderParse, RefusesWhatThePartsDownstreamCannotBear)
{
    const std::string long_key(100, 'k');
    const ParseCase cases[] = {
        {"comments allowed", "// head\n{\"a\": 1 /* { \"a\": 2 */, \"b\": [1, 2]}", Outcome::parsed, ""},
        {"64 levels", Nested(64), Outcome::parsed, ""},
        {"65 objects", Nested(65), Outcome::structure, "intel.json: line 1: nested deeper than 64 levels"},
        {"65 arrays", Nested(65, "[", "]"), Outcome::structure, "intel.json: line 1: nested deeper than 64 levels"},
        {"arrays and objects together", "[\n" + Nested(64), Outcome::structure,
         "intel.json: line 2: nested deeper than 64 levels"},
        // Would exhaust a thread's stack once copied or destroyed.
        {"100,000 objects", "{\"unread\":\n" + Nested(100000, "{\"k\":\n"), Outcome::structure,
         "intel.json: line 65: nested deeper than 64 levels"},
        {"brackets in strings are text", "{\"a\": \"" + std::string(100, '[') + "\"}", Outcome::parsed, ""},
        {"NUL after the document", "{\"a\": 1}\0 garbage"s, Outcome::structure, "intel.json: line 1: NUL byte"},
        {"NUL in a string", "{\n\n\"a\": \"x\0\"}"s, Outcome::structure, "intel.json: line 3: NUL byte"},
        {"NUL in a comment", "{} // x\0"s, Outcome::structure, "intel.json: line 1: NUL byte"},
        {"NUL in a block comment", "{} /*\n\0*/"s, Outcome::structure, "intel.json: line 2: NUL byte"},
        {"duplicate key", "{\n  \"a\": 1,\n  \"b\": 2,\n  \"a\": 3\n}", Outcome::structure,
         "intel.json: line 4: duplicate key \"a\""},
        {"duplicate indicator", R"({"indicators": {"a": {"score": 1}, "a": {"score": 2}}})", Outcome::structure,
         "intel.json: line 1: duplicate key \"a\""},
        {"duplicate after a nested object", R"({"a": {"b": 1, "c": [{"b": 2}]}, "a": 2})", Outcome::structure,
         "intel.json: line 1: duplicate key \"a\""},
        {"duplicate spelt with an escape", R"({"a": 1, "\u0061": 2})", Outcome::structure,
         "intel.json: line 1: duplicate key \"a\""},
        {"duplicate with escapes shown escaped", R"({"a\"\\b": 1, "a\"\\b": 2})", Outcome::structure,
         R"(intel.json: line 1: duplicate key "a\"\\b")"},
        {"long duplicate key cut", "{\"" + long_key + "\": 1, \"" + long_key + "\": 2}", Outcome::structure,
         "intel.json: line 1: duplicate key \"" + long_key.substr(0, 80) + "...\""},
        {"same key in sibling objects", R"([{"a": 1}, {"a": 2}, {"a": {"a": 3}}])", Outcome::parsed, ""},
        {"values equal to keys", R"({"a": "a", "b": ["a", "a"], "c": "b"})", Outcome::parsed, ""},
        {"escaped quote and backslash end keys correctly", R"({"a\\": 1, "a\"": 2, "a": 3})", Outcome::parsed, ""},
        {"keys in comments are not keys", "{\"a\": 1, // \"a\": 2\n /* \"a\": 3 */ \"b\": 4}", Outcome::parsed, ""},
        {"the first problem wins", "{\"a\": 1, \"a\": 2, \"x\":" + Nested(70) + "}", Outcome::structure,
         "intel.json: line 1: duplicate key \"a\""},
        // The parser ends a line comment at a carriage return too: what follows
        // is read, and held to the rules.
        {"nesting behind a comment ended by CR", "{\"a\": //\r" + Nested(100000, "[", "]") + "\n}",
         Outcome::structure, "intel.json: line 1: nested deeper than 64 levels"},
        {"a key behind a comment ended by CR", "{\"a\": 1, //\r\"a\": 2}", Outcome::structure,
         "intel.json: line 1: duplicate key \"a\""},
        {"syntax errors are the parser's", R"({"indicators": )", Outcome::syntax,
         "intel.json: [json.exception.parse_error.101] parse error at line 1, column 16"},
        {"unterminated string", "{\"a", Outcome::syntax, "intel.json: [json.exception.parse_error.101]"},
        {"bad escape in a key", R"({"\x": 1, "\x": 2})", Outcome::syntax,
         "intel.json: [json.exception.parse_error.101]"},
        {"empty text", "", Outcome::syntax, "intel.json: [json.exception.parse_error.101]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto [outcome, message] = Parse(c.text);
        EXPECT_EQ(outcome, c.outcome);
        if (c.outcome == Outcome::syntax)
            EXPECT_TRUE(message.starts_with(c.message)) << message;
        else
            EXPECT_EQ(message, c.message);
    }
}

TEST(JsonReaderParse, WideDocumentsAreCheckedInOnePass)
{
    // Checks that rescan a container per member would take hours on these.
    std::string many_objects = "[";
    std::string many_keys = "{";
    for (int i = 0; i < 200000; i++) {
        many_objects += std::string(i ? "," : "") + R"({"a": 1, "b": 2})";
        many_keys += std::string(i ? "," : "") + "\"k" + std::to_string(i) + "\": 1";
    }
    EXPECT_EQ(vppJson::ParseText(many_objects + "]", "a").size(), 200000u);
    EXPECT_EQ(vppJson::ParseText(many_keys + "}", "k").size(), 200000u);
    EXPECT_EQ(Parse(many_keys + ", \"k199999\": 2}").second, "intel.json: line 1: duplicate key \"k199999\"");
}

// A random document of unique keys whose strings hold the bytes the check
// must read past: quotes, backslashes, brackets, slashes and newlines.
json RandomDocument(std::mt19937 &random, int depth)
{
    static const std::string pieces[] = {"a", "\"", "\\", "{", "]", "//", "/*", "\n", "\u00e9", ":", ","};
    auto text = [&] {
        std::string out;
        for (int n = random() % 4; n >= 0; n--)
            out += pieces[random() % std::size(pieces)];
        return out;
    };
    switch (depth <= 0 ? random() % 3 : random() % 5) {
    case 0:
        return text();
    case 1:
        return static_cast<int>(random() % 1000) - 500;
    case 2:
        return nullptr;
    case 3: {
        json array = json::array();
        for (int n = random() % 4; n > 0; n--)
            array.push_back(RandomDocument(random, depth - 1));
        return array;
    }
    default: {
        json object = json::object();
        for (int n = random() % 4; n > 0; n--)
            object[text()] = RandomDocument(random, depth - 1);
        return object;
    }
    }
}

TEST(JsonReaderParse, AgreesWithTheParserOnRandomDocumentsAndTheirMutations)
{
    std::mt19937 random(20261210);
    for (int round = 0; round < 2000; round++) {
        const json document = RandomDocument(random, 6);
        const std::string text = "/* head */ " + document.dump(round % 2 ? 2 : -1) + " // tail\n";
        ASSERT_EQ(vppJson::ParseText(text, "r"), document) << text;

        // Damaged copies: refused, or read exactly as the parser reads them.
        std::string damaged = text;
        for (int n = 1 + random() % 3; n > 0; n--)
            damaged[random() % damaged.size()] = "{}[]\"\\/*,:\n a"[random() % 14];
        json parsed;
        try {
            parsed = vppJson::ParseText(damaged, "r");
        } catch (const vppJson::DocumentError &) {
            continue;
        }
        EXPECT_EQ(parsed, json::parse(damaged, nullptr, true, true)) << damaged;
    }
}

TEST(JsonReaderParse, DataWrittenByOthersKeepsARepeatedKeysLastValue)
{
    EXPECT_EQ(vppJson::ParseText(R"({"a": {"b": 1}, "c": 2, "a": [3]})", "d", vppJson::Comments::refused,
                                 vppJson::Keys::last_wins),
              json::parse(R"({"a": [3], "c": 2})"));
    // Depth and NUL bytes are refused all the same, comments when refused.
    const std::string deep = Nested(65, "[", "]");
    for (const std::string &text : {deep, "{\"a\": 1}\0"s, "// c\n{}"s})
        EXPECT_THROW(vppJson::ParseText(text, "d", vppJson::Comments::refused, vppJson::Keys::last_wins),
                     vppJson::DocumentError)
            << text;
}

TEST(JsonReaderParse, AShortReadCompletesDespiteAStop)
{
    // Long reads give way to a stop (the plug-in's stop tests show it); a
    // short one, as the configuration is, is read whole.
    std::atomic<bool> stop{true};
    vppThread::StopScope scope(stop);
    TempDir dir;
    const std::string path = dir.WriteFile("big.json", "[" + std::string(1 << 20, ' ') + "1]");
    EXPECT_EQ(vppJson::ParseFile(path, 2 << 20), json::parse("[1]"));
}

TEST(JsonReaderParse, ErrorsKeepTheSourceApartFromTheProblem)
{
    try {
        vppJson::ParseText("{\"a\": 1,\n\"a\": 1}", "/etc/intel.json");
        FAIL() << "no error";
    } catch (const vppJson::DocumentError &e) {
        EXPECT_EQ(e.Source(), "/etc/intel.json");
        EXPECT_EQ(e.Problem(), "line 2: duplicate key \"a\"");
        EXPECT_STREQ(e.what(), "/etc/intel.json: line 2: duplicate key \"a\"");
    }
}

TEST(JsonReaderParse, FilesAreReadBoundedThenChecked)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    const std::string good = dir.WriteFile("good.json", "// c\n{\"a\": [1, 2]}");
    EXPECT_EQ(vppJson::ParseFile(good, 64), json::parse(R"({"a": [1, 2]})"));

    struct Case {
        std::string path;
        std::string message;
    } cases[] = {
        {dir.Path("missing.json"), dir.Path("missing.json") + ": No such file or directory"},
        {dir.Path("fifo"), dir.Path("fifo") + ": not a regular file"},
        {dir.Path(), dir.Path() + ": not a regular file"},
        {dir.WriteFile("big.json", std::string(65, ' ')), dir.Path("big.json") + ": larger than 64 bytes"},
    };
    for (const auto &c : cases) {
        try {
            vppJson::ParseFile(c.path, 64);
            ADD_FAILURE() << "no error: " << c.path;
        } catch (const vppJson::ReadError &e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }

    const std::string twice = dir.WriteFile("twice.json", "{\"a\": 1,\n\"a\": 2}");
    EXPECT_THROW(vppJson::ParseFile(twice, 64), vppJson::StructureError);
}

TEST(JsonReaderMembers, FindMemberOnlyInObjects)
{
    const json document = {{"a", 1}, {"n", nullptr}};
    ASSERT_NE(vppJson::FindMember(document, "a"), nullptr);
    EXPECT_EQ(*vppJson::FindMember(document, "a"), 1);
    EXPECT_EQ(vppJson::FindMember(document, "n")->is_null(), true);
    EXPECT_EQ(vppJson::FindMember(document, "b"), nullptr);
    for (const json &other : {json(nullptr), json::array({"a"}), json("a"), json(1)})
        EXPECT_EQ(vppJson::FindMember(other, "a"), nullptr) << other;
}

TEST(JsonReaderMembers, MissingMembersAndFailedConversionsQuoteTheLibrary)
{
    LogCapture log;
    const json document = {{"a", 1}};
    EXPECT_NE(vppJson::FindMemberOrLog("t", document, "a", "label"), nullptr);
    EXPECT_TRUE(log.Lines().empty());

    EXPECT_EQ(vppJson::FindMemberOrLog("t", document, "b", "label"), nullptr);
    EXPECT_EQ(vppJson::FindMemberOrLog("t", json::array(), "b", "label"), nullptr);
    EXPECT_EQ(vppJson::ConvertOrLog<std::string>("t", json(5), "name"), std::nullopt);
    EXPECT_EQ(vppJson::ConvertOrLog<std::string>("t", json("x"), "name"), "x");
    EXPECT_EQ(log.Lines(vdLogLevel::debug),
              (std::vector<std::string>{
                  "t: label not found or is invalid: [json.exception.out_of_range.403] key 'b' not found\n",
                  "t: label not found or is invalid: [json.exception.type_error.304] cannot use at() with array\n",
                  "t: name not found or is invalid: [json.exception.type_error.302] type must be string, but is "
                  "number\n",
              }));
}

TEST(JsonReaderMembers, RequiredStringsAndTheEnabledSwitch)
{
    struct Case {
        json conf;
        std::string result;  // the string, or the error
    } cases[] = {
        {{{"driver", "custom"}}, "custom"},
        {{{"driver", 6}}, "t: invalid string parameter type: driver"},
        {{{"other", "custom"}}, "t: required string parameter not found: driver"},
        {json::array({"driver"}), "t: required string parameter not found: driver"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ValueOrError([&] { return vppJson::RequiredString("t", c.conf, "driver"); }), c.result) << c.conf;
    }

    // Only the boolean false disables.
    EXPECT_TRUE(vppJson::IsDisabled({{"enabled", false}}));
    for (const json &conf : {json{{"enabled", true}}, json{{"enabled", "no"}}, json{{"enabled", 0}},
                             json{{"enabled", nullptr}}, json::object(), json::array({false}), json(false)})
        EXPECT_FALSE(vppJson::IsDisabled(conf)) << conf;
}

TEST(JsonReaderNumbers, LenientReadersGiveNothingRatherThanNarrow)
{
    using vppJson::Lenient::Int32;
    using vppJson::Lenient::Unsigned32;
    using vppJson::Lenient::Unsigned32Truncated;
    using vppJson::Lenient::Unsigned64;
    const uint64_t max64 = std::numeric_limits<uint64_t>::max();
    struct Case {
        json value;
        std::optional<uint64_t> unsigned64;
        std::optional<uint32_t> unsigned32;
        std::optional<int32_t> int32;
        std::optional<uint32_t> truncated;
    } cases[] = {
        {json(0), 0, 0u, 0, 0u},
        {json(7), 7, 7u, 7, 7u},
        {json(-1), std::nullopt, std::nullopt, -1, std::nullopt},
        {json(2147483647), 2147483647, 2147483647u, 2147483647, 2147483647u},
        {json(2147483648LL), 2147483648u, 2147483648u, std::nullopt, 2147483648u},
        {json(-2147483648LL), std::nullopt, std::nullopt, std::numeric_limits<int32_t>::min(), std::nullopt},
        {json(-2147483649LL), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {json(4294967295u), 4294967295u, 4294967295u, std::nullopt, 4294967295u},
        {json(4294967296u), 4294967296u, std::nullopt, std::nullopt, std::nullopt},
        {json(max64), max64, std::nullopt, std::nullopt, std::nullopt},
        {json(7.9), std::nullopt, std::nullopt, std::nullopt, 7u},
        {json(4294967295.9), std::nullopt, std::nullopt, std::nullopt, 4294967295u},
        {json(4294967296.0), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {json(-0.5), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {json(std::numeric_limits<double>::quiet_NaN()), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {json(1e300), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {json(true), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {json("5"), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {json(nullptr), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value.dump());
        EXPECT_EQ(Unsigned64(c.value), c.unsigned64);
        EXPECT_EQ(Unsigned32(c.value), c.unsigned32);
        EXPECT_EQ(Int32(c.value), c.int32);
        EXPECT_EQ(Unsigned32Truncated(c.value), c.truncated);
    }
}

// Stored files: numbers as the JSON library converts them, never wrapped.
TEST(JsonReaderNumbers, ConvertingReadersTruncateAndNameTheFieldOfAValueThatDoesNotFit)
{
    using Reader = std::function<std::string(const json &)>;
    auto as = [](auto read) -> Reader {
        return [read](const json &value) { return json(read(value, "field")).dump(); };
    };
    const Reader uint32 = as(vppJson::Converted::UInt32);
    const Reader uint64 = as(vppJson::Converted::UInt64);
    const Reader int32 = as(vppJson::Converted::Int32);
    const Reader float32 = as(vppJson::Converted::Float);
    struct Case {
        const Reader &read;
        json value;
        std::string result;  // the value read, dumped, or the error
    } cases[] = {
        {uint32, json(4294967295u), "4294967295"},
        {uint32, json(5.0), "5"},
        {uint32, json(4294967296u), "field: 4294967296 does not fit an unsigned 32-bit integer"},
        {uint32, json(-1), "field: -1 does not fit an unsigned 32-bit integer"},
        {uint32, json(1.5), "1"},
        {uint32, json(4294967295.9), "4294967295"},
        {uint32, json(-0.5), "field: -0.5 does not fit an unsigned 32-bit integer"},
        {uint32, json(-1.5), "field: -1.5 does not fit an unsigned 32-bit integer"},
        {uint32, json(true), "1"},
        {uint32, json(false), "0"},
        {uint32, json("1"), "field: expected a number, found string"},
        {uint64, json(18446744073709551615u), "18446744073709551615"},
        {uint64, json(18446744073709551616.0), "field: 1.8446744073709552e+19 does not fit an unsigned 64-bit integer"},
        {int32, json(-2147483648LL), "-2147483648"},
        {int32, json(2147483648LL), "field: 2147483648 does not fit a signed 32-bit integer"},
        {int32, json(-2147483649.0), "field: -2147483649.0 does not fit a signed 32-bit integer"},
        {int32, json(-2.7), "-2"},
        {int32, json(-2147483648.9), "-2147483648"},
        {float32, json(true), "1.0"},
        {float32, json(1.5), "1.5"},
        {float32, json(7), "7.0"},
        {float32, json(1e300), "field: 1e+300 does not fit a finite 32-bit float"},
        {float32, json(nullptr), "field: expected a number, found null"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ValueOrError([&] { return c.read(c.value); }), c.result) << c.value;
    }
}

}  // namespace
