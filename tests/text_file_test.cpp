// TextFile against real files: missing, empty, CRLF, large, and unsizable
// ones; and against the C library failing at each call that matters.
#include "graphics/text_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// TextFile's calls of these reach the wrappers below: the test links with
// -Wl,--wrap for each (tests/CMakeLists.txt). Each fails once when armed.
namespace {
struct {
    const char* fopen_mode = nullptr; // the next fopen in this mode fails
    bool fseek = false;
    bool malloc = false;
    bool ferror = false;
    void* allocated = nullptr; // the last block handed out, until freed
} failing;
} // namespace

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
int __real_fseek(FILE* file, long offset, int whence);
void* __real_malloc(size_t size);
void __real_free(void* block);
int __real_ferror(FILE* file);

FILE* __wrap_fopen(const char* path, const char* mode)
{
    if (failing.fopen_mode != nullptr && std::strcmp(mode, failing.fopen_mode) == 0) {
        failing.fopen_mode = nullptr;
        errno = EACCES;
        return nullptr;
    }
    return __real_fopen(path, mode);
}

int __wrap_fseek(FILE* file, long offset, int whence)
{
    if (failing.fseek) {
        failing.fseek = false;
        errno = EINVAL;
        return -1;
    }
    return __real_fseek(file, offset, whence);
}

void* __wrap_malloc(size_t size)
{
    if (failing.malloc) {
        failing.malloc = false;
        errno = ENOMEM;
        return nullptr;
    }
    return failing.allocated = __real_malloc(size);
}

void __wrap_free(void* block)
{
    if (block != nullptr && block == failing.allocated) {
        failing.allocated = nullptr;
    }
    __real_free(block);
}

int __wrap_ferror(FILE* file)
{
    if (failing.ferror) {
        failing.ferror = false;
        return 1;
    }
    return __real_ferror(file);
}
}

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

TEST_F(TextFileTest, FailuresOfTheLibraryEndWithoutTextAndReleaseTheBuffer)
{
    const std::string path = write("text.frag", "void main() {}\n");
    const struct {
        const char* what;
        void (*arm)();
    } cases[] = {
        {"binary-mode open", [] { failing.fopen_mode = "rb"; }},
        {"seek to the end", [] { failing.fseek = true; }},
        {"text-mode open after the binary one", [] { failing.fopen_mode = "rt"; }},
        {"allocation", [] { failing.malloc = true; }},
        {"read", [] { failing.ferror = true; }},
    };
    for (const auto& failure : cases) {
        failure.arm();
        {
            const TextFile file(path.c_str());
            EXPECT_FALSE(file.is_open()) << failure.what;
            EXPECT_EQ(file.c_str(), nullptr) << failure.what;
        }
        EXPECT_EQ(failing.fopen_mode, nullptr) << failure.what << ": never reached";
        EXPECT_FALSE(failing.fseek || failing.malloc || failing.ferror)
            << failure.what << ": never reached";
        EXPECT_EQ(failing.allocated, nullptr) << failure.what << ": buffer not released";
    }
    const TextFile file(path.c_str());
    EXPECT_STREQ(file.c_str(), "void main() {}\n");
}

} // namespace
