// The stand-in host's core: singletons, threads, temporary files, helpers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "support/error_text.h"
#include "support/log_capture.h"
#include "velbord.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ScratchDir {
    ScratchDir()
    {
        char pattern[] = "/tmp/host-core-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchDir() { fs::remove_all(path); }
    fs::path path;
};

class CountingThread : public vdThread
{
public:
    CountingThread() : vdThread("counting") {}
    ~CountingThread() override { Join(); }
    void *Entry() override
    {
        while (!ShouldTerminate())
            std::this_thread::yield();
        return nullptr;
    }
};

class ThrowingThread : public vdThread
{
public:
    ThrowingThread() : vdThread("throwing") {}
    ~ThrowingThread() override { Join(); }
    void *Entry() override { throw vdException("%s: failed on purpose", tag.c_str()); }
};

}  // namespace

TEST(HostSingletons, MissingInstancesThrowWithTheAccessorName)
{
    ASSERT_FALSE(vdGlobalConfig::HasInstance());
    EXPECT_EQ(ErrorText([] { vdGlobalConfig::GetInstance(); }),
              "static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not found");
    EXPECT_EQ(ErrorText([] { vdInstance::GetInstance(); }),
              "static vdInstance &vdInstance::GetInstance(): instance not found");

    {
        vdGlobalConfig config;
        config.verbosity = 3;
        EXPECT_EQ(vdGlobalConfig::GetInstance().verbosity, 3);
        EXPECT_THROW(vdGlobalConfig second, vdException);
    }
    EXPECT_FALSE(vdGlobalConfig::HasInstance());
}

TEST(HostThread, JoinIsSafeWithoutCreateAndTwice)
{
    CountingThread never_started;
    never_started.Join();

    CountingThread thread;
    thread.Create();
    EXPECT_THROW(thread.Create(), vdException);
    thread.Terminate();
    thread.Join();
    thread.Join();
}

TEST(HostThread, AnExceptionLeavingEntryIsLoggedNotFatal)
{
    LogCapture capture;
    ThrowingThread thread;
    thread.Create();
    thread.Join();
    EXPECT_TRUE(capture.Contains("throwing: thread exception: throwing: failed on purpose"));
}

TEST(HostTempFile, CommitReplacesTheTargetAndAbandonKeepsTheOldFile)
{
    ScratchDir dir;
    fs::path target = dir.path / "state.txt";
    std::ofstream(target) << "old\n";

    {
        vdTemp::File file(target.string(), false, 0);
        ASSERT_GE(file.Open(), 0);
        file << "abandoned\n";
    }
    EXPECT_EQ(ReadFile(target), "old\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1)
        << "the abandoned temporary file is removed";

    {
        vdTemp::File file(target.string(), false, 0);
        ASSERT_GE(file.Open(), 0);
        file << "new " << 42 << "\n";
        ASSERT_TRUE(file.Commit());
        EXPECT_FALSE(file.Commit()) << "a file commits once";
    }
    EXPECT_EQ(ReadFile(target), "new 42\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(HostTempFile, OpenFailsInADirectoryThatDoesNotExist)
{
    vdTemp::File file("/nonexistent-dir/for/state.txt", false, 0);
    errno = 0;
    EXPECT_LT(file.Open(), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(file.Commit());
}

TEST(HostHelpers, DigestAndHexTextRoundTrip)
{
    const char data[] = "abc";
    uint64_t digest = vd_xxh64(data, 3, 0);
    EXPECT_EQ(digest, 0x44bc2cf5ad770999ull) << "the real XXH64";

    std::string text;
    vd_xxh64_to_string(0x00000000000000ffull, text);
    EXPECT_EQ(text, "00000000000000ff");
    uint64_t back = 0;
    EXPECT_TRUE(vd_string_to_xxh64("DEADbeef00000001", back));
    EXPECT_EQ(back, 0xdeadbeef00000001ull);
    for (const char *bad : {"", "123", "00000000000000fg", "00000000000000001"})
        EXPECT_FALSE(vd_string_to_xxh64(bad, back)) << bad;

    std::vector<uint8_t> bytes;
    EXPECT_TRUE(vd_string_to_sha1("00ff10", bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xff, 0x10}));
    vd_sha1_to_string(bytes, text);
    EXPECT_EQ(text, "00ff10");
    EXPECT_FALSE(vd_string_to_sha1("abc", bytes));
    EXPECT_FALSE(vd_string_to_sha1("zz", bytes));
}

TEST(HostHelpers, TextHelpers)
{
    std::string text = " \t padded \n";
    vd_trim(text);
    EXPECT_EQ(text, "padded");
    text = "  left";
    vd_ltrim(text);
    EXPECT_EQ(text, "left");

    std::map<std::string, std::string> vars{{"path_state_persistent", "/var/lib/x"}};
    EXPECT_EQ(vd_expand_variables("${path_state_persistent}/doh.csv", vars), "/var/lib/x/doh.csv");
    EXPECT_EQ(vd_expand_variables("${unknown}/a ${", vars), "${unknown}/a ${");

    EXPECT_EQ(vd_file_exists("/"), 1);
    EXPECT_EQ(vd_file_exists("/nonexistent-path"), 0);
}

TEST(HostHelpers, JsonWithInvalidUtf8RendersWithoutThrowing)
{
    json document = {{"name", std::string("bad\xff\xfe")}};
    std::string text;
    ASSERT_NO_THROW(vd_json_to_string(document, text));
    EXPECT_EQ(text, "{\"name\":\"bad\xEF\xBF\xBD\xEF\xBF\xBD\"}");
    vd_json_to_string(json{{"a", 1}}, text, true);
    EXPECT_NE(text.find('\n'), std::string::npos);
}

TEST(HostHelpers, MonotonicClockCanBeAdvanced)
{
    time_t before = vd_time_monotonic();
    vd_time_monotonic_advance(600);
    EXPECT_GE(vd_time_monotonic(), before + 600);
}

TEST(HostLog, DebugLinesOnlyInDebugMode)
{
    {
        LogCapture capture(false);
        vd_printf("op %d\n", 1);
        vd_dprintf("debug %d\n", 2);
        EXPECT_EQ(capture.Lines(), std::vector<std::string>{"op 1\n"});
    }
    LogCapture capture(true);
    vd_dprintf("debug %s\n", "on");
    EXPECT_EQ(capture.Lines(vdLogLevel::debug), std::vector<std::string>{"debug on\n"});
}

TEST(HostFlowMap, BucketsHoldFlowsByDigest)
{
    vdFlowMap map(4);
    for (uint64_t digest = 1; digest <= 8; digest++) {
        auto flow = std::make_shared<vdFlow>();
        flow->digest = digest;
        map.Insert(flow);
    }
    size_t total = 0;
    for (size_t i = 0; i < map.buckets; i++) {
        total += map.Acquire(i).size();
        map.Release(i);
    }
    EXPECT_EQ(total, 8u);
    EXPECT_THROW(map.Acquire(4), vdException);
}

TEST(HostFlowMap, ADigestSelectsTheBucketOfItsRemainder)
{
    // The stand-in's rule: bucket = digest % buckets.
    const std::vector<std::set<uint64_t>> expected = {{4, 8, 12}, {1, 5, 9}, {2, 6, 10}, {3, 7, 11}};
    vdFlowMap map(4);
    for (uint64_t digest = 1; digest <= 12; digest++) {
        auto flow = std::make_shared<vdFlow>();
        flow->digest = digest;
        map.Insert(flow);
    }
    for (size_t i = 0; i < map.buckets; i++) {
        std::set<uint64_t> held;
        for (const auto &[digest, flow] : map.Acquire(i)) {
            held.insert(digest);
            EXPECT_EQ(flow->digest, digest);
        }
        map.Release(i);
        EXPECT_EQ(held, expected[i]) << "bucket " << i;
    }
}
