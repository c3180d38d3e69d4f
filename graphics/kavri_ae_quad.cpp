// A source quadrilateral resampled into a destination rectangle, stepped
// incrementally row by row through the host's sub-pixel sampling.
#include "graphics/kavri_ae_graphics_utils.h"

// 16.16 sample position along one axis, clamped to the source's first and last
// pixel.
static PF_Fixed clampedFixed(float s, int32_t extent) {
    if (s < 0) return 0;
    if (s > static_cast<float>(extent - 1)) return truncToInt32(static_cast<float>(extent - 1) * 65536.0f);
    return truncToInt32(65536.0f * s);
}

void drawQuadToRect(PF_InData* in_data, PF_LayerDef* source, PF_LayerDef* destination, PF_PathVertex* quad,
                    int left, int top, int right, int bottom) {
    PF_SampPB block;
    setUpPFSampPB(&block, source);
    const double rows = static_cast<double>(bottom) - top;
    const double cols = static_cast<double>(right) - left;
    const float dLx = static_cast<float>((quad[3].x - quad[0].x) / rows);
    const float dLy = static_cast<float>((quad[3].y - quad[0].y) / rows);
    const float dRx = static_cast<float>((quad[2].x - quad[1].x) / rows);
    const float dRy = static_cast<float>((quad[2].y - quad[1].y) / rows);
    if (bottom <= top) return;
    const bool can_sample = in_data->utils && in_data->utils->subpixel_sample && source->width > 0 &&
                            source->height > 0;
    for (int y = top; y < bottom; ++y) {
        float sx = static_cast<float>(quad[0].x), sy = static_cast<float>(quad[0].y);
        const float stepx = static_cast<float>((quad[1].x - sx) / cols);
        const float stepy = static_cast<float>((quad[1].y - sy) / cols);
        for (int x = left; x < right; ++x) {
            if (can_sample && x >= 0 && x < destination->width && y >= 0 && y < destination->height) {
                const PF_Fixed fx = clampedFixed(sx, source->width);
                const PF_Fixed fy = clampedFixed(sy, source->height);
                in_data->utils->subpixel_sample(in_data->effect_ref, fx, fy, &block, worldPixel(destination, x, y));
            }
            sx += stepx;
            sy += stepy;
        }
        quad[0].x += dLx;
        quad[0].y += dLy;
        quad[1].x += dRx;
        quad[1].y += dRy;
    }
}
