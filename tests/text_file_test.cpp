// TextFile against real files: missing, empty, CRLF, large, and unsizable ones.
#include "graphics/text_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class TextFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/text_file_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + folder).c_str()); }

    std::string write(const char* name, const std::string& bytes)
    {
        const std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string folder;
};

TEST_F(TextFileTest, MissingFileHasNoText)
{
    const TextFile file((folder + "/missing.frag").c_str());
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.c_str(), nullptr);
}

TEST_F(TextFileTest, EmptyFileOpensAsEmptyText)
{
    const TextFile file(write("empty.frag", "").c_str());
    ASSERT_TRUE(file.is_open());
    EXPECT_STREQ(file.c_str(), "");
}

TEST_F(TextFileTest, TextArrivesWholeWithLineEndsAsTheyAre)
{
    for (const std::string text : {"void main() {}\r\n// two\r\n", "no line end", "a\nb\n"}) {
        const TextFile file(write("text.frag", text).c_str());
        ASSERT_TRUE(file.is_open());
        EXPECT_EQ(std::string(file.c_str()), text);
    }
}

TEST_F(TextFileTest, FileLargerThanOneReadArrivesWhole)
{
    std::string text;
    for (int line = 0; text.size() < 3 * 1024 * 1024 + 7; ++line) {
        text += "// line " + std::to_string(line) + "\n";
    }
    const TextFile file(write("large.frag", text).c_str());
    ASSERT_TRUE(file.is_open());
    EXPECT_EQ(std::string(file.c_str()), text);
}

TEST_F(TextFileTest, UnsizableFilesEndWithoutText)
{
    // A directory opens on Linux; sizes past 2 GiB do not fit the signed size.
    const std::string directory = folder + "/directory.frag";
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    const std::string huge = write("huge.frag", "");
    const std::string wraps = write("wraps.frag", "");
    ASSERT_EQ(truncate(huge.c_str(), 2LL * 1024 * 1024 * 1024), 0);
    ASSERT_EQ(truncate(wraps.c_str(), 4LL * 1024 * 1024 * 1024 + 16), 0);
    for (const std::string& path : {directory, huge, wraps, std::string("/dev/null")}) {
        const TextFile file(path.c_str());
        EXPECT_FALSE(file.is_open()) << path;
        EXPECT_EQ(file.c_str(), nullptr) << path;
    }
}

} // namespace
