#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/file_reader.h"
#include "support/temp_dir.h"

using vppFile::ReadStatus;
using vppFile::SequentialReader;

namespace {

// Bytes that tell their own offset apart, over several read buffers.
std::string Pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; i++)
        text[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return text;
}

TEST(SequentialReader, PiecesAndSkipsAcrossBufferBoundsMatchTheFile)
{
    TempDir dir;
    const std::string text = Pattern(200 * 1024 + 17);
    SequentialReader reader(dir.WriteFile("data", text));
    ASSERT_EQ(reader.Status(), ReadStatus::ok);
    EXPECT_EQ(reader.Size(), text.size());

    // Read (positive) or skip (negative) lengths, crossing the 64 KiB buffer
    // in both ways and skipping beyond what is buffered.
    const std::vector<long> steps = {24, -100, 65000, 1000, -70000, 3, -5, 40000, -10000, 1};
    size_t at = 0;
    for (long step : steps) {
        if (step < 0) {
            ASSERT_TRUE(reader.Skip(uint64_t(-step))) << at;
            at += size_t(-step);
            continue;
        }
        std::string piece(size_t(step), '\0');
        ASSERT_TRUE(reader.Read(piece.data(), piece.size())) << at;
        EXPECT_EQ(piece, text.substr(at, piece.size())) << at;
        at += piece.size();
    }
    std::string rest(text.size() - at, '\0');
    ASSERT_TRUE(reader.Read(rest.data(), rest.size()));
    EXPECT_EQ(rest, text.substr(at));

    char one;
    EXPECT_FALSE(reader.Read(&one, 1));
    EXPECT_EQ(reader.Error(), "unexpected end of file");
}

TEST(SequentialReader, OpensOnlyRegularFilesWithoutBlocking)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        ReadStatus status;
        std::string error;
    } cases[] = {
        {dir.Path("absent"), ReadStatus::missing, ""},
        {dir.Path("fifo"), ReadStatus::error, "not a regular file"},
        {dir.Path(), ReadStatus::error, "not a regular file"},
        {dir.WriteFile("file", "x") + "/below", ReadStatus::error, "Not a directory"},
    };
    for (const auto &c : cases) {
        SequentialReader reader(c.path);
        EXPECT_EQ(reader.Status(), c.status) << c.path;
        EXPECT_EQ(reader.Error(), c.error) << c.path;
        char byte;
        EXPECT_FALSE(reader.Read(&byte, 1)) << c.path;
        EXPECT_FALSE(reader.Skip(1)) << c.path;
    }
}

}  // namespace
