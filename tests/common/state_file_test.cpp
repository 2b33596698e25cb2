// State files: replaced whole or not at all, and read back within a bound
// without ever blocking on something that is not a regular file.
#include "common/state_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/temp_dir.h"

namespace {

using vppFile::ReadStatus;

// Every name in the directory, to show no temporary file is left behind.
std::set<std::string> Names(const std::string &directory)
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(StateFile, AWriteReplacesTheWholeFile)
{
    TempDir dir;
    const std::string path = dir.Path("state");
    const std::string binary("first\n\0second", 13);
    ASSERT_EQ(vppStateFile::Write(path, binary), std::nullopt);
    EXPECT_EQ(dir.ReadFile("state"), binary);

    // A shorter text leaves nothing of the longer one.
    ASSERT_EQ(vppStateFile::Write(path, "7\n"), std::nullopt);
    auto read = vppStateFile::Read(path, 2);
    EXPECT_EQ(read.status, ReadStatus::ok);
    EXPECT_EQ(read.text, "7\n");

    ASSERT_EQ(vppStateFile::Write(path, ""), std::nullopt);
    EXPECT_EQ(dir.ReadFile("state"), "");
    EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"state"});

    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(StateFile, AFailedWriteSaysWhyAndLeavesTheOldFileAsItWas)
{
    TempDir dir;
    // The temporary file's name is the target's plus 7 characters: a target
    // name of 250 fits, its temporary file's does not.
    const std::string long_name(250, 'n');
    dir.WriteFile(long_name, "old\n");
    // A directory in the target's place: written, then the rename fails.
    dir.WriteFile("taken/inside", "old\n");

    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {
        {dir.Path("no/such/directory/state"), "No such file or directory"},
        {dir.Path(long_name), "File name too long"},
        {dir.Path("taken"), "Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(vppStateFile::Write(c.path, "new\n"), c.reason);
    }
    EXPECT_EQ(dir.ReadFile(long_name), "old\n");
    EXPECT_EQ(dir.ReadFile("taken/inside"), "old\n");
    EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{long_name, "taken"}));
    EXPECT_EQ(Names(dir.Path("taken")), std::set<std::string>{"inside"});
}

TEST(StateFile, AReadGivesTextMissingOrWhyNot)
{
    TempDir dir;
    dir.WriteFile("fits", "0123456789");
    dir.WriteFile("too-large", "0123456789x");
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);

    struct Case {
        std::string name;
        ReadStatus status;
        std::string text;
        std::string error;
    } cases[] = {
        {"fits", ReadStatus::ok, "0123456789", ""},
        {"absent", ReadStatus::missing, "", ""},
        {"too-large", ReadStatus::error, "", "larger than 10 bytes"},
        // Opened for a blocking read, a FIFO with no writer would hang.
        {"fifo", ReadStatus::error, "", "not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto result = vppStateFile::Read(dir.Path(c.name), 10);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.text, c.text);
        EXPECT_EQ(result.error, c.error);
    }
}

}  // namespace
