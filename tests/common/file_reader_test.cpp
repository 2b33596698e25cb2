#include "common/file_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/temp_dir.h"

using vppFile::ReadBounded;
using vppFile::ReadStatus;

TEST(FileReader, ReadsWholeFilesWithinTheBound)
{
    TempDir dir;
    const std::string text("{\"a\": 1}\n\0tail", 14);
    auto result = ReadBounded(dir.WriteFile("conf.json", text), 14);
    EXPECT_EQ(result.status, ReadStatus::ok);
    EXPECT_EQ(result.text, text);  // NUL bytes included: the caller decides
    EXPECT_EQ(result.error, "");

    auto empty = ReadBounded(dir.WriteFile("empty", ""), 0);
    EXPECT_EQ(empty.status, ReadStatus::ok);
    EXPECT_EQ(empty.text, "");
}

TEST(FileReader, RefusesWhatItMustNotRead)
{
    TempDir dir;
    dir.WriteFile("big", std::string(15, 'x'));
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);

    struct Case {
        std::string path;
        ReadStatus status;
        std::string error;
    } cases[] = {
        {dir.Path("absent"), ReadStatus::missing, ""},
        {dir.Path("no-such-dir/file"), ReadStatus::missing, ""},
        {dir.Path("big"), ReadStatus::error, "larger than 14 bytes"},
        // Would block forever if opened for a blocking read.
        {dir.Path("fifo"), ReadStatus::error, "not a regular file"},
        {dir.Path(), ReadStatus::error, "not a regular file"},
        {"/dev/zero", ReadStatus::error, "not a regular file"},
        {dir.Path("big/below-a-file"), ReadStatus::error, "Not a directory"},
    };
    for (const auto &c : cases) {
        auto result = ReadBounded(c.path, 14);
        EXPECT_EQ(result.status, c.status) << c.path;
        EXPECT_EQ(result.error, c.error) << c.path;
        EXPECT_EQ(result.text, "") << c.path;
        EXPECT_EQ(result.too_large, c.path == dir.Path("big")) << c.path;
    }
}

TEST(FileReader, FilesLongerThanTheirStatedSizeAreReadWholeWithinTheBound)
{
    // Regular files that state a size of 0 but have text.
    auto status = ReadBounded("/proc/self/status", 1 << 20);
    EXPECT_EQ(status.status, ReadStatus::ok);
    EXPECT_TRUE(status.text.starts_with("Name:")) << status.text.substr(0, 40);
    EXPECT_NE(status.text.find("\nPid:"), std::string::npos);

    auto bounded = ReadBounded("/proc/self/status", 16);
    EXPECT_EQ(bounded.status, ReadStatus::error);
    EXPECT_EQ(bounded.error, "larger than 16 bytes");
}
