#include "graphics/kavri_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "graphics/font8x8.h"

void clearText(KvText* block, PF_InData* in_data, PF_LayerDef* world, PF_Pixel* color, int x, int y) {
    block->text[0] = 0;
    block->in_data = in_data;
    block->world = world;
    block->color = color;
    block->x = x;
    block->y = y;
}

void printText(KvText* block, const char* format, ...) {
    const size_t n = std::strlen(block->text);
    if (n > kKvTextLimit) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(block->text + n, kKvTextAppendMax + 1, format, args);
    va_end(args);
}

void drawText(KvText* block) {
    draws(block->world, block->color, block->x, block->y, block->text);
}
