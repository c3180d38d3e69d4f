// Rectangles with fractional edges: whole pixels through the host's fill, the
// partly covered border blended by its coverage.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <emmintrin.h>

#include "graphics/kavri_ae_graphics_utils.h"
#include "graphics/kavri_isa.h"

static const float kMinCoverage = 0.02f;  // thinner slivers are not drawn

// The coverage blend of one colour at one coverage, whose weights depend only on
// the pixel's alpha: a run of pixels of one alpha (an opaque background) shares
// them, computed once by the same operations. A pixel's three colour channels
// are then worked in the lanes of one vector: the same products and sum in
// single precision, truncated and clamped to a byte as truncToByte does (the
// values lie within 0 .. 510, or are NaN, which gives 0 either way).
struct CoverageBlend {
    const PF_Pixel* color;
    float k;
    int last_alpha;
    float a;
    __m128 colour_ws;  // the colour's channels times ws, lane c for channel c
    __m128 wd;
    uint32_t alpha_word;  // trunc(a) in the alpha byte
    bool reference;       // the formula, pixel by pixel, to check the vectors against
};

static inline CoverageBlend coverageBlend(const PF_Pixel* color, float k) {
    CoverageBlend b;
    b.color = color;
    b.k = k;
    b.last_alpha = -1;  // no weights yet
    b.a = 0;
    b.reference = kvReferencePaths();
    return b;
}

static inline void blendWeights(CoverageBlend* b, int alpha) {
    b->last_alpha = alpha;
    const float a_s = b->color->alpha * b->k;
    const float a_p = alpha * (1 - b->k);
    b->a = a_s + a_p;
    if (b->a <= 0) return;
    // ws = a_s / a and wd = a_p / a, side by side
    const __m128 w = _mm_div_ps(_mm_setr_ps(a_s, a_p, 0, 0), _mm_set1_ps(b->a));
    const PF_Pixel* c = b->color;
    b->colour_ws = _mm_mul_ps(_mm_setr_ps(c->alpha, c->red, c->green, c->blue), _mm_shuffle_ps(w, w, 0x00));
    b->wd = _mm_shuffle_ps(w, w, 0x55);
    b->alpha_word = pixelWord(PF_Pixel{truncToByte(b->a), 0, 0, 0});
}

static inline void blendPixel(CoverageBlend* b, PF_Pixel* p) {
    if (b->reference) {
        r_blend_pixel_both(const_cast<PF_Pixel*>(b->color), p, b->k);
        return;
    }
    if (p->alpha != b->last_alpha) blendWeights(b, p->alpha);
    if (b->a <= 0) return;
    uint32_t word;
    std::memcpy(&word, p, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(word)), zero), zero);
    const __m128 v = _mm_add_ps(b->colour_ws, _mm_mul_ps(_mm_cvtepi32_ps(wide), b->wd));
    __m128i bytes = _mm_cvttps_epi32(v);
    bytes = _mm_packus_epi16(_mm_packs_epi32(bytes, bytes), bytes);
    const uint32_t alpha_mask = pixelWord(PF_Pixel{0xFF, 0, 0, 0});
    word = (static_cast<uint32_t>(_mm_cvtsi128_si32(bytes)) & ~alpha_mask) | b->alpha_word;
    std::memcpy(p, &word, 4);
}

static void blendRow(PF_LayerDef* world, const PF_Pixel* color, int32_t y, int32_t x0, int32_t x1, float k) {
    CoverageBlend b = coverageBlend(color, k);
    PF_Pixel* row = worldPixel(world, 0, y);
    for (int32_t x = x0; x < x1; ++x) blendPixel(&b, &row[x]);
}

static void blendColumn(PF_LayerDef* world, const PF_Pixel* color, int32_t x, int32_t y0, int32_t y1, float k) {
    CoverageBlend b = coverageBlend(color, k);
    for (int32_t y = y0; y < y1; ++y) blendPixel(&b, worldPixel(world, x, y));
}

// One pixel (a corner) blended at coverage k.
__attribute__((always_inline)) static inline void blendOne(PF_LayerDef* world, const PF_Pixel* color, int32_t x,
                                                           int32_t y, float k) {
    CoverageBlend b = coverageBlend(color, k);
    blendPixel(&b, worldPixel(world, x, y));
}

static bool inRows(int32_t y, int32_t y0, int32_t y1) {
    return y >= y0 && y < y1;
}



// The whole-pixel interior L, T, R, B and the border coverages, clamped to the
// world; false when nothing whole-numbered lies inside along an axis (then no
// pixel is touched).
__attribute__((always_inline)) static inline bool planFrect(const FRect* rect, const PF_LayerDef* world,
                                                            FRectPlan* plan) {
    const float W = static_cast<float>(world->width), H = static_cast<float>(world->height);
    const float fl = std::max(0.0f, rect->left), ft = std::max(0.0f, rect->top);
    const float fr = std::min(W, rect->right), fb = std::min(H, rect->bottom);
    const int32_t L = truncToInt32(std::ceil(fl)), T = truncToInt32(std::ceil(ft));
    const int32_t R = truncToInt32(std::floor(fr)), B = truncToInt32(std::floor(fb));
    plan->draws = !(B < T || R < L);
    if (!plan->draws) return false;
    plan->left = L;
    plan->top = T;
    plan->right = R;
    plan->bottom = B;
    float lc = static_cast<float>(L) - fl, tc = static_cast<float>(T) - ft;
    float rc = fr - static_cast<float>(R), bc = fb - static_cast<float>(B);
    plan->lc = lc < kMinCoverage ? 0 : lc;
    plan->tc = tc < kMinCoverage ? 0 : tc;
    plan->rc = rc < kMinCoverage ? 0 : rc;
    plan->bc = bc < kMinCoverage ? 0 : bc;
    return true;
}

__attribute__((always_inline)) static inline void fillPlanRows(PF_InData* in_data, PF_Pixel* color,
                                                                const FRectPlan* plan, PF_LayerDef* world, int32_t y0,
                                                                int32_t y1) {
    if (!plan->draws) return;
    const int32_t L = plan->left, T = plan->top, R = plan->right, B = plan->bottom;
    // The interior's rows within the limits. Drawn whole, the interior goes to the
    // host as it is, even when empty; a band it does not reach asks nothing.
    const bool whole = y0 <= 0 && y1 >= world->height;
    PF_LRect interior = whole ? PF_LRect{L, T, R, B} : PF_LRect{L, std::max(T, y0), R, std::min(B, y1)};
    if (whole || interior.top < interior.bottom) r_fill_rect(in_data, color, &interior, world);
    if (in_data->quality == PF_Quality_LO) return;

    // A non-zero coverage always names a row or column inside the world, since
    // the edges were clamped before rounding.
    const float lc = plan->lc, tc = plan->tc, rc = plan->rc, bc = plan->bc;
    if (tc != 0 && inRows(T - 1, y0, y1)) {
        if (lc != 0) blendOne(world, color, L - 1, T - 1, tc * lc);
        blendRow(world, color, T - 1, L, R, tc);
        if (rc != 0) blendOne(world, color, R, T - 1, tc * rc);
    }
    if (bc != 0 && inRows(B, y0, y1)) {
        if (lc != 0) blendOne(world, color, L - 1, B, lc * bc);
        blendRow(world, color, B, L, R, bc);
        if (rc != 0) blendOne(world, color, R, B, bc * rc);
    }
    const int32_t side_top = std::max(T, y0), side_bottom = std::min(B, y1);
    if (lc != 0) blendColumn(world, color, L - 1, side_top, side_bottom, lc);
    if (rc != 0) blendColumn(world, color, R, side_top, side_bottom, rc);
}

__attribute__((always_inline)) static inline void fillFrectRows(PF_InData* in_data, PF_Pixel* color, FRect* rect,
                                                                 PF_LayerDef* world, int32_t y0, int32_t y1) {
    FRectPlan plan;
    if (planFrect(rect, world, &plan)) fillPlanRows(in_data, color, &plan, world, y0, y1);
}

static void fillFrectRowsPlain(PF_InData* in_data, PF_Pixel* color, FRect* rect, PF_LayerDef* world, int32_t y0,
                               int32_t y1) {
    fillFrectRows(in_data, color, rect, world, y0, y1);
}

__attribute__((target("avx2"))) static void fillFrectRowsAvx2(PF_InData* in_data, PF_Pixel* color, FRect* rect,
                                                              PF_LayerDef* world, int32_t y0, int32_t y1) {
    fillFrectRows(in_data, color, rect, world, y0, y1);
}

// Built for AVX2 too, where rounding to whole numbers is one instruction: a
// small square costs little more than this arithmetic.
void r_fill_frect_rows(PF_InData* in_data, PF_Pixel* color, FRect* rect, PF_LayerDef* world, int32_t y0, int32_t y1) {
    kvByIsa(fillFrectRowsPlain, fillFrectRowsAvx2, fillFrectRowsAvx2)(in_data, color, rect, world, y0, y1);
}

void r_fill_frect(PF_InData* in_data, PF_Pixel* color, FRect* rect, PF_LayerDef* world) {
    kvByIsa(fillFrectRowsPlain, fillFrectRowsAvx2, fillFrectRowsAvx2)(in_data, color, rect, world, 0, world->height);
}

static void planFrectPlain(const FRect* rect, const PF_LayerDef* world, FRectPlan* plan) {
    planFrect(rect, world, plan);
}

__attribute__((target("avx2"))) static void planFrectAvx2(const FRect* rect, const PF_LayerDef* world,
                                                          FRectPlan* plan) {
    planFrect(rect, world, plan);
}

void r_plan_frect(const FRect* rect, const PF_LayerDef* world, FRectPlan* plan) {
    kvByIsa(planFrectPlain, planFrectAvx2, planFrectAvx2)(rect, world, plan);
}

void r_fill_frect_plan_rows(PF_InData* in_data, PF_Pixel* color, const FRectPlan* plan, PF_LayerDef* world,
                            int32_t y0, int32_t y1) {
    fillPlanRows(in_data, color, plan, world, y0, y1);
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
