// Zero-terminated string helpers, whole-file reading and memory clearing.
#pragma once

enum { kKvSplitTextSize = 3000, kKvSplitMaxItems = 3000 };

struct KvSplit {
    int count;
    char text[kKvSplitTextSize];     // the items, each ending with a zero
    char* items[kKvSplitMaxItems];   // items[i] points into text
};

// Every carriage return becomes a line feed; each line break swallows the line
// breaks, tabs and spaces that follow it. In place; never grows.
void crushNewlines(char* text);
int startsWith(const char* data, const char* prefix);
// A new zero-terminated buffer with the file's contents (free it with free()), or
// null when the file cannot be opened, measured, allocated or read.
char* readFile(const char* path);
int fileExists(const char* path);
void freeAt(void** pointer);
// Clears `size` bytes; a size of 0 or less does nothing.
void clearMem(void* block, int size);
// Splits data at every occurrence of delimiter. Input beyond the record's capacity
// is dropped; an empty delimiter gives the whole input as one item.
void splitString(const char* data, const char* delimiter, KvSplit* split);
