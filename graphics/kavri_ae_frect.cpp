// Rectangles with fractional edges: whole pixels through the host's fill, the
// partly covered border blended by its coverage.
#include <algorithm>
#include <cmath>

#include "graphics/kavri_ae_graphics_utils.h"

static const float kMinCoverage = 0.02f;  // thinner slivers are not drawn

static void blendRow(PF_LayerDef* world, PF_Pixel* color, int32_t y, int32_t x0, int32_t x1, float k) {
    PF_Pixel* row = worldPixel(world, 0, y);
    for (int32_t x = x0; x < x1; ++x) r_blend_pixel_both(color, &row[x], k);
}

static void blendColumn(PF_LayerDef* world, PF_Pixel* color, int32_t x, int32_t y0, int32_t y1, float k) {
    for (int32_t y = y0; y < y1; ++y) r_blend_pixel_both(color, worldPixel(world, x, y), k);
}

void r_fill_frect(PF_InData* in_data, PF_Pixel* color, FRect* rect, PF_LayerDef* world) {
    const float W = static_cast<float>(world->width), H = static_cast<float>(world->height);
    const float fl = std::max(0.0f, rect->left), ft = std::max(0.0f, rect->top);
    const float fr = std::min(W, rect->right), fb = std::min(H, rect->bottom);
    const int32_t L = truncToInt32(std::ceil(fl)), T = truncToInt32(std::ceil(ft));
    const int32_t R = truncToInt32(std::floor(fr)), B = truncToInt32(std::floor(fb));
    // Nothing whole-numbered inside along one axis: no pixel is touched.
    if (B < T || R < L) return;

    PF_LRect interior = {L, T, R, B};
    r_fill_rect(in_data, color, &interior, world);
    if (in_data->quality == PF_Quality_LO) return;

    float lc = static_cast<float>(L) - fl, tc = static_cast<float>(T) - ft;
    float rc = fr - static_cast<float>(R), bc = fb - static_cast<float>(B);
    if (lc < kMinCoverage) lc = 0;
    if (tc < kMinCoverage) tc = 0;
    if (rc < kMinCoverage) rc = 0;
    if (bc < kMinCoverage) bc = 0;

    // A non-zero coverage always names a row or column inside the world, since
    // the edges were clamped before rounding.
    if (tc != 0) {
        if (lc != 0) r_blend_pixel_both(color, worldPixel(world, L - 1, T - 1), tc * lc);
        blendRow(world, color, T - 1, L, R, tc);
        if (rc != 0) r_blend_pixel_both(color, worldPixel(world, R, T - 1), tc * rc);
    }
    if (bc != 0) {
        if (lc != 0) r_blend_pixel_both(color, worldPixel(world, L - 1, B), lc * bc);
        blendRow(world, color, B, L, R, bc);
        if (rc != 0) r_blend_pixel_both(color, worldPixel(world, R, B), bc * rc);
    }
    if (lc != 0) blendColumn(world, color, L - 1, T, B, lc);
    if (rc != 0) blendColumn(world, color, R, T, B, rc);
}

void drawPip(PF_InData* in_data, PF_LayerDef* world, double x, double y, double size, int red, int green,
             int blue) {
    const double sx = (static_cast<double>(in_data->downsample_x.num) / in_data->downsample_x.den) *
                      (static_cast<double>(in_data->pixel_aspect_ratio.den) / in_data->pixel_aspect_ratio.num);
    const double sy = static_cast<double>(in_data->downsample_y.num) / in_data->downsample_y.den;
    const float w = static_cast<float>(sx * size), h = static_cast<float>(sy * size);
    FRect r;
    r.top = static_cast<float>(y + static_cast<double>(h * -0.5f));
    r.left = static_cast<float>(x + static_cast<double>(w * -0.5f));
    r.bottom = static_cast<float>(y + static_cast<double>(h * 0.5f));
    r.right = static_cast<float>(x + static_cast<double>(w * 0.5f));
    PF_Pixel color = {255, static_cast<A_u_char>(red & 0xFF), static_cast<A_u_char>(green & 0xFF),
                      static_cast<A_u_char>(blue & 0xFF)};
    r_fill_frect(in_data, &color, &r, world);
}
