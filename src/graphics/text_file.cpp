// TextFile: reads a file whole; ends without text on anything it cannot size soundly.
#include "text_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// Size of a regular file by seeking to its end, or -1. A directory opens on
// Linux and can report any seek position, so only regular files are sized;
// where fstat fails, the zeroed mode reads as not regular.
long measure_size(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return -1;
    }
    struct stat info {};
    fstat(fileno(file), &info);
    long end = -1;
    if (S_ISREG(info.st_mode) && std::fseek(file, 0, SEEK_END) == 0) {
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
    char* const buffer = static_cast<char*>(std::malloc(static_cast<size_t>(measured) + 1));
    if (buffer != nullptr) {
        const size_t read = std::fread(buffer, 1, static_cast<size_t>(measured), file);
        buffer[read] = '\0';
        if (std::ferror(file) == 0) {
            text = buffer;
            size = static_cast<int32_t>(measured);
        } else {
            std::free(buffer);
        }
    }
    std::fclose(file);
}

TextFile::~TextFile()
{
    std::free(text);
}
