// TextFile: the whole contents of one file as a NUL-terminated text.
#pragma once

#include <cstdint>

class TextFile {
public:
    explicit TextFile(const char* path);
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    [[nodiscard]] bool is_open() const { return text != nullptr; }
    [[nodiscard]] const char* c_str() const { return text; }

private:
    char* text = nullptr;
    // Capacity bound measured in binary mode; text mode may deliver fewer bytes.
    int32_t size = 0;
};
