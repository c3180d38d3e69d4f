// A fixed-size text block bound to a world, a colour and a position: clear and
// bind it, append formatted text piece by piece, draw it in one call.
#pragma once

#include "platform/ae_effect.h"

enum {
    kKvTextSize = 12000,       // capacity, terminator included
    kKvTextLimit = 10800,      // appends stop once the text is longer than this
    kKvTextAppendMax = 1199    // one append adds at most this many characters
};

struct KvText {
    char text[kKvTextSize];
    PF_InData* in_data;   // stored, not used by the operations below
    PF_LayerDef* world;   // borrowed: must outlive every drawText
    PF_Pixel* color;      // borrowed, read when the block is drawn
    int32_t x;
    int32_t y;
};

void clearText(KvText* block, PF_InData* in_data, PF_LayerDef* world, PF_Pixel* color, int x, int y);
// Appends; an append longer than kKvTextAppendMax is cut, a full block ignores it.
void printText(KvText* block, const char* format, ...) __attribute__((format(printf, 2, 3)));
void drawText(KvText* block);
