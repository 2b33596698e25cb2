#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "indicators/cache/cache_record.h"
#include "indicators/cache/intel_cache.h"
#include "support/flow_builder.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "vd_config.h"

using vppCache::FlowKey;
using vppCache::Store;
using vppIntel::Entry;

namespace {

// local_ip and other_port, as the stores below are configured.
constexpr uint32_t store_keys = 0x4 | 0x20;

template <typename T> std::string Bytes(T value)
{
    std::string bytes(sizeof(value), '\0');
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

std::string Header(uint32_t keys = store_keys)
{
    return Bytes(keys);
}

// A record whose stated length is that of text unless given.
std::string Record(const std::string &key, const std::string &text)
{
    return key + Bytes(uint64_t(text.size())) + text;
}

std::string RecordHead(const std::string &key, uint64_t length)
{
    return key + Bytes(length);
}

Entry MakeEntry(uint32_t score, const std::string &indicator = "t")
{
    Entry entry;
    entry.score = score;
    entry.indicator = indicator;
    entry.category = "reputation";
    entry.attrs = {{"ratio", 0.1f}, {"n", int32_t(-5)}, {"doc", json::parse(R"({"a": [1, 2]})")}};
    return entry;
}

std::string Key(int n)
{
    return vd_xxh64_to_string(uint64_t(n));
}

// The record of MakeEntry(score) under Key(n).
std::string GoodRecord(int n, uint32_t score)
{
    return Record(Key(n), vppCache::RenderRecord(MakeEntry(score)));
}

// Flows that differ in the other side's port, which the stores key on.
vdFlow::Ptr FlowTo(int n)
{
    FlowBuilder flow;
    flow.Lower("10.0.0.1", 40000).Upper("192.0.2.1", uint16_t(1000 + n)).Set([](vdFlow &f) {
        f.lower_map = 1;
        f.origin = 1;
    });
    return flow.Build();
}

class CacheFileTest : public ::testing::Test
{
protected:
    std::shared_ptr<Store> Make(size_t capacity = 10, const std::string &keys = R"(["local_ip", "other_port"])",
                                const std::string &name = "cache.dat")
    {
        const std::string conf = R"({"flow_keys": )" + keys + R"(, "max_size": )" + std::to_string(capacity) +
                                 R"(, "filename": "${dir}/)" + name + R"("})";
        return Store::Create("t", json::parse(conf));
    }

    // Whether the store holds exactly the entry of score under key.
    static bool Holds(Store &store, const std::string &key, uint32_t score)
    {
        Entry out;
        return store.CacheLookup(key, out) && out == MakeEntry(score);
    }

    std::vector<std::string> Operational() const { return log.Lines(vdLogLevel::operational); }

    TempDir dir;
    LogCapture log;
    vdGlobalConfig config;
    const std::string path = dir.Path("cache.dat");

    void SetUp() override { config.variables = {{"dir", dir.Path()}}; }
};

TEST_F(CacheFileTest, EntriesSurviveTheStoreAndComeBackInTheirOrderOfUse)
{
    {
        auto store = Make();
        for (int n = 1; n <= 3; n++)
            store->Insert(FlowTo(n), MakeEntry(n));
        Entry out;
        ASSERT_TRUE(store->Lookup(FlowTo(1), out));  // 1 is now the most recent
    }
    EXPECT_TRUE(log.Contains("t: Saved 3 cache entries to: " + path + "\n"));

    auto store = Make();
    EXPECT_TRUE(log.Contains("t: Loaded 3 cache entries from: " + path + "\n"));
    for (int n = 1; n <= 3; n++) {
        Entry out;
        ASSERT_TRUE(store->Lookup(FlowTo(n), out)) << n;
        EXPECT_EQ(out, MakeEntry(n)) << n;
    }
    store.reset();

    // A smaller cache keeps the most recently used: 3, 2 and 1 were looked
    // up in that order above.
    log.Clear();
    auto small = Make(2);
    EXPECT_TRUE(log.Contains("t: Loaded 2 cache entries from: " + path + "\n"));
    Entry out;
    EXPECT_FALSE(small->Lookup(FlowTo(1), out));
    EXPECT_TRUE(small->Lookup(FlowTo(2), out));
    EXPECT_TRUE(small->Lookup(FlowTo(3), out));
    EXPECT_TRUE(Operational().empty());
}

TEST_F(CacheFileTest, FileOfOtherFlowKeysIsNotLoaded)
{
    Make()->Insert(FlowTo(1), MakeEntry(1));
    log.Clear();
    auto store = Make(10, R"(["other_ip"])");
    EXPECT_TRUE(log.Contains("t: " + path + ": cache flow key changed detected, load aborted.\n"));
    EXPECT_FALSE(log.Contains("Loaded"));
    EXPECT_EQ(store->CacheSize(), 0u);
    EXPECT_EQ(store->Load(), 0u);
}

struct FileCase {
    std::string what;
    std::string content;
    // Operational lines, in order, after "t: Error loading flow intel
    // cache: <path>: ".
    std::vector<std::string> errors;
    // Debug lines that must appear, each after "t: ".
    std::vector<std::string> debug;
    // Scores (and key numbers) of the records loaded.
    std::vector<int> loaded;
};

std::string Deep(int levels)
{
    return std::string(levels, '[') + std::string(levels, ']');
}

// The typed record of MakeEntry(score) with one member replaced by raw text.
std::string WithMember(uint32_t score, const std::string &member, const std::string &raw)
{
    json record;
    Entry::to_json(record, MakeEntry(score), true);
    record[member] = "@@";
    std::string text = record.dump();
    const std::string placeholder = "\"@@\"";
    return text.replace(text.find(placeholder), placeholder.size(), raw);
}

TEST_F(CacheFileTest, DamagedFilesLoadWhatCanBeTrusted)
{
    const std::string good1 = GoodRecord(1, 1);
    const std::string good2 = GoodRecord(2, 2);
    const std::string invalid = "invalid cache record: ";
    const std::string one_skipped = "1 invalid record(s) skipped";
    const std::string oversized(vppCache::max_record_length + 1, ' ');
    const std::vector<FileCase> cases = {
        {"three bytes", "abc", {"truncated header"}, {}, {}},
        {"the flow-key set alone", Header(), {}, {}, {}},
        {"ten bytes after the last record", Header() + good1 + "0123456789", {"truncated record"}, {}, {1}},
        {"a record head cut short", Header() + good1 + Key(2) + "\x05", {"truncated record"}, {}, {1}},
        {"a length beyond the file", Header() + good1 + RecordHead(Key(2), 100) + std::string(50, ' '),
         {"record length 100 exceeds the 50 byte(s) left"}, {}, {1}},
        {"a length of 2^63", Header() + RecordHead(Key(2), uint64_t(1) << 63),
         {"record length 9223372036854775808 exceeds the 0 byte(s) left"}, {}, {}},
        {"a record over the bound", Header() + Record(Key(3), oversized) + good2, {one_skipped},
         {invalid + "record length 1048577 exceeds the 1048576 byte limit"}, {2}},
        {"a zero-length record", Header() + good1 + RecordHead(Key(9), 0) + good2, {}, {}, {1, 2}},
        {"text that is not JSON", Header() + Record(Key(3), "{\"score\": ") + good2, {one_skipped},
         {invalid + "intel entry: [json.exception.parse_error"}, {2}},
        {"nesting deeper than 64 levels", Header() + Record(Key(3), WithMember(3, "attrs", Deep(100))) + good2,
         {one_skipped}, {invalid + "intel entry: line 1: nested deeper than 64 levels"}, {2}},
        {"a NUL byte", Header() + Record(Key(3), std::string("{\"a\":\"\0\"}", 9)) + good2, {one_skipped},
         {invalid + "intel entry: line 1: NUL byte"}, {2}},
        // The last value of a key given twice stands, as the JSON library has it.
        {"a key given twice, its last value damaged", Header() + Record(Key(3), WithMember(3, "score", "3, \"score\": -3")) + good2,
         {one_skipped}, {invalid + "score: -3 does not fit"}, {2}},
        {"a key given twice, its last value good", Header() + Record(Key(3), WithMember(3, "score", "-3, \"score\": 3")) + good2,
         {}, {}, {3, 2}},
        // Numbers as the JSON library converts them: a fraction dropped, a
        // boolean 1 or 0; what lies outside the field is refused.
        {"a fractional score", Header() + Record(Key(3), WithMember(3, "score", "3.7")) + good2, {}, {}, {3, 2}},
        {"a boolean score", Header() + Record(Key(1), WithMember(1, "score", "true")) + good2, {}, {}, {1, 2}},
        {"a negative fractional score", Header() + Record(Key(3), WithMember(3, "score", "-1.5")) + good2,
         {one_skipped}, {invalid + "score: -1.5 does not fit"}, {2}},
        {"a fractional id", Header() + Record(Key(3), WithMember(3, "id", "0.9")) + good2, {}, {}, {3, 2}},
        {"an id beyond 64 bits", Header() + Record(Key(3), WithMember(3, "id", "18446744073709551616")) + good2,
         {one_skipped}, {invalid + "id: 1.8446744073709552e+19 does not fit an unsigned 64-bit integer"}, {2}},
        {"an entry of another indicator", Header() + Record(Key(3), vppCache::RenderRecord(MakeEntry(3, "u"))) + good2,
         {one_skipped}, {invalid + "entry of indicator \"u\", not \"t\""}, {2}},
        {"a key that is not hexadecimal", Header() + Record("not-a-key-at-all", vppCache::RenderRecord(MakeEntry(3))),
         {one_skipped}, {invalid + "key is not 16 hexadecimal digits"}, {}},
        {"three damaged records among good ones",
         Header() + Record(Key(3), "[") + good1 + Record(Key(4), "{}") + Record(Key(5), "5") + good2,
         {"3 invalid record(s) skipped"}, {}, {1, 2}},
    };
    for (const auto &c : cases) {
        dir.WriteFile("cache.dat", c.content);
        log.Clear();
        std::shared_ptr<Store> store;
        ASSERT_NO_THROW(store = Make()) << c.what;

        std::vector<std::string> expected_errors;
        for (const auto &error : c.errors)
            expected_errors.push_back("t: Error loading flow intel cache: " + path + ": " + error + "\n");
        EXPECT_EQ(Operational(), expected_errors) << c.what;
        for (const auto &line : c.debug)
            EXPECT_TRUE(log.Contains("t: " + path + ": " + line)) << c.what << ": " << line;
        EXPECT_TRUE(log.Contains("t: Loaded " + std::to_string(c.loaded.size()) + " cache entries from: " + path))
            << c.what;
        EXPECT_EQ(store->CacheSize(), c.loaded.size()) << c.what;
        for (int n : c.loaded)
            EXPECT_TRUE(Holds(*store, Key(n), n)) << c.what << ": record " << n;

        // The next save writes what was loaded, without the damage.
        store.reset();
        log.Clear();
        EXPECT_EQ(Make()->CacheSize(), c.loaded.size()) << c.what;
        EXPECT_EQ(Operational(), std::vector<std::string>{}) << c.what;
    }
}

TEST_F(CacheFileTest, FilesThatCannotBeReadLeaveTheCacheEmpty)
{
    // No file at all: a debug line and no loaded line.
    auto store = Make();
    EXPECT_TRUE(log.Contains("t: No flow intel cache to load: " + path + "\n"));
    EXPECT_FALSE(log.Contains("Loaded"));
    EXPECT_TRUE(Operational().empty());
    EXPECT_EQ(store->Load(), 0u);

    // A directory, and a FIFO no one writes: refused without blocking.
    std::filesystem::create_directory(dir.Path("a-directory"));
    ASSERT_EQ(mkfifo(dir.Path("a-fifo").c_str(), 0600), 0);
    for (const std::string name : {"a-directory", "a-fifo"}) {
        log.Clear();
        auto refused = Make(10, R"(["local_ip", "other_port"])", name);
        EXPECT_EQ(refused->CacheSize(), 0u);
        EXPECT_EQ(Operational(), std::vector<std::string>{"t: Error loading flow intel cache: " + dir.Path(name) +
                                                          ": not a regular file\n"});
    }
}

TEST_F(CacheFileTest, FailedSavesLeaveTheOldFileAndSayWhy)
{
    // A directory that does not exist.
    {
        const json conf = json::parse(R"({"flow_keys": ["local_ip"], "max_size": 2, "filename": ")" +
                                      dir.Path("missing/cache.dat") + R"("})");
        auto store = Store::Create("t", conf);
        store->Insert(FlowTo(1), MakeEntry(1));
        EXPECT_EQ(store->Save(), 0u);
    }
    EXPECT_EQ(log.Count("t: Error saving flow intel cache: " + dir.Path("missing/cache.dat") +
                        ": No such file or directory\n"),
              2u);  // Save, then the destructor's save
    EXPECT_FALSE(dir.Exists("missing"));

    // A target that cannot be replaced: it stays, and no temporary file is
    // left beside it.
    std::filesystem::create_directory(dir.Path("cache.dat"));
    dir.WriteFile("cache.dat/inside", "kept");
    log.Clear();
    {
        auto store = Make();
        store->Insert(FlowTo(1), MakeEntry(1));
        EXPECT_EQ(store->Save(), 0u);
    }
    EXPECT_TRUE(log.Contains("t: Error saving flow intel cache: " + path));
    EXPECT_EQ(dir.ReadFile("cache.dat/inside"), "kept");
    std::vector<std::string> names;
    for (const auto &item : std::filesystem::directory_iterator(dir.Path()))
        names.push_back(item.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"cache.dat"});
}

TEST_F(CacheFileTest, SavesWriteWhatALoadAccepts)
{
    // An empty cache is the flow-key set alone.
    EXPECT_EQ(Make()->Save(), 0u);
    EXPECT_TRUE(log.Contains("t: Saved 0 cache entries to: " + path + "\n"));
    EXPECT_EQ(dir.ReadFile("cache.dat"), Header());

    // An entry whose text is over the bound is left out, with a line.
    log.Clear();
    {
        auto store = Make();
        Entry huge = MakeEntry(2);
        huge.attrs["blob"] = std::string(vppCache::max_record_length, 'x');
        store->Insert(FlowTo(1), MakeEntry(1));
        store->Insert(FlowTo(2), huge);
        EXPECT_EQ(store->Save(), 1u);
    }
    EXPECT_TRUE(log.Contains("t: Error saving flow intel cache: " + path + ": 1 record(s) over 1048576 bytes left out"));
    log.Clear();
    auto store = Make();
    EXPECT_TRUE(log.Contains("t: Loaded 1 cache entries from: " + path + "\n"));
    EXPECT_TRUE(Operational().empty());
    std::string key;
    store->MakeKey(FlowTo(1), key);
    EXPECT_TRUE(Holds(*store, key, 1));
}

}  // namespace
