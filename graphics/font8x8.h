// The 8x8 bitmap font and the routines that draw characters, strings and
// formatted text into an 8-bit world.
//
// Every character is an opaque 8 by 8 cell: glyph pixels take the caller's colour
// (all four bytes), the rest of the cell becomes opaque black. Cells advance 8
// pixels right, lines 8 pixels down. Each pixel is clipped to the world on its
// own, so any position is safe: text off the world simply is not drawn.
#pragma once

#include <cstdint>

#include "framework/kavri_ae_effect_framework.h"

// 128 glyphs of 8 row bytes, row 0 at the top; bit 7 is the leftmost column.
extern "C" KAVRI_EXPORT const uint8_t font8x8[128 * 8];

static const int kFontFallbackGlyph = 63;  // "?", for codes outside 0..127
enum { kDrawfBufferSize = 16384 };  // formatted text longer than this is cut

// One cell; c outside 0..127 draws the fallback glyph. No code is special.
void drawChar(PF_LayerDef* world, PF_Pixel* color, int x, int y, int c);
// A string; line feed and carriage return each start a new line at x.
void draws(PF_LayerDef* world, PF_Pixel* color, int x, int y, const char* s);
void drawf(PF_LayerDef* world, PF_Pixel* color, int x, int y, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void vdrawf(PF_LayerDef* world, PF_Pixel* color, int x, int y, const char* format, va_list args);
