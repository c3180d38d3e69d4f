// Whole-layer and rectangle operations on 8-bit worlds.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "graphics/kavri_ae_graphics_utils.h"
#include "graphics/kavri_isa.h"
#include "graphics/kavri_tint_lanes.h"

void tintPrepare(TintTable* table, const PF_Pixel* tint) {
    table->tint = *tint;
}

// A vector of pixels at a time (graphics/kavri_tint_lanes.h): 4 with the plain
// build, 8 with AVX2, 16 with AVX-512.
static void tintPixelsPlain(const PF_Pixel* s, PF_Pixel* d, int32_t n, const PF_Pixel& tint) {
    tintPixelsBy<16>(s, d, n, tint);
}

__attribute__((target("avx2"))) static void tintPixelsAvx2(const PF_Pixel* s, PF_Pixel* d, int32_t n,
                                                           const PF_Pixel& tint) {
    tintPixelsBy<32>(s, d, n, tint);
}

__attribute__((target("avx512f,avx512bw"))) static void tintPixelsAvx512(const PF_Pixel* s, PF_Pixel* d, int32_t n,
                                                                         const PF_Pixel& tint) {
    tintPixelsBy<64>(s, d, n, tint);
}

void tintRowColumns(const TintTable* table, const PF_LayerDef* source, PF_LayerDef* destination, int32_t y,
                    int32_t x0, int32_t x1) {
    const PF_Pixel* s = worldPixel(const_cast<PF_LayerDef*>(source), 0, y);
    PF_Pixel* d = worldPixel(destination, 0, y);
    if (kvReferencePaths()) {
        // The formula pixel by pixel, kept to check the vectors against.
        const PF_Pixel& t = table->tint;
        for (int32_t x = x0; x < x1; ++x) {
            PF_Pixel p = s[x];
            d[x].red = static_cast<A_u_char>(static_cast<int>((t.red * p.red) / 255.0));
            d[x].green = static_cast<A_u_char>(static_cast<int>((t.green * p.green) / 255.0));
            d[x].blue = static_cast<A_u_char>(static_cast<int>((t.blue * p.blue) / 255.0));
            d[x].alpha = static_cast<A_u_char>(static_cast<int>((t.alpha * p.alpha) / 255.0));
        }
        return;
    }
    if (x0 < x1) kvByIsa(tintPixelsPlain, tintPixelsAvx2, tintPixelsAvx512)(s + x0, d + x0, x1 - x0, table->tint);
}

void tintRow(const TintTable* table, const PF_LayerDef* source, PF_LayerDef* destination, int32_t y) {
    tintRowColumns(table, source, destination, y, 0, source->width);
}

int r_tintedCopyLayer(PF_LayerDef* source, PF_LayerDef* destination, PF_Pixel* tint) {
    if (destination->width != source->width) return -1;
    if (destination->height != source->height) return -1;
    TintTable table;
    tintPrepare(&table, tint);
    for (int32_t y = 0; y < source->height; ++y) tintRow(&table, source, destination, y);
    return 0;
}

void alphaFillPrepare(AlphaFill* fill, const PF_Pixel* color) {
    // Every alpha the formula can give, evaluated exactly as written:
    // trunc(source alpha * colour alpha / 255) in single precision.
    const float colour_alpha = color->alpha;
    for (int a = 0; a < 256; ++a)
        fill->alpha_of[a] = static_cast<uint8_t>(static_cast<int>(static_cast<float>(a) * colour_alpha / 255.0f));
    PF_Pixel rgb = *color;
    rgb.alpha = 0;
    fill->pattern = pixelWord(rgb);
    fill->color = *color;
}

void alphaFillRow(const AlphaFill* fill, const PF_LayerDef* source, PF_LayerDef* destination, int32_t y, int32_t x0,
                  int32_t x1) {
    const bool row_in_source = y < source->height;
    const PF_Pixel* sp = row_in_source ? worldPixel(const_cast<PF_LayerDef*>(source), 0, y) : nullptr;
    if (kvReferencePaths()) {
        // The formula pixel by pixel, kept to check the table against.
        PF_Pixel* dp = worldPixel(destination, 0, y);
        for (int32_t x = x0; x < x1; ++x) {
            const float source_alpha = (row_in_source && x < source->width) ? sp[x].alpha : 0;
            dp[x].blue = fill->color.blue;
            dp[x].green = fill->color.green;
            dp[x].red = fill->color.red;
            dp[x].alpha =
                static_cast<A_u_char>(static_cast<int>(source_alpha * static_cast<float>(fill->color.alpha) / 255.0f));
        }
        return;
    }
    uint32_t* d = reinterpret_cast<uint32_t*>(worldPixel(destination, 0, y));
    const uint32_t* s = reinterpret_cast<const uint32_t*>(sp);
    // Pixels the source does not cover get alpha 0.
    const int32_t covered = row_in_source ? std::min(x1, source->width) : x0;
    const uint32_t pattern = fill->pattern;
    int32_t x = x0;
    if (fill->color.alpha == 255) {
        // the table is the identity: keep the source's alpha byte (vectorises)
        const uint32_t alpha_mask = pixelWord(PF_Pixel{0xFF, 0, 0, 0});
        for (; x < covered; ++x) d[x] = (s[x] & alpha_mask) | pattern;
    } else {
        for (; x < covered; ++x) d[x] = pattern | pixelWord(PF_Pixel{fill->alpha_of[sp[x].alpha], 0, 0, 0});
    }
    for (; x < x1; ++x) d[x] = pattern;
}

void fill_preserving_alpha(PF_Pixel* color, PF_LRect* rect, PF_LayerDef* source, PF_LayerDef* destination) {
    const int32_t x0 = std::max<int32_t>(0, rect->left), x1 = std::min(rect->right, destination->width);
    const int32_t y0 = std::max<int32_t>(0, rect->top), y1 = std::min(rect->bottom, destination->height);
    if (x0 >= x1 || y0 >= y1) return;
    AlphaFill fill;
    alphaFillPrepare(&fill, color);
    for (int32_t y = y0; y < y1; ++y) alphaFillRow(&fill, source, destination, y, x0, x1);
}

void r_fill_rect(PF_InData* in_data, PF_Pixel* color, PF_LRect* rect, PF_LayerDef* world) {
    if (!in_data->utils || !in_data->utils->fill) return;
    if (!rect) {
        in_data->utils->fill(in_data->effect_ref, color, nullptr, world);
        return;
    }
    if (rect->left >= 0 && rect->right < world->width && rect->top >= 0 && rect->bottom < world->height) {
        in_data->utils->fill(in_data->effect_ref, color, rect, world);
        return;
    }
    PF_LRect clipped = *rect;
    r_clip_rect_to_world(&clipped, world);
    if (clipped.left >= clipped.right || clipped.top >= clipped.bottom) return;
    in_data->utils->fill(in_data->effect_ref, color, &clipped, world);
}

PF_Err r_composite_rect(PF_InData* in_data, PF_LRect* src_rect, long src_opacity, PF_LayerDef* source,
                        long dest_x, long dest_y, int field_rdr, int xfer_mode, PF_LayerDef* destination) {
    // 64-bit throughout: offsets and edges can be anything a caller computes.
    int64_t left = src_rect->left, top = src_rect->top, right = src_rect->right, bottom = src_rect->bottom;
    int64_t dx = dest_x, dy = dest_y;
    // Never ask the host to read outside the source.
    if (left < 0) { dx -= left; left = 0; }
    if (top < 0) { dy -= top; top = 0; }
    right = std::min<int64_t>(right, source->width);
    bottom = std::min<int64_t>(bottom, source->height);
    if (dx < 0) { left -= dx; dx = 0; }
    if (dy < 0) { top -= dy; dy = 0; }
    int64_t over = (right - left) + dx - destination->width;
    if (over > 0) right -= over;
    over = (bottom - top) + dy - destination->height;
    if (over > 0) bottom -= over;
    if (left >= right || top >= bottom) return PF_Err_NONE;
    if (!in_data->utils || !in_data->utils->composite_rect) return PF_Err_BAD_CALLBACK_PARAM;
    PF_LRect copy = {static_cast<A_long>(left), static_cast<A_long>(top), static_cast<A_long>(right),
                     static_cast<A_long>(bottom)};
    return in_data->utils->composite_rect(in_data->effect_ref, &copy, static_cast<A_long>(src_opacity), source,
                                          static_cast<A_long>(dx), static_cast<A_long>(dy), field_rdr, xfer_mode,
                                          destination);
}

void r_blend_pixel_one(PF_Pixel* source, PF_Pixel* destination, float k) {
    destination->red = truncToByte(source->red + destination->red * k);
    destination->green = truncToByte(source->green + destination->green * k);
    destination->blue = truncToByte(source->blue + destination->blue * k);
    destination->alpha = truncToByte(source->alpha + destination->alpha * k);
}

long r_average_rect(PF_LayerDef* world, PF_LRect* rect) {
    if (!world || !world->data) return 0;
    const int32_t y0 = std::max<int32_t>(0, rect->top), y1 = std::min(rect->bottom, world->height);
    if (y0 >= y1) return 0;
    const int32_t x0 = std::max<int32_t>(0, rect->left), x1 = std::min(rect->right, world->width);
    int64_t sum = 0, count = 0;
    for (int32_t y = y0; y < y1; ++y) {
        const PF_Pixel* row = worldPixel(world, 0, y);
        for (int32_t x = x0; x < x1; ++x) {
            sum += row[x].red + row[x].green + row[x].blue;
            ++count;
        }
    }
    if (count == 0) return 0;
    return static_cast<long>(sum / (3 * count));
}
