// The raster library: parameter accessors and numeric helpers, layer fills,
// copies and blends, the anti-aliased fractional rectangle fill, host geometry
// queries and quad drawing.
//
// Worlds are 8-bit PF_Pixel (alpha, red, green, blue; not premultiplied); pixel
// (x, y) is at data + y * rowbytes + 4 * x. Rectangles are half-open. The routines
// clip to their world and never fail; limits not checked are said per routine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ae_effect.h"

// A rectangle with float edges, half-open; note the field order.
struct FRect {
    float top;
    float left;
    float bottom;   // exclusive
    float right;    // exclusive
};

// ---- conversions ----

// Truncation toward zero to 32 bits, as a cast does for every value in range;
// values beyond the range saturate and NaN gives 0 instead of undefined behaviour.
// Inline: the grid walk and the fractional fill convert every cell's edges.
inline int32_t truncToInt32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}
// (the same in single precision: no float lies between 2147483520 and 2^31, so
// the bounds compare alike)
inline int32_t truncToInt32(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483648.0f) return INT32_MAX;
    if (v <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}
// The same to 64 bits, for counts of cells: counts beyond 32 bits only arise
// far outside the layer, and 64 bits keeps them meaningful there.
inline int64_t truncCount(double v) {
    if (!(v == v)) return 0;
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}
// The same, stored in 8 bits with clamping to 0..255.
inline uint8_t truncToByte(double v) {
    // NaN fails both tests and gives 0, like the saturating truncation.
    if (!(v >= 0)) return 0;
    if (v >= 255) return 255;
    return static_cast<uint8_t>(v);
}
inline uint8_t truncToByte(float v) {
    if (!(v >= 0)) return 0;
    if (v >= 255) return 255;
    return static_cast<uint8_t>(v);
}

// ---- parameter accessors (by stable index; neither index nor type is checked) ----
PF_ParamDef* getParam(PF_ParamDef** params, int index);
double getParamFloat(PF_ParamDef** params, int index);
int32_t getParamInt(PF_ParamDef** params, int index);   // a slider's value (the union's leading 32 bits)
int32_t getParamPopup(PF_ParamDef** params, int index);  // the choice, from 1
bool getParamCheckbox(PF_ParamDef** params, int index);  // on
double getParamFixed(PF_ParamDef** params, int index);   // a fixed slider's value, 16.16 as a number
PF_LayerDef* getParamLayer(PF_ParamDef** params, int index);  // a layer parameter's world
// alpha in bits 0..7, red 8..15, green 16..23, blue 24..31
uint32_t getParamColor(PF_ParamDef** params, int index);
double getParamPointX(PF_ParamDef** params, int index);   // layer pixels
double getParamPointY(PF_ParamDef** params, int index);
double getParamAngle(PF_ParamDef** params, int index);    // degrees
double getParamAngleRadians(PF_ParamDef** params, int index);
double getParamAngleUnitPhase(PF_ParamDef** params, int index);  // turns, in [0, 1)

// The channels of a colour word from getParamColor.
inline uint8_t colorAlpha(uint32_t c) { return c & 0xFF; }
inline uint8_t colorRed(uint32_t c) { return (c >> 8) & 0xFF; }
inline uint8_t colorGreen(uint32_t c) { return (c >> 16) & 0xFF; }
inline uint8_t colorBlue(uint32_t c) { return (c >> 24) & 0xFF; }

// ---- numeric helpers ----
// Linear map in single precision, no clamping; in_max must differ from in_min.
// (written for a float or for a vector of floats, lane by lane the same)
template <typename Floats>
inline Floats mapRangeLanes(Floats value, float in_min, float in_max, float out_min, float out_max) {
    return ((out_max - out_min) * (value - in_min)) / (in_max - in_min) + out_min;
}
inline float mapRange(float value, float in_min, float in_max, float out_min, float out_max) {
    return mapRangeLanes<float>(value, in_min, in_max, out_min, out_max);
}
float mapRangePin(float value, float in_min, float in_max, float out_min, float out_max);
float pinRange(float value, float low, float high);
double zel_interpolate(double a, double b, double t);
// Truncates each channel, clamped to 0..255.
void pixelFloatTo8(PF_PixelFloat* in, PF_Pixel* out);

// ---- layer fills, copies and blends ----
// Copies source into destination with every channel scaled by tint / 255.
// Returns -1 (and writes nothing) when the sizes differ, else 0.
int r_tintedCopyLayer(PF_LayerDef* source, PF_LayerDef* destination, PF_Pixel* tint);
// The colour with alpha = source alpha * colour alpha / 255, over the rectangle
// clipped to the destination. Pixels the source does not cover get alpha 0.
void fill_preserving_alpha(PF_Pixel* color, PF_LRect* rect, PF_LayerDef* source, PF_LayerDef* destination);
// Row-by-row forms of the two backgrounds above, for callers that interleave
// them with other passes over the same rows. Prepare once per frame; the rows
// give the same pixels as the whole-layer routines.
// trunc(t * p / 255) for bytes t and p, in integers: (x + 1 + (x >> 8)) >> 8
// with x = t * p is the same for all 65,536 pairs (a test checks every one),
// and vectors compute it a row at a time.
inline uint8_t tintChannel(uint32_t t, uint32_t p) {
    const uint32_t x = t * p;
    return static_cast<uint8_t>((x + 1 + (x >> 8)) >> 8);
}

struct TintTable {
    PF_Pixel tint;
};
void tintPrepare(TintTable* table, const PF_Pixel* tint);
// Row y of a source and destination of the same size.
void tintRow(const TintTable* table, const PF_LayerDef* source, PF_LayerDef* destination, int32_t y);
// Columns x0 .. x1 - 1 of row y.
void tintRowColumns(const TintTable* table, const PF_LayerDef* source, PF_LayerDef* destination, int32_t y,
                    int32_t x0, int32_t x1);
struct AlphaFill {
    uint8_t alpha_of[256];
    uint32_t pattern;
    PF_Pixel color;
};
void alphaFillPrepare(AlphaFill* fill, const PF_Pixel* color);
// Columns x0 .. x1 - 1 of destination row y, already clipped to the destination.
void alphaFillRow(const AlphaFill* fill, const PF_LayerDef* source, PF_LayerDef* destination, int32_t y, int32_t x0,
                  int32_t x1);
// Clamps each edge into the world in place; the result may be empty.
// (inline: every cell's average clips its rectangle)
inline void r_clip_rect_to_world(PF_LRect* rect, PF_LayerDef* world) {
    if (rect->left < 0) rect->left = 0;
    if (rect->right > world->width) rect->right = world->width;
    if (rect->top < 0) rect->top = 0;
    if (rect->bottom > world->height) rect->bottom = world->height;
}
// Fills through the host's fill; null fills the whole world. Clips, never fails.
void r_fill_rect(PF_InData* in_data, PF_Pixel* color, PF_LRect* rect, PF_LayerDef* world);
// The host's composite_rect with the source clipped to the source world and the
// destination to the destination world; 0 when nothing is left.
PF_Err r_composite_rect(PF_InData* in_data, PF_LRect* src_rect, long src_opacity, PF_LayerDef* source,
                        long dest_x, long dest_y, int field_rdr, int xfer_mode, PF_LayerDef* destination);
// Coverage blend: alpha is the linear mix by k, colours weighted by their alpha.
// Inline: the fractional fill blends every border pixel through it.
inline void r_blend_pixel_both(PF_Pixel* source, PF_Pixel* destination, float k) {
    const float a_s = source->alpha * k;
    const float a_p = destination->alpha * (1 - k);
    const float a = a_s + a_p;
    if (a <= 0) return;
    const float ws = a_s / a, wd = a_p / a;
    destination->red = truncToByte(source->red * ws + destination->red * wd);
    destination->green = truncToByte(source->green * ws + destination->green * wd);
    destination->blue = truncToByte(source->blue * ws + destination->blue * wd);
    destination->alpha = truncToByte(a);
}
// destination = source + destination * k per channel, clamped to 0..255.
void r_blend_pixel_one(PF_Pixel* source, PF_Pixel* destination, float k);
// Mean of red, green and blue over the rectangle (clipped), 0..255; 0 when empty.
long r_average_rect(PF_LayerDef* world, PF_LRect* rect);

// ---- fractional rectangles ----
// Whole pixels through the host's fill, border pixels blended by coverage
// (high quality only). Clipped to the world; any rectangle is safe.
void r_fill_frect(PF_InData* in_data, PF_Pixel* color, FRect* rect, PF_LayerDef* world);
// The same, touching only rows y0 .. y1 - 1 (half-open): drawing a picture band by
// band with it gives the same pixels as drawing each rectangle whole.
void r_fill_frect_rows(PF_InData* in_data, PF_Pixel* color, FRect* rect, PF_LayerDef* world, int32_t y0, int32_t y1);
// What r_fill_frect works out from a rectangle before it touches a pixel: the
// whole-pixel interior and the coverage of each border, for one world's size.
// A picture drawn band by band plans each rectangle once and then draws its
// rows with r_fill_frect_plan_rows, which touches exactly what
// r_fill_frect_rows touches for the same rows.
struct FRectPlan {
    int32_t left, top, right, bottom;  // the interior; right and bottom exclusive
    float lc, tc, rc, bc;              // left, top, right and bottom coverage, 0 for none
    bool draws;                        // false: no pixel is touched
};
void r_plan_frect(const FRect* rect, const PF_LayerDef* world, FRectPlan* plan);
void r_fill_frect_plan_rows(PF_InData* in_data, PF_Pixel* color, const FRectPlan* plan, PF_LayerDef* world,
                            int32_t y0, int32_t y1);
// Rectangles side by side on one strip of rows: rectangle i spans lefts[i] ..
// rights[i] across and top .. bottom down, in colours[i]; drawn in order, bit
// for bit what r_fill_frect on each in turn gives. Quick where each lies left
// of the next and no right or bottom edge is fractional (a mosaic's tiles):
// the interiors are written straight, a row at a time, and the row copied down.
void r_fill_frect_strip(PF_InData* in_data, const PF_Pixel* colours, const float* lefts, const float* rights,
                        int32_t count, float top, float bottom, PF_LayerDef* world);
// A square marker of `size` full-resolution pixels centred on (x, y), scaled by the
// render's downsampling and pixel aspect ratio.
void drawPip(PF_InData* in_data, PF_LayerDef* world, double x, double y, double size, int red, int green,
             int blue);

// ---- layer geometry and host queries ----
double getDownsample(PF_InData* in_data);
double getDownsampleX(PF_InData* in_data);
double getDownsampleY(PF_InData* in_data);
double getPixelAspectRatio(PF_InData* in_data);
// A snapshot of the parameter at host position `position` at `seconds`; all zero
// when the checkout fails.
void get_param_at_time(PF_InData* in_data, int position, double seconds, PF_ParamDef* out);
// The layer's bounds (0, 0, width, height); the input layer's when the parameter
// names no layer. Returns the host's error from the first checkout.
int r_get_param_layer_rect(PF_InData* in_data, int position, PF_LRect* rect);
// Composition time in seconds of the layer's time 0, or 0 on any failure.
double getLayerInPoint(PF_InData* in_data, PF_OutData* out_data);
void setUpPFSampPB(PF_SampPB* block, PF_LayerDef* world);

// ---- quad to rectangle ----
// Resamples the quad (corners 0..3 to top-left, top-right, bottom-right,
// bottom-left) into [left, right) x [top, bottom) through the host's sub-pixel
// sampling. Advances corners 0 and 1 in place by one row step per row.
void drawQuadToRect(PF_InData* in_data, PF_LayerDef* source, PF_LayerDef* destination, PF_PathVertex* quad,
                    int left, int top, int right, int bottom);

// A pixel's four bytes as one word, in memory order (alpha in the lowest byte
// on this little-endian machine).
static_assert(sizeof(PF_Pixel) == sizeof(uint32_t), "a pixel is one word");
inline uint32_t pixelWord(PF_Pixel p) {
    uint32_t w;
    std::memcpy(&w, &p, 4);
    return w;
}

// Address of pixel (x, y); the caller keeps x and y inside the world. The row
// offset is a 64-bit product: a frame may hold more than 2 GiB.
inline PF_Pixel* worldPixel(PF_LayerDef* world, int32_t x, int32_t y) {
    return reinterpret_cast<PF_Pixel*>(reinterpret_cast<char*>(world->data) +
                                       static_cast<std::ptrdiff_t>(y) * world->rowbytes) + x;
}

// Whether two worlds' pixels may share memory (true also when a world's rows
// run backwards, which is not worked out).
inline bool worldsShareMemory(const PF_LayerDef* a, const PF_LayerDef* b) {
    if (a->rowbytes <= 0 || b->rowbytes <= 0) return true;
    const char* a0 = reinterpret_cast<const char*>(a->data);
    const char* b0 = reinterpret_cast<const char*>(b->data);
    const char* a1 = a0 + static_cast<std::ptrdiff_t>(a->rowbytes) * a->height;
    const char* b1 = b0 + static_cast<std::ptrdiff_t>(b->rowbytes) * b->height;
    return !(a1 <= b0 || b1 <= a0);
}
