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
    if (b.reference || x0 >= x1) {
        for (int32_t x = x0; x < x1; ++x) blendPixel(&b, &row[x]);
        return;
    }
    // A pixel like the one before blends as it did: a run of one colour (a
    // mosaic's row) is worked out once.
    uint32_t before, after;
    std::memcpy(&before, &row[x0], 4);
    blendPixel(&b, &row[x0]);
    std::memcpy(&after, &row[x0], 4);
    for (int32_t x = x0 + 1; x < x1; ++x) {
        uint32_t word;
        std::memcpy(&word, &row[x], 4);
        if (word == before) {
            std::memcpy(&row[x], &after, 4);
            continue;
        }
        before = word;
        blendPixel(&b, &row[x]);
        std::memcpy(&after, &row[x], 4);
    }
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



// One axis of a rectangle's plan: its edges lo .. hi clamped to 0 .. limit, the
// whole pixels first .. end - 1 inside them, and the coverage of the pixel
// before first and of the pixel at end (under kMinCoverage: none). False when
// no whole-numbered edge lies inside (end < first). The axes are planned
// apart, so a strip of rectangles on the same rows plans its rows once.
__attribute__((always_inline)) static inline bool planAxis(float lo, float hi, float limit, int32_t* first,
                                                           int32_t* end, float* lo_coverage, float* hi_coverage) {
    const float fl = std::max(0.0f, lo), fh = std::min(limit, hi);
    const int32_t F = truncToInt32(std::ceil(fl)), E = truncToInt32(std::floor(fh));
    *first = F;
    *end = E;
    const float lc = static_cast<float>(F) - fl, hc = fh - static_cast<float>(E);
    *lo_coverage = lc < kMinCoverage ? 0 : lc;
    *hi_coverage = hc < kMinCoverage ? 0 : hc;
    return !(E < F);
}

// The whole-pixel interior L, T, R, B and the border coverages, clamped to the
// world; false when nothing whole-numbered lies inside along an axis (then no
// pixel is touched).
__attribute__((always_inline)) static inline bool planFrect(const FRect* rect, const PF_LayerDef* world,
                                                            FRectPlan* plan) {
    const float W = static_cast<float>(world->width), H = static_cast<float>(world->height);
    FRectPlan p;
    const bool across = planAxis(rect->left, rect->right, W, &p.left, &p.right, &p.lc, &p.rc);
    const bool down = planAxis(rect->top, rect->bottom, H, &p.top, &p.bottom, &p.tc, &p.bc);
    p.draws = across && down;
    *plan = p;
    return p.draws;
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

// ---- strips of rectangles ----

// Rectangles planned and drawn per group: the plans stay in the cache.
constexpr int32_t kStripGroup = 256;

// The plans across of a group of a strip's rectangles, side by side (in
// separate arrays, so that the loop runs in vector lanes).
struct StripColumns {
    int32_t left[kStripGroup], right[kStripGroup];
    float lc[kStripGroup], rc[kStripGroup];
    bool draws[kStripGroup];
};

__attribute__((always_inline)) static inline void planColumns(const float* lefts, const float* rights, int32_t n,
                                                              float W, StripColumns* c) {
    for (int32_t i = 0; i < n; ++i)
        c->draws[i] = planAxis(lefts[i], rights[i], W, &c->left[i], &c->right[i], &c->lc[i], &c->rc[i]);
}

static void planColumnsPlain(const float* lefts, const float* rights, int32_t n, float W, StripColumns* c) {
    planColumns(lefts, rights, n, W, c);
}

__attribute__((target("avx2"))) static void planColumnsAvx2(const float* lefts, const float* rights, int32_t n,
                                                            float W, StripColumns* c) {
    planColumns(lefts, rights, n, W, c);
}

// Whether the group forms a strip: no right coverage, and each interior left
// of the next (the rows are the same and have no bottom coverage, checked
// before). Then every pixel a rectangle blends is either on the row above the
// interiors or in the column left of its own, where no later rectangle writes,
// so filling every interior first and blending after, rectangle by rectangle,
// gives each pixel its fills and blends in the order drawing them one after
// another does. `order` gets the rectangles that draw.
static int32_t stripOrder(const StripColumns& c, int32_t n, int32_t* order, bool* strip) {
    int32_t m = 0;
    *strip = true;
    for (int32_t i = 0; i < n; ++i) {
        if (!c.draws[i]) continue;
        if (c.rc[i] != 0 || (m > 0 && c.left[i] < c.right[order[m - 1]])) *strip = false;
        order[m++] = i;
    }
    return m;
}

// Row y of the strip's interiors: each filled with its colour, then its left
// column blended (with `blends`). Where the interiors meet edge to edge
// (`meet`), each is filled eight pixels at a time while that stays inside the
// strip, the last eight reaching into the interiors after it, which are filled
// after it.
static void stripRow(PF_LayerDef* world, const PF_Pixel* colours, const StripColumns& c, const int32_t* order,
                     int32_t m, int32_t y, bool blends, bool meet) {
    typedef uint32_t Eight __attribute__((vector_size(32)));
    PF_Pixel* row = worldPixel(world, 0, y);
    const int32_t end = c.right[order[m - 1]];
    for (int32_t k = 0; k < m; ++k) {
        const int32_t i = order[k];
        const uint32_t word = pixelWord(colours[i]);
        int32_t x = c.left[i];
        if (meet) {
            const Eight eight = Eight{} + word;
            for (; x < c.right[i] && x + 8 <= end; x += 8) std::memcpy(&row[x], &eight, sizeof(eight));
        }
        for (; x < c.right[i]; ++x) std::memcpy(&row[x], &word, 4);
    }
    if (!blends) return;
    for (int32_t k = 0; k < m; ++k)
        if (c.lc[order[k]] != 0) blendOne(world, &colours[order[k]], c.left[order[k]] - 1, y, c.lc[order[k]]);
}

// Draws a group that forms a strip on rows T .. B - 1 with top coverage tc:
// the interiors' first row, copied down where the interiors meet edge to edge
// (then only the first rectangle's left column differs from row to row, being
// outside them), the row above blended last.
static void drawStrip(PF_InData* in_data, PF_LayerDef* world, const PF_Pixel* colours, const StripColumns& c,
                      const int32_t* order, int32_t m, int32_t T, int32_t B, float tc) {
    const bool blends = in_data->quality != PF_Quality_LO;
    bool meet = true;
    for (int32_t k = 1; k < m && meet; ++k) meet = c.left[order[k]] == c.right[order[k - 1]];
    const int32_t first = order[0], left = c.left[first];
    const size_t bytes = static_cast<size_t>(c.right[order[m - 1]] - left) * sizeof(PF_Pixel);
    for (int32_t y = T; y < B; ++y) {
        if (y == T || !meet) {
            stripRow(world, colours, c, order, m, y, blends, meet);
            continue;
        }
        std::memcpy(worldPixel(world, left, y), worldPixel(world, left, T), bytes);
        if (blends && c.lc[first] != 0) blendOne(world, &colours[first], left - 1, y, c.lc[first]);
    }
    if (!blends || tc == 0) return;
    // the row above: each rectangle's part of it, then the corners, each the
    // last pixel of the part before it, which no later part reaches (so the
    // corners do not wait on one another)
    for (int32_t k = 0; k < m; ++k) blendRow(world, &colours[order[k]], T - 1, c.left[order[k]], c.right[order[k]], tc);
    for (int32_t k = 0; k < m; ++k) {
        const int32_t i = order[k];
        if (c.lc[i] != 0) blendOne(world, &colours[i], c.left[i] - 1, T - 1, tc * c.lc[i]);
    }
}

void r_fill_frect_strip(PF_InData* in_data, const PF_Pixel* colours, const float* lefts, const float* rights,
                        int32_t count, float top, float bottom, PF_LayerDef* world) {
    int32_t T, B;
    float tc, bc;
    const bool rows = planAxis(top, bottom, static_cast<float>(world->height), &T, &B, &tc, &bc);
    if (!rows) return;  // (no rectangle touches a pixel)
    // (without the host's fill, on the reference paths, or with a bottom coverage: one after another)
    const bool quick = in_data->utils && in_data->utils->fill && !kvReferencePaths() && bc == 0;
    const auto plan = kvByIsa(planColumnsPlain, planColumnsAvx2, planColumnsAvx2);
    const float W = static_cast<float>(world->width);
    StripColumns c;
    int32_t order[kStripGroup];
    for (int32_t first = 0; first < count; first += kStripGroup) {
        const int32_t n = std::min(count - first, kStripGroup);
        bool strip = false;
        int32_t m = 0;
        if (quick) {
            plan(lefts + first, rights + first, n, W, &c);
            m = stripOrder(c, n, order, &strip);
            if (m == 0) continue;
        }
        if (strip) {
            drawStrip(in_data, world, colours + first, c, order, m, T, B, tc);
            continue;
        }
        for (int32_t i = first; i < first + n; ++i) {
            PF_Pixel colour = colours[i];
            FRect rect = {top, lefts[i], bottom, rights[i]};
            r_fill_frect(in_data, &colour, &rect, world);
        }
    }
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
