#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "feeds/data_feed.h"
#include "feeds/legacy_records.h"
#include "support/error_text.h"
#include "support/feed_injector.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using vppDataFeed::Base;
using vppDataFeed::DataSource;
using vppDataFeed::DataType;
using namespace std::string_literals;

class PlainFeed : public Base
{
public:
    explicit PlainFeed(const std::string &tag, DataSource source = DataSource::cloud_intel)
        : Base(tag, "", source, DataType::invalid)
    {
    }
};

std::string CreateError(const json &conf)
{
    return ErrorText([&] { Base::Create("f", conf, nullptr); });
}

TEST(DataFeedFactory, ErrorsAndEmptyResults)
{
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"{}", "f: required string parameter not found: type"},
        {"[]", "f: required string parameter not found: type"},
        {R"("cloud_intel")", "f: required string parameter not found: type"},
        {R"({"type": 2})", "f: invalid string parameter type: type"},
        {R"({"type": "none"})", "f: error loading data feed; invalid data_source"},
        {R"({"type": "Cloud_Intel"})", "f: error loading data feed; invalid data_source"},
        {R"({"type": "whatever"})", "f: error loading data feed; invalid data_source"},
        {R"({"type": "velbor_api"})", "f: error loading data feed; unsupported data_source"},
    };
    for (const auto &[conf, error] : cases)
        EXPECT_EQ(CreateError(json::parse(conf)), error) << conf;

    LogCapture log;
    EXPECT_EQ(Base::Create("f", json::parse(R"({"type": "geo_maxmind"})"), nullptr), nullptr);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(DataFeedFactory, BuildsByTheRegisteredConstructor)
{
    auto queue = vppEventQueue::Queue::Create("event_queue");
    std::string seen_tag;
    json seen_conf;
    FeedInjector row(DataSource::cloud_intel, [&](const std::string &tag, const json &conf, auto &context) {
        seen_tag = tag;
        seen_conf = conf;
        EXPECT_EQ(context.queue, queue);
        return std::make_shared<PlainFeed>(tag);
    });

    const json conf = json::parse(R"({"type": "cloud_intel", "threads": 2})");
    auto feed = Base::Create("cloud", conf, queue);
    ASSERT_NE(feed, nullptr);
    EXPECT_EQ(feed->tag, "cloud");
    EXPECT_EQ(seen_tag, "cloud");
    EXPECT_EQ(seen_conf, conf);
}

TEST(DataFeed, MatchedCompletesTheEntry)
{
    PlainFeed feed("cloud");
    feed.default_score = 15;

    vppIntel::Entry scored;
    scored.score = 40;
    scored.data_source = "stale";
    scored.data_feed = "stale";
    EXPECT_TRUE(feed.Matched(scored));
    EXPECT_EQ(scored.score, 40u);
    EXPECT_EQ(scored.data_source, "cloud_intel");
    EXPECT_EQ(scored.data_feed, "cloud");

    vppIntel::Entry unscored;
    EXPECT_TRUE(feed.Matched(unscored));
    EXPECT_EQ(unscored.score, 15u);
}

TEST(DataFeed, DefaultsNeverMatch)
{
    PlainFeed feed("f");
    vppIntel::Entry entry;
    auto flow = std::make_shared<vdFlow>();
    EXPECT_FALSE(feed.Lookup(flow, entry));
    EXPECT_FALSE(feed.Lookup(flow, entry, "tor_exit"));
    EXPECT_FALSE(feed.Lookup(vdAddr(), entry));
    feed.LookupEventPush(vppEventQueue::Event());
    EXPECT_EQ(entry, vppIntel::Entry());
    EXPECT_EQ(feed.GetDataTypeName(), "invalid");
}

TEST(DataFeed, UpdateDigest)
{
    LogCapture log;
    PlainFeed feed("f");
    Base::Digest changed{};
    changed[19] = 1;

    EXPECT_FALSE(feed.UpdateDigest(Base::Digest{}));
    EXPECT_TRUE(log.Contains("f: data hasn't changed.\n"));
    EXPECT_TRUE(feed.UpdateDigest(changed));
    EXPECT_FALSE(feed.UpdateDigest(changed));
    EXPECT_EQ(feed.digest, changed);
}

const std::string sample_sha1 = "00112233445566778899aabbccddeeff00112233";

std::string Record(const std::string &tag, const std::string &extra = "", const std::string &sha1 = sample_sha1)
{
    return R"({"intelligence": {"tag": ")" + tag + R"(", "label": "L-)" + tag + R"(", "data_type": "dpi_risk")" +
           extra + R"(}, "sha1": ")" + sha1 + R"("})";
}

struct HeaderResult {
    DataType type = DataType::invalid;
    std::string label = "unset";
    unsigned score = 99;
    Base::Digest sha1{};
    json data;
    std::string error;
};

HeaderResult LoadHeader(const std::string &path, const std::string &tag = "t")
{
    HeaderResult result;
    result.error = ErrorText(
        [&] { result.type = Base::LoadHeader(tag, result.data, path, result.label, result.score, result.sha1); });
    return result;
}

class LegacyHeaderTest : public ::testing::Test
{
protected:
    std::string File(const std::string &content) { return dir.WriteFile("intel.json", content); }

    TempDir dir;
};

TEST_F(LegacyHeaderTest, FirstMatchingRecord)
{
    std::string path = File("// legacy file\n[1, {\"other\": 2}, " + Record("x") + ", " +
                            Record("t", R"(, "score": 30, "extra": true, "data": {"risk": 3}, "id": 8)") + ", " +
                            Record("t", R"(, "score": 5)") + "]");
    HeaderResult result = LoadHeader(path);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.type, DataType::risk);
    EXPECT_EQ(result.label, "L-t");
    EXPECT_EQ(result.score, 30u);
    EXPECT_EQ(result.sha1[0], 0x00);
    EXPECT_EQ(result.sha1[19], 0x33);
    EXPECT_EQ(result.data.at("extra"), true);
    // The header without its data set, which the reader passes over.
    EXPECT_FALSE(result.data.contains("data"));
    EXPECT_FALSE(result.data.contains("id"));
}

TEST_F(LegacyHeaderTest, Cases)
{
    struct Case {
        std::string content;
        DataType type;
        std::string label;
        unsigned score;
        std::string error;  // %s: the file's path
    };
    const std::string unknown_type =
        R"({"intelligence": {"tag": "t", "label": "L", "data_type": "nope"}, "sha1": ")" + sample_sha1 + "\"}";
    const std::vector<Case> cases = {
        {"[" + Record("x") + "]", DataType::invalid, "unset", 99, ""},
        {R"({"b": )" + Record("t", R"(, "score": 7.9)") + "}", DataType::risk, "L-t", 7, ""},
        {"[" + Record("t", R"(, "score": true)") + "]", DataType::risk, "L-t", 1, ""},
        {"[" + unknown_type + "]", DataType::invalid, "L", 99, ""},
        {"[" + Record("t") + "]", DataType::risk, "L-t", 99, ""},
        // A key given twice keeps its last value, in a header and among records.
        {"[" + Record("t", R"(, "label": "again", "score": 1, "score": 2)") + "]", DataType::risk, "again", 2, ""},
        {R"({"b": )" + Record("t", R"(, "score": 3)") + R"(, "a": )" + Record("x") + R"(, "b": )" +
             Record("t", R"(, "score": 4)") + "}",
         DataType::risk, "L-t", 4, ""},
        {R"([{"intelligence": {"label": "x"}}, )" + Record("t") + "]", DataType::invalid, "unset", 99,
         "t: required string parameter not found: tag"},
        {R"([{"intelligence": {"tag": 5}}])", DataType::invalid, "unset", 99, "t: invalid string parameter type: tag"},
        {R"([{"intelligence": {"tag": "t", "data_type": "risk"}}])", DataType::invalid, "unset", 99,
         "t: required string parameter not found: label"},
        {"[" + Record("t", R"(, "score": "5")") + "]", DataType::invalid, "unset", 99,
         "t: invalid unsigned parameter type: score"},
        {"[" + Record("t", R"(, "score": -1)") + "]", DataType::invalid, "unset", 99,
         "t: unsigned parameter out of range: score"},
        {"[" + Record("t", R"(, "score": 4294967296)") + "]", DataType::invalid, "unset", 99,
         "t: unsigned parameter out of range: score"},
        {"[" + Record("t", "", "xyz") + "]", DataType::invalid, "unset", 99,
         "%s: error loading data feed; sha1 not found: t"},
        {"[" + Record("t", "", "0011") + "]", DataType::invalid, "unset", 99,
         "%s: error loading data feed; sha1 length mismatch: t"},
        {R"([{"intelligence": {"tag": "t", "label": "L", "data_type": "risk"}}])", DataType::invalid, "unset", 99,
         "t: required string parameter not found: sha1"},
    };
    for (const Case &c : cases) {
        std::string path = File(c.content);
        HeaderResult result = LoadHeader(path);
        std::string error = c.error;
        if (auto at = error.find("%s"); at != std::string::npos)
            error.replace(at, 2, path);
        EXPECT_EQ(result.error, error) << c.content;
        EXPECT_EQ(result.type, c.type) << c.content;
        EXPECT_EQ(result.label, c.label) << c.content;
        EXPECT_EQ(result.score, c.score) << c.content;
    }
}

TEST_F(LegacyHeaderTest, UnreadableFiles)
{
    std::string missing = dir.Path("missing.json");
    EXPECT_EQ(LoadHeader(missing).error, missing + ": error loading data feed: " + std::strerror(ENOENT));

    std::string broken = File("[{\"intelligence\": ");
    EXPECT_TRUE(LoadHeader(broken).error.starts_with(broken + ": error loading data feed; JSON exception: "));
}

TEST_F(LegacyHeaderTest, RefusedFilesNameWhatAndWhere)
{
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    std::string nested;
    for (int i = 0; i < 100000; i++)
        nested += "[";
    struct Case {
        std::string path;
        std::string error;  // after "<path>: error loading data feed"
    } cases[] = {
        // Would block the reader for good.
        {dir.Path("fifo"), ": not a regular file"},
        {dir.WriteFile("nul.json", "[" + Record("t") + "]\n\0"s), ": line 2: NUL byte"},
        {dir.WriteFile("nested.json", nested), ": line 1: nested deeper than 64 levels"},
        // Inside another tag's data set, which is passed over, the depth still counts.
        {dir.WriteFile("nested_data.json", "[" + Record("t") + R"(, {"intelligence": {"tag": "x", "data": )" + nested),
         ": line 1: nested deeper than 64 levels"},
    };
    for (const auto &c : cases) {
        HeaderResult result = LoadHeader(c.path);
        EXPECT_EQ(result.error, c.path + ": error loading data feed" + c.error);
        EXPECT_EQ(result.label, "unset");
    }
}

// The header is read through the legacy file's one reader, under its one
// bound: a file beyond the old 64 MiB limit loads, one beyond the bound is
// refused before it is read.
TEST_F(LegacyHeaderTest, OneBoundForTheLegacyFile)
{
    const size_t old_limit = size_t(64) * 1024 * 1024;
    ASSERT_GT(vppLegacyFile::max_file_size, old_limit);
    std::string padded = "[" + Record("x") + std::string(old_limit, ' ') + ", " + Record("t") + "]";
    HeaderResult result = LoadHeader(File(padded));
    padded.clear();
    padded.shrink_to_fit();
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.type, DataType::risk);

    // Sparse: no byte of it is written or read.
    std::string huge = dir.WriteFile("huge.json", "[" + Record("t") + "]");
    ASSERT_EQ(truncate(huge.c_str(), off_t(vppLegacyFile::max_file_size) + 1), 0);
    EXPECT_EQ(LoadHeader(huge).error, huge + ": error loading data feed: larger than " +
                                          std::to_string(vppLegacyFile::max_file_size) + " bytes");
}

}  // namespace
