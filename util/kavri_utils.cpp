#include "util/kavri_utils.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void crushNewlines(char* text) {
    char* out = text;
    bool after_break = false;
    for (const char* in = text; *in; ++in) {
        const char c = *in;
        if (after_break && (c == '\n' || c == '\r' || c == '\t' || c == ' ')) continue;
        after_break = false;
        if (c == '\r') {
            *out++ = '\n';
            after_break = true;
        } else {
            *out++ = c;
            if (c == '\n') after_break = true;
        }
    }
    *out = 0;
}

int startsWith(const char* data, const char* prefix) {
    for (; *prefix; ++prefix, ++data)
        if (*data != *prefix) return 0;
    return 1;
}

char* readFile(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (!file) return nullptr;
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) {
        std::fclose(file);
        return nullptr;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    char* buffer = static_cast<char*>(std::calloc(size + 1, 1));
    if (!buffer) {
        std::fclose(file);
        return nullptr;
    }
    const size_t got = std::fread(buffer, 1, size, file);
    const bool failed = got < size && std::ferror(file);
    std::fclose(file);
    if (failed) {
        std::free(buffer);
        return nullptr;
    }
    return buffer;
}

int fileExists(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (!file) return 0;
    std::fclose(file);
    return 1;
}

void freeAt(void** pointer) {
    if (!pointer) return;
    std::free(*pointer);
    *pointer = nullptr;
}

void clearMem(void* block, int size) {
    if (size <= 0) return;
    std::memset(block, 0, static_cast<size_t>(size));
}

void splitString(const char* data, const char* delimiter, KvSplit* split) {
    const size_t dlen = std::strlen(delimiter);
    char* const end = split->text + kKvSplitTextSize - 1;  // room kept for the last terminator
    char* w = split->text;
    split->count = 1;
    split->items[0] = w;
    while (*data) {
        if (dlen > 0 && std::strncmp(data, delimiter, dlen) == 0) {
            if (w >= end || split->count >= kKvSplitMaxItems) break;
            *w++ = 0;
            split->items[split->count++] = w;
            data += dlen;
        } else {
            if (w >= end) break;
            *w++ = *data++;
        }
    }
    *w = 0;
}
