// TextFile: reads a file whole; ends without text on anything it cannot size soundly.
#include "text_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// Size of a regular file by seeking to its end, or -1. A directory opens on
// Linux and can report any seek position, so only regular files are sized.
long measure_size(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return -1;
    }
    struct stat info {};
    long end = -1;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)
        && std::fseek(file, 0, SEEK_END) == 0) {
        end = std::ftell(file);
    }
    std::fclose(file);
    // The size must stay a signed 32-bit number with room for the NUL.
    return (end >= 0 && end < INT32_MAX) ? end : -1;
}

} // namespace

TextFile::TextFile(const char* path)
{
    const long measured = measure_size(path);
    if (measured < 0) {
        return;
    }
    FILE* file = std::fopen(path, "rt");
    if (file == nullptr) {
        return;
    }
    size = static_cast<int32_t>(measured);
    text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
    if (text != nullptr) {
        const size_t read = std::fread(text, 1, static_cast<size_t>(size), file);
        text[read] = '\0';
        if (std::ferror(file) != 0) {
            std::free(text);
            text = nullptr;
        }
    }
    if (text == nullptr) {
        size = 0;
    }
    std::fclose(file);
}

TextFile::~TextFile()
{
    std::free(text);
}
