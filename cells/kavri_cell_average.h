// Cell colour averaging: the average alpha, red, green and blue of a rectangle
// of a layer as floats, exactly as adding the pixels one by one in single
// precision gives them, and the running sums a sweep keeps for many cells at
// once. What an average is (not quite the mean) is said in cells/kavri_cells.h.
#pragma once

#include <cstdint>
#include <cstring>

#include "graphics/kavri_ae_graphics_utils.h"

// Average alpha, red, green, blue over the rectangle, as floats on the 0..255
// scale: (sum + n / 2) / n, the mean raised so that truncation rounds it. The
// rectangle is clipped in place; an edge of exactly 0 reads the first column or
// row. 128 in every channel for a count of 0 or a world with no pixels; an
// area wholly outside has a negative count and gives (n / 2) / n.
void r_average_rect_rgba(PF_LayerDef* world, PF_LRect* rect, PF_PixelFloat* average);
void r_average_frect_rgba(PF_LayerDef* world, FRect* rect, PF_PixelFloat* average);
// n additions of the whole number b to sum, one after another in single
// precision, computed in closed form where the rounding repeats.
float addRepeated(float sum, uint32_t b, int64_t n);
// The same sums computed pixel by pixel in float, kept as the reference for the
// fast path above.
void r_average_rect_rgba_reference(PF_LayerDef* world, PF_LRect* rect, PF_PixelFloat* average);

// The sums of one cell, added row by row from top to bottom.
struct CellSum {
    PF_LRect rect;     // after clipping and the edge substitutions
    bool readable;     // the world has pixels
    bool whole_exact;  // no channel can pass 2^24
    bool in_float[4];
    uint64_t exact[4];
    float sums[4];
};

// Adds the integer sums of the cell's next row: returns the channels (bit c for
// channel c) that must still be added pixel by pixel in float.
unsigned cellSumRowApply(CellSum* s, const uint64_t row_sums[4]);
// Adds row y, the next row of the cell, whole.
void cellSumAddRow(CellSum* s, PF_LayerDef* world, int32_t y);
// The average of the complete sums.
void cellSumEnd(const CellSum* s, PF_PixelFloat* average);

// ---- inline: a sweep calls these for every cell and every row ----

// A float sum of bytes is exact while it stays at or below 2^24, so each channel
// is summed by whole rows in integers until a row could take it past that; from
// that row on the channel goes on in float, pixel by pixel in the reference's
// order. Rows whose bytes in a channel are all 0 or all 255 are added in closed
// form (addRepeated), which gives the same float as adding them one by one.
constexpr uint64_t kExactFloatLimit = 1u << 24;

// Clips and applies the substitutions for an edge of exactly 0. Returns false for
// a world with no pixels, whose average is 128 without reading anything.
inline bool prepareAverageRect(PF_LayerDef* world, PF_LRect* rect) {
    r_clip_rect_to_world(rect, world);
    if (world->width <= 0 || world->height <= 0 || !world->data) return false;
    if (rect->right == 0) rect->right = 1;
    if (rect->bottom == 0) rect->bottom = 1;
    return true;
}

// Starts the sums of the rectangle (clipped and adjusted in place, as
// r_average_rect_rgba does).
inline void cellSumBegin(CellSum* s, PF_LayerDef* world, PF_LRect* rect) {
    std::memset(s, 0, sizeof(*s));
    s->readable = prepareAverageRect(world, rect);
    s->rect = *rect;
    const uint64_t columns = rect->left < rect->right ? static_cast<uint64_t>(rect->right - rect->left) : 0;
    const uint64_t rows = rect->top < rect->bottom ? static_cast<uint64_t>(rect->bottom - rect->top) : 0;
    s->whole_exact = columns * rows * 255 <= kExactFloatLimit;
}

// Whether the cell reads any pixel at all.
inline bool cellSumReads(const CellSum* s) {
    return s->readable && s->rect.left < s->rect.right && s->rect.top < s->rect.bottom;
}
