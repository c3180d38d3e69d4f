// checkerwarp: covers the output with a brick grid of cells and draws one square
// per cell whose width, height and displacement follow the average colour of the
// input under the cell. Behind the squares lies a flat colour, a per-cell tile of
// the averaged colour, a tinted copy of the input, or transparency.
//
// Geometry is single precision with a few named steps in double, exactly as the
// look of the effect was tuned; keep every cast and the order of every sum.
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "effect/kavri_squares.h"
#include "util/kavri_utils.h"

#include <immintrin.h>

// ---- the description: one row per parameter, in the order the host shows them ----

#define SQ_ANGLE_RANGE 2147483648.0f, 2147483648.0f, 2147483648.0f, 2147483648.0f

extern "C" const ns_ae_description g_d = {
    "checkerwarp",
    "an interesting and simple form of modulation",
    1, 4, 0, 0, 0,
    NS_AE_FILTER_AT_RENDER,
    PF_OutFlag_SEND_UPDATE_PARAMS_UI,
    0,
    {
        // type, index, name, choices, slider_min, slider_max, min, max, default, display_flags
        {PF_Param_FLOAT_SLIDER, kSqAcross, "squares across", nullptr, 1, 255, 1, 255, 12, 0},
        {PF_Param_POINT, kSqCenter, "center", nullptr, 50, 50, 50, 50, 0, 0},
        {PF_Param_COLOR, kSqBackgroundColor, "background color", nullptr, 0, 0, 0, 0, 0, 0},
        {PF_Param_POPUP, kSqBackgroundFill, "background fill", "color|tile|source (tinted)|knockout", 0, 4, 0, 4, 1, 0},
        {PF_Param_COLOR, kSqSquaresColor, "squares color", nullptr, 0, 0, 0, 0, 16777215, 0},
        {PF_Param_POPUP, kSqSquaresFill, "squares fill", "color|tile|none|knockout", 0, 4, 0, 4, 1, 0},
        {PF_Param_GROUP_START, kSqFutzStart, "futz", nullptr, 0, 0, 0, 0, 0, 0},
        {PF_Param_FLOAT_SLIDER, kSqXScale, "x scale", nullptr, 0.1f, 1000, 0.1f, 1000, 100, 1},
        {PF_Param_FLOAT_SLIDER, kSqYScale, "y scale", nullptr, 0.1f, 1000, 0.1f, 1000, 100, 1},
        {PF_Param_POPUP, kSqBrickRows, "brick rows", "horizontal|vertical", 0, 2, 0, 2, 1, 0},
        {PF_Param_ANGLE, kSqBrickOffset, "brick offset", nullptr, SQ_ANGLE_RANGE, 0, 0},
        {PF_Param_ANGLE, kSqXOffset, "x offset", nullptr, SQ_ANGLE_RANGE, 0, 0},
        {PF_Param_ANGLE, kSqYOffset, "y offset", nullptr, SQ_ANGLE_RANGE, 0, 0},
        {PF_Param_ANGLE, kSqWibbleAngle, "wibble angle", nullptr, SQ_ANGLE_RANGE, 0, 0},
        {PF_Param_FLOAT_SLIDER, kSqWibbleMax, "wibble max", nullptr, 0, 10, 0, 10, 0, 0},
        {PF_Param_COLOR, kSqWibbleInfluence, "wibble influence", nullptr, 0, 0, 0, 0, 5592405, 0},
        {PF_Param_FLOAT_SLIDER, kSqHorizontalMin, "horizontal min", nullptr, 0, 10, 0, 10, 0, 0},
        {PF_Param_FLOAT_SLIDER, kSqHorizontalMax, "horizontal max", nullptr, 0, 10, 0, 10, 1, 0},
        {PF_Param_COLOR, kSqHorizontalInfluence, "horizontal influence", nullptr, 0, 0, 0, 0, 16711680, 0},
        {PF_Param_FLOAT_SLIDER, kSqVerticalMin, "vertical min", nullptr, 0, 10, 0, 10, 0, 0},
        {PF_Param_FLOAT_SLIDER, kSqVerticalMax, "vertical max", nullptr, 0, 10, 0, 10, 1, 0},
        {PF_Param_COLOR, kSqVerticalInfluence, "vertical influence", nullptr, 0, 0, 0, 0, 32895, 0},
        {PF_Param_GROUP_END, kSqFutzEnd, "", nullptr, 0, 0, 0, 0, 0, 0},
        {0, 0, nullptr, nullptr, 0, 0, 0, 0, 0, 0},
    },
};

// ---- per-frame quantities ----

struct Influence {
    int red, green, blue;
};

struct SquaresFrame {
    float W, H;
    float cell_width, cell_height;
    float row_shift, column_shift;
    float first_row_top, row_start, column_phase;
    float wibble_x, wibble_y;
    int background_fill, squares_fill;
    PF_Pixel background, square;
    Influence horizontal, vertical, wibble;
    float horizontal_min, horizontal_max, vertical_min, vertical_max;
};

static void setupGrid(PF_ParamDef** params, PF_InData* in_data, PF_LayerDef* output, SquaresFrame* f);
static void setupColours(PF_ParamDef** params, SquaresFrame* f);
static void drawBackground(PF_InData* in_data, PF_LayerDef* input, PF_LayerDef* output, SquaresFrame* f);
// The host's answer to "stop?", asked once per row of cells by a walk given one.
struct AbortCheck {
    PF_InData* in_data;
    PF_Err err;  // the host's interrupt code once it said stop
};
template <typename Visit>
static void walkCells(const SquaresFrame* f, Visit visit, AbortCheck* abort = nullptr);

// Wrap loops that would need more than this many steps are settled in closed form.
static const int kWrapStepLimit = 1 << 16;

// while (v < 0) v += step; bounded, with the same result whenever the loop
// finishes within the bound.
static float wrapUpFromNegative(float v, float step) {
    for (int i = 0; i < kWrapStepLimit && v < 0; ++i) v += step;
    if (v < 0) {
        double r = std::fmod(static_cast<double>(v), static_cast<double>(step));
        if (r < 0) r += step;
        v = static_cast<float>(r);
        if (v < 0) v = 0;
    }
    return v;
}

// while (v > limit) v -= step; bounded likewise.
static float wrapDownAbove(float v, float limit, float step) {
    for (int i = 0; i < kWrapStepLimit && v > limit; ++i) v -= step;
    if (v > limit) {
        double r = std::fmod(static_cast<double>(v) - limit, static_cast<double>(step));
        v = static_cast<float>(static_cast<double>(limit) - step + r);
        if (v > limit) v = limit;
    }
    return v;
}

// while (v >= limit) v -= step; bounded likewise.
static float wrapBelow(float v, float limit, float step) {
    for (int i = 0; i < kWrapStepLimit && v >= limit; ++i) v -= step;
    if (v >= limit) {
        double r = std::fmod(static_cast<double>(v) - limit, static_cast<double>(step));
        v = static_cast<float>(static_cast<double>(limit) - step + r);
        if (v >= limit) v = std::nextafter(limit, -INFINITY);
    }
    return v;
}

// Truncation of a float count of cells. Counts beyond 32 bits only arise far
// outside the layer; 64 bits keeps them meaningful there.
static int64_t truncCount(double v) {
    if (!(v == v)) return 0;
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// a - b, held at the ends of the range instead of overflowing.
static int64_t saturatingSub(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    return b < 0 ? INT64_MAX : INT64_MIN;
}

static bool finitePositive(float v) {
    return std::isfinite(v) && v > 0;
}

static void setupGrid(PF_ParamDef** params, PF_InData* in_data, PF_LayerDef* output, SquaresFrame* f) {
    const float pixel_aspect = static_cast<float>(in_data->pixel_aspect_ratio.num) /
                               static_cast<float>(in_data->pixel_aspect_ratio.den);
    f->W = static_cast<float>(output->width);
    f->H = static_cast<float>(output->height);
    const float base_size = f->W / static_cast<float>(getParamFloat(params, kSqAcross));
    const float cw = static_cast<float>(static_cast<double>(base_size) * (getParamFloat(params, kSqXScale) / 100.0));
    const float ch = static_cast<float>(static_cast<double>(base_size * pixel_aspect) *
                                        (getParamFloat(params, kSqYScale) / 100.0));
    f->cell_width = cw;
    f->cell_height = ch;

    const float brick_phase = static_cast<float>(getParamAngleUnitPhase(params, kSqBrickOffset));
    if (params[kSqBrickRows]->u.pd.value == kBrickHorizontal) {
        f->row_shift = brick_phase * cw;
        f->column_shift = 0;
    } else {
        f->row_shift = 0;
        f->column_shift = brick_phase * ch;
    }

    const float cx = static_cast<float>(params[kSqCenter]->u.td.x_value) * (1.0f / 65536.0f);
    const float cy = static_cast<float>(params[kSqCenter]->u.td.y_value) * (1.0f / 65536.0f);

    const float t = cy + (-0.5f * ch);
    float y0 = static_cast<float>(static_cast<double>(t) +
                                  static_cast<double>(ch) * getParamAngleUnitPhase(params, kSqYOffset));
    int64_t k = 0;
    if (y0 < 0) {
        k = truncCount(std::ceil(-y0 / ch));
        y0 = static_cast<float>(k) * ch + y0;
    }
    const int64_t n = truncCount(static_cast<double>(std::ceil(y0 / ch)) + 4.0);
    f->first_row_top = y0 - static_cast<float>(n) * ch;

    float x0 = static_cast<float>(static_cast<double>((-0.5f * cw) + cx) +
                                  static_cast<double>(cw) * getParamAngleUnitPhase(params, kSqXOffset));
    x0 = static_cast<float>(saturatingSub(k, n)) * f->row_shift + x0;
    if (x0 < 0) {
        const int64_t m = truncCount(std::ceil(-x0 / cw));
        x0 = x0 + static_cast<float>(m) * cw;
    }
    const int64_t q = truncCount(static_cast<double>(std::ceil(x0 / cw)) + 2.0);
    f->row_start = x0 - static_cast<float>(q) * cw;

    const float u = (cx - f->row_start) / cw;
    float phase = static_cast<float>(-(static_cast<double>(u) + 3.5) * static_cast<double>(f->column_shift));
    phase = wrapUpFromNegative(phase, ch);
    f->column_phase = wrapDownAbove(phase, ch, ch);

    const double wm = static_cast<double>(static_cast<float>(getParamFloat(params, kSqWibbleMax)));
    const float degrees = static_cast<float>(static_cast<double>(params[kSqWibbleAngle]->u.ad.value) * (1.0 / 65536.0));
    const float radians = static_cast<float>(static_cast<double>(degrees) / 57.29577951);
    f->wibble_x = static_cast<float>(std::sin(static_cast<double>(radians)) * wm);
    f->wibble_y = static_cast<float>(-std::cos(static_cast<double>(radians)) * wm);
}

// Scales an influence down so that its channels sum to at most 255.
static Influence normalisedInfluence(uint32_t colour) {
    Influence inf = {colorRed(colour), colorGreen(colour), colorBlue(colour)};
    const int s = inf.red + inf.green + inf.blue;
    if (s > 255) {
        const float scale = static_cast<float>(255.0 / s);
        inf.red = static_cast<uint8_t>(static_cast<int>(static_cast<float>(inf.red) * scale));
        inf.green = static_cast<uint8_t>(static_cast<int>(static_cast<float>(inf.green) * scale));
        inf.blue = static_cast<uint8_t>(static_cast<int>(static_cast<float>(inf.blue) * scale));
    }
    return inf;
}

static void setupColours(PF_ParamDef** params, SquaresFrame* f) {
    f->background_fill = params[kSqBackgroundFill]->u.pd.value;
    f->squares_fill = params[kSqSquaresFill]->u.pd.value;
    const uint32_t bg = getParamColor(params, kSqBackgroundColor);
    f->background = {255, colorRed(bg), colorGreen(bg), colorBlue(bg)};
    const uint32_t sq = getParamColor(params, kSqSquaresColor);
    f->square = {static_cast<A_u_char>(f->squares_fill == kFillKnockout ? 0 : 255), colorRed(sq), colorGreen(sq),
                 colorBlue(sq)};
    f->vertical = normalisedInfluence(getParamColor(params, kSqVerticalInfluence));
    f->horizontal = normalisedInfluence(getParamColor(params, kSqHorizontalInfluence));
    f->wibble = normalisedInfluence(getParamColor(params, kSqWibbleInfluence));
    f->vertical_min = static_cast<float>(getParamFloat(params, kSqVerticalMin));
    f->vertical_max = static_cast<float>(getParamFloat(params, kSqVerticalMax));
    f->horizontal_min = static_cast<float>(getParamFloat(params, kSqHorizontalMin));
    f->horizontal_max = static_cast<float>(getParamFloat(params, kSqHorizontalMax));
}

static void drawBackground(PF_InData* in_data, PF_LayerDef* input, PF_LayerDef* output, SquaresFrame* f) {
    PF_LRect whole = {0, 0, output->width, output->height};
    switch (f->background_fill) {
    case kFillColor: fill_preserving_alpha(&f->background, &whole, input, output); break;
    case kFillSourceOrNone: r_tintedCopyLayer(input, output, &f->background); break;
    case kFillKnockout: {
        PF_Pixel clear = f->background;
        clear.alpha = 0;
        if (in_data->utils && in_data->utils->fill) in_data->utils->fill(in_data->effect_ref, &clear, &whole, output);
        break;
    }
    default: break;  // tile: drawn cell by cell
    }
}

// ---- one cell ----

static float influenceDot(const Influence& inf, const PF_PixelFloat& c) {
    return inf.red * c.red + inf.green * c.green + inf.blue * c.blue;
}

// The integer rectangle a cell averages.
static PF_LRect cellArea(const SquaresCell& cell) {
    return PF_LRect{truncToInt32(cell.left), truncToInt32(cell.top), truncToInt32(cell.right), truncToInt32(cell.bottom)};
}

// What one cell draws, worked out from the average of the input under it: its
// tile, then its square.
struct CellDrawing {
    bool tile, square;
    PF_Pixel tile_colour, square_colour;
    FRect tile_rect, square_rect;
    FRectPlan tile_plan, square_plan;  // set by planCellDrawing
};

static void cellDrawing(const SquaresFrame* f, const SquaresCell& cell, PF_PixelFloat avg, CellDrawing* d) {
    const float cell_left = cell.left, cell_top = cell.top, cell_right = cell.right, cell_bottom = cell.bottom;
    avg.red = avg.red * avg.alpha / 255.0f;
    avg.green = avg.green * avg.alpha / 255.0f;
    avg.blue = avg.blue * avg.alpha / 255.0f;

    d->tile = f->background_fill == kFillTile;
    if (d->tile) {
        PF_Pixel& tile = d->tile_colour;
        tile.red = truncToByte(static_cast<double>(static_cast<float>(f->background.red) * avg.red) / 255.0);
        tile.green = truncToByte(static_cast<double>(static_cast<float>(f->background.green) * avg.green) / 255.0);
        tile.blue = truncToByte(static_cast<double>(static_cast<float>(f->background.blue) * avg.blue) / 255.0);
        tile.alpha = truncToByte(avg.alpha);
        d->tile_rect = {cell_top, cell_left, std::ceil(cell_bottom), std::ceil(cell_right)};
    }
    d->square = f->squares_fill != kFillSourceOrNone;
    if (!d->square) return;

    const float cw = f->cell_width, ch = f->cell_height;
    const float horizontal_dot = influenceDot(f->horizontal, avg) / 255.0f;
    const float square_width = mapRange(horizontal_dot, 0, 255, f->horizontal_min, f->horizontal_max) * cw;
    const float vertical_dot = influenceDot(f->vertical, avg) / 255.0f;
    const float square_height = ch * mapRange(vertical_dot, 0, 255, f->vertical_min, f->vertical_max);
    const float wibble_dot = influenceDot(f->wibble, avg) / 65025.0f;
    const float dx = cw * f->wibble_x, dy = ch * f->wibble_y;
    FRect& sq = d->square_rect;
    sq.left = (cw - square_width) * 0.5f + cell_left + dx * wibble_dot;
    sq.right = sq.left + square_width;
    sq.top = (ch - square_height) * 0.5f + cell_top + wibble_dot * dy;
    sq.bottom = sq.top + square_height;

    PF_Pixel& colour = d->square_colour;
    colour = f->square;
    if (f->squares_fill == kFillTile) {
        colour.red = truncToByte(static_cast<float>(f->square.red) * avg.red / 255.0f);
        colour.green = truncToByte(static_cast<float>(f->square.green) * avg.green / 255.0f);
        colour.blue = truncToByte(static_cast<float>(f->square.blue) * avg.blue / 255.0f);
        colour.alpha = 255;
    }
}

static void drawCell(PF_InData* in_data, PF_LayerDef* output, const SquaresFrame* f, const SquaresCell& cell,
                     PF_PixelFloat avg) {
    CellDrawing d;
    cellDrawing(f, cell, avg, &d);
    if (d.tile) r_fill_frect(in_data, &d.tile_colour, &d.tile_rect, output);
    if (d.square) r_fill_frect(in_data, &d.square_colour, &d.square_rect, output);
}

// ---- the walk: rows top to bottom, cells left to right ----

template <typename Visit>
static void walkCells(const SquaresFrame* f, Visit visit, AbortCheck* abort) {
    const float cw = f->cell_width, ch = f->cell_height;
    const float two_cell_widths = cw + cw, two_cell_heights = ch + ch;
    const float left_limit = cw * -3;
    float row_top = f->first_row_top;
    float row_start = f->row_start;
    while (two_cell_heights + f->H > row_top) {
        if (abort && (abort->err = nr_ae_check_abort(abort->in_data)) != PF_Err_NONE) return;
        float cell_left = row_start + left_limit;
        float shift = f->column_phase;
        while (two_cell_widths + f->W > cell_left) {
            const float cell_top = row_top + shift;
            const float s2 = shift + f->column_shift;
            shift = s2 < ch ? s2 : s2 - ch;
            const SquaresCell cell = {cell_left, cell_top, cw + cell_left, ch + cell_top};
            if (!visit(cell)) return;
            if (!(cell.right > cell_left)) break;  // a step too small to move on
            cell_left = cell.right;
        }
        row_start = wrapBelow(row_start + f->row_shift, left_limit, cw);
        const float next_top = row_top + ch;
        if (!(next_top > row_top)) break;
        row_top = next_top;
    }
}

// ---- cell averaging ----

static void setAverage(PF_PixelFloat* average, const float sums[4], int64_t n) {
    if (n == 0) {
        average->red = average->green = average->blue = average->alpha = 128.0f;
        return;
    }
    const float h = static_cast<float>(n / 2), count = static_cast<float>(n);
    average->red = (sums[1] + h) / count;
    average->green = (sums[2] + h) / count;
    average->blue = (sums[3] + h) / count;
    average->alpha = (sums[0] + h) / count;
}

// Clips and applies the substitutions for an edge of exactly 0. Returns false for
// a world with no pixels, whose average is 128 without reading anything.
static bool prepareAverageRect(PF_LayerDef* world, PF_LRect* rect) {
    r_clip_rect_to_world(rect, world);
    if (world->width <= 0 || world->height <= 0 || !world->data) return false;
    if (rect->right == 0) rect->right = 1;
    if (rect->bottom == 0) rect->bottom = 1;
    return true;
}

static int64_t pixelCount(const PF_LRect* rect) {
    return static_cast<int64_t>(rect->right - static_cast<int64_t>(rect->left)) *
           (rect->bottom - static_cast<int64_t>(rect->top));
}

static void addRowInFloat(const PF_Pixel* row, int32_t left, int32_t right, float sums[4]) {
    for (int32_t x = left; x < right; ++x) {
        sums[0] += static_cast<float>(row[x].alpha);
        sums[1] += static_cast<float>(row[x].red);
        sums[2] += static_cast<float>(row[x].green);
        sums[3] += static_cast<float>(row[x].blue);
    }
}

void r_average_rect_rgba_reference(PF_LayerDef* world, PF_LRect* rect, PF_PixelFloat* average) {
    float sums[4] = {0, 0, 0, 0};
    if (!prepareAverageRect(world, rect)) {
        setAverage(average, sums, 0);
        return;
    }
    for (int32_t y = rect->top; y < rect->bottom; ++y)
        if (rect->left < rect->right) addRowInFloat(worldPixel(world, 0, y), rect->left, rect->right, sums);
    setAverage(average, sums, pixelCount(rect));
}

// Sums each channel of the rows' pixels (alpha, red, green, blue) in integers.
//
// L pixels at a time as 32-bit words: masking and shifting splits each word into
// two 16-bit lanes (alpha and green, red and blue), which take up to 257 bytes
// before they could carry, so every 256 chunks they are added up into the
// 64-bit totals. Written with vector extensions, built for AVX2 where the
// processor has it (a wider version for AVX-512 was no faster here).
static const int kNarrowFlushChunks = 256;

template <int L>
struct alignas(4 * L) ByteSums {
    static const int kLanes = L;
    typedef uint32_t Words __attribute__((vector_size(4 * L)));
    typedef uint16_t Halves __attribute__((vector_size(4 * L)));
    Halves ag, rb;    // alpha | green << 16 and red | blue << 16 of each word, per lane
    int narrow;       // chunks in ag and rb
    uint64_t* total;  // the caller's four sums, alpha, red, green, blue
};

// Starts adding into total, which it sets to zero.
template <int L>
__attribute__((always_inline)) static inline void byteSumsBegin(ByteSums<L>* s, uint64_t total[4]) {
    s->ag = s->rb = typename ByteSums<L>::Halves{};
    s->narrow = 0;
    s->total = total;
    for (int c = 0; c < 4; ++c) total[c] = 0;
}

// Loads the L pixels at p into v and adds them, masked, to the 16-bit lanes.
template <int L>
__attribute__((always_inline)) static inline void byteSumsAdd(typename ByteSums<L>::Halves* ag,
                                                              typename ByteSums<L>::Halves* rb, const PF_Pixel* p,
                                                              const typename ByteSums<L>::Words& mask,
                                                              typename ByteSums<L>::Words* v) {
    typedef typename ByteSums<L>::Words Words;
    typedef typename ByteSums<L>::Halves Halves;
    std::memcpy(v, p, sizeof(*v));
    const Words counted = *v & mask;
    const Words low = Words{} + 0x00FF00FFu;
    *ag += reinterpret_cast<Halves>(counted & low);
    *rb += reinterpret_cast<Halves>((counted >> 8) & low);
}

typedef uint32_t FourWords __attribute__((vector_size(16)));

// The L lanes of v added four by four.
template <int L>
__attribute__((always_inline)) static inline FourWords foldLanes(const typename ByteSums<L>::Words& v) {
    static_assert(L % 4 == 0, "whole quarters");
    FourWords sum = {};
    for (int i = 0; i < L / 4; ++i) {
        FourWords part;
        std::memcpy(&part, reinterpret_cast<const char*>(&v) + sizeof(part) * i, sizeof(part));
        sum += part;
    }
    return sum;
}

// Adds the 16-bit lanes up into the totals and empties them. (A lane holds at
// most 256 x 255, so L of them add up within 32 bits.) The four channels are
// added up side by side: folded to four lanes each, then pairwise across them.
template <int L>
__attribute__((always_inline)) static inline void byteSumsFlush(ByteSums<L>* s) {
    typedef typename ByteSums<L>::Words Words;
    const Words ag = reinterpret_cast<Words>(s->ag), rb = reinterpret_cast<Words>(s->rb);
    const FourWords a = foldLanes<L>(ag & 0xFFFF), g = foldLanes<L>(ag >> 16);
    const FourWords r = foldLanes<L>(rb & 0xFFFF), b = foldLanes<L>(rb >> 16);
    // {a0 + a2, r0 + r2, a1 + a3, r1 + r3} and the same of green and blue
    const FourWords ar = __builtin_shufflevector(a, r, 0, 4, 1, 5) + __builtin_shufflevector(a, r, 2, 6, 3, 7);
    const FourWords gb = __builtin_shufflevector(g, b, 0, 4, 1, 5) + __builtin_shufflevector(g, b, 2, 6, 3, 7);
    const FourWords argb = __builtin_shufflevector(ar, gb, 0, 1, 4, 5) + __builtin_shufflevector(ar, gb, 2, 3, 6, 7);
    s->total[0] += argb[0];
    s->total[1] += argb[1];
    s->total[2] += argb[2];
    s->total[3] += argb[3];
    s->ag = typename ByteSums<L>::Halves{};
    s->rb = typename ByteSums<L>::Halves{};
    s->narrow = 0;
}

// After `chunks` more chunks in ag and rb: flush them when they are full
// (which empties ag and rb).
template <int L>
__attribute__((always_inline)) static inline void byteSumsCount(ByteSums<L>* s, int chunks,
                                                                typename ByteSums<L>::Halves* ag,
                                                                typename ByteSums<L>::Halves* rb) {
    if ((s->narrow += chunks) < kNarrowFlushChunks) return;
    s->ag = *ag;
    s->rb = *rb;
    byteSumsFlush(s);
    *ag = s->ag;
    *rb = s->rb;
}

// Adds the L pixels at src, masked, to the 16-bit lanes; with Fill also writes
// all L to dst as the opaque colour background: the colour's red, green and blue
// (pattern) with the source's alpha.
template <int L, bool Fill>
__attribute__((always_inline)) static inline void addChunk(typename ByteSums<L>::Halves* ag,
                                                           typename ByteSums<L>::Halves* rb, const PF_Pixel* src,
                                                           PF_Pixel* dst, const typename ByteSums<L>::Words& mask,
                                                           uint32_t pattern) {
    typedef typename ByteSums<L>::Words Words;
    Words v;
    byteSumsAdd<L>(ag, rb, src, mask, &v);
    if (Fill) {
        const Words out = (v & pixelWord(PF_Pixel{0xFF, 0, 0, 0})) | pattern;
        std::memcpy(dst, &out, sizeof(out));
    }
}

// Adds the last `tail` (1 to L - 1) of the n >= L pixels at src: the last L are
// loaded, those before the tail masked off.
template <int L, bool Fill>
__attribute__((always_inline)) static inline void addLastChunk(typename ByteSums<L>::Halves* ag,
                                                               typename ByteSums<L>::Halves* rb, const PF_Pixel* src,
                                                               PF_Pixel* dst, int64_t n, int tail, uint32_t pattern) {
    typename ByteSums<L>::Words mask = {};
    for (int i = 0; i < L; ++i) mask[i] = i >= L - tail ? 0xFFFFFFFFu : 0;
    addChunk<L, Fill>(ag, rb, src + n - L, Fill ? dst + n - L : nullptr, mask, pattern);
}

// Adds the n pixels from src to the sums. With Fill, also writes each pixel to
// dst as the colour background does for an opaque colour: the colour's red,
// green and blue (pattern) with the source's alpha.
template <int L, bool Fill>
__attribute__((always_inline)) static inline void addSegment(ByteSums<L>* s, const PF_Pixel* src, PF_Pixel* dst,
                                                             int64_t n, uint32_t pattern) {
    typedef typename ByteSums<L>::Words Words;
    typedef typename ByteSums<L>::Halves Halves;
    const uint32_t alpha_mask = pixelWord(PF_Pixel{0xFF, 0, 0, 0});
    if (n < L) {
        // shorter than a chunk: one pixel at a time
        for (int64_t x = 0; x < n; ++x) {
            s->total[0] += src[x].alpha;
            s->total[1] += src[x].red;
            s->total[2] += src[x].green;
            s->total[3] += src[x].blue;
            if (Fill) {
                const uint32_t out = (pixelWord(src[x]) & alpha_mask) | pattern;
                std::memcpy(dst + x, &out, 4);
            }
        }
        return;
    }
    // the 16-bit lanes in registers while the row is added (the stores to dst
    // could otherwise be taken to change them)
    Halves ag = s->ag, rb = s->rb;
    const Words all = Words{} + 0xFFFFFFFFu;
    const int64_t whole = n - n % L;
    for (int64_t x = 0; x < whole;) {
        // as many chunks as the 16-bit lanes still take, with no check between
        const int64_t room = kNarrowFlushChunks - s->narrow;
        const int64_t end = whole - x > room * L ? x + room * L : whole;
        const int chunks = static_cast<int>((end - x) / L);
        for (; x < end; x += L) addChunk<L, Fill>(&ag, &rb, src + x, Fill ? dst + x : nullptr, all, pattern);
        byteSumsCount(s, chunks, &ag, &rb);
    }
    const int tail = static_cast<int>(n % L);
    if (tail) {
        addLastChunk<L, Fill>(&ag, &rb, src, dst, n, tail, pattern);
        byteSumsCount(s, 1, &ag, &rb);
    }
    s->ag = ag;
    s->rb = rb;
}

template <int L>
__attribute__((always_inline)) static inline void sumRowsKernel(const PF_LayerDef* world, int32_t top,
                                                                int32_t bottom, int32_t left, int32_t right,
                                                                uint64_t sums[4]) {
    ByteSums<L> s;
    byteSumsBegin(&s, sums);
    const int64_t n = right > left ? int64_t(right) - left : 0;
    for (int32_t y = top; y < bottom; ++y)
        addSegment<L, false>(&s, worldPixel(const_cast<PF_LayerDef*>(world), left, y), nullptr, n, 0);
    byteSumsFlush(&s);
}

static void sumRowsBytesPlain(const PF_LayerDef* world, int32_t top, int32_t bottom, int32_t left, int32_t right,
                              uint64_t sums[4]) {
    sumRowsKernel<8>(world, top, bottom, left, right, sums);
}

__attribute__((target("avx2"))) static void sumRowsBytesAvx2(const PF_LayerDef* world, int32_t top, int32_t bottom,
                                                             int32_t left, int32_t right, uint64_t sums[4]) {
    sumRowsKernel<8>(world, top, bottom, left, right, sums);
}

static void sumRowsBytes(const PF_LayerDef* world, int32_t top, int32_t bottom, int32_t left, int32_t right,
                         uint64_t sums[4]) {
    if (kvIsaLevel() >= kKvIsaAvx2)
        sumRowsBytesAvx2(world, top, bottom, left, right, sums);
    else
        sumRowsBytesPlain(world, top, bottom, left, right, sums);
}

#if !KAVRI_REFERENCE_PATHS
typedef ByteSums<8> RowSums;  // a cell's running sums in the sweep
#endif

static void sumRowBytes(const PF_LayerDef* world, int32_t y, int32_t left, int32_t right, uint64_t sums[4]) {
    sumRowsBytes(world, y, y + 1, left, right, sums);
}

// A float sum of bytes is exact while it stays at or below 2^24, so each channel
// is summed by whole rows in integers until a row could take it past that; from
// that row on the channel goes on in float, pixel by pixel in the reference's
// order. Rows whose bytes in a channel are all 0 or all 255 are added in closed
// form (addRepeated), which gives the same float as adding them one by one.
static const uint64_t kExactFloatLimit = 1u << 24;

float addRepeated(float sum, uint32_t b, int64_t n) {
    if (b == 0) return sum;  // adding 0 leaves every float as it is
    const float fb = static_cast<float>(b);
    while (n > 0) {
        if (sum < 16777216.0f) {
            // Exact integer sums up to 2^24: take every step that stays there at once.
            int64_t m = static_cast<int64_t>((16777216.0 - static_cast<double>(sum)) / b);
            if (m > n) m = n;
            if (m > 0) {
                sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(b) * static_cast<double>(m));
                n -= m;
                continue;
            }
            sum += fb;
            --n;
            continue;
        }
        // Within one binade a step rounds the same way every time once the sum's
        // last kept bit is even, which one step guarantees: after a first step the
        // increment is constant until the sum leaves the binade.
        int exponent;
        std::frexp(sum, &exponent);
        const double binade_top = std::ldexp(1.0, exponent);  // first value of the next binade
        const float first = sum + fb;
        --n;
        if (n == 0 || static_cast<double>(first) >= binade_top) {
            sum = first;
            continue;
        }
        const float second = first + fb;
        --n;
        const double step = static_cast<double>(second) - static_cast<double>(first);
        sum = second;
        if (n == 0 || step <= 0 || static_cast<double>(second) >= binade_top) continue;
        const double ulp = std::ldexp(1.0, exponent - 24);
        int64_t m = static_cast<int64_t>((binade_top - ulp - static_cast<double>(second)) / step);
        if (m > n) m = n;
        if (m > 0) {
            sum = static_cast<float>(static_cast<double>(second) + step * static_cast<double>(m));
            n -= m;
        }
    }
    return sum;
}

// The sums of one cell, added row by row from top to bottom.
struct CellSum {
    PF_LRect rect;     // after clipping and the edge substitutions
    bool readable;     // the world has pixels
    bool whole_exact;  // no channel can pass 2^24
    bool in_float[4];
    uint64_t exact[4];
    float sums[4];
};

static void cellSumBegin(CellSum* s, PF_LayerDef* world, PF_LRect* rect) {
    std::memset(s, 0, sizeof(*s));
    s->readable = prepareAverageRect(world, rect);
    s->rect = *rect;
    const uint64_t columns = rect->left < rect->right ? static_cast<uint64_t>(rect->right - rect->left) : 0;
    const uint64_t rows = rect->top < rect->bottom ? static_cast<uint64_t>(rect->bottom - rect->top) : 0;
    s->whole_exact = columns * rows * 255 <= kExactFloatLimit;
}

// Whether the cell reads any pixel at all.
static bool cellSumReads(const CellSum* s) {
    return s->readable && s->rect.left < s->rect.right && s->rect.top < s->rect.bottom;
}

// Adds the integer sums of the cell's next row: returns the channels (bit c for
// channel c) that must still be added pixel by pixel in float.
static unsigned cellSumRowApply(CellSum* s, const uint64_t row_sums[4]) {
    const int32_t left = s->rect.left, right = s->rect.right;
    if (s->whole_exact) {
        for (int c = 0; c < 4; ++c) s->exact[c] += row_sums[c];
        return 0;
    }
    const uint64_t n = static_cast<uint64_t>(right - left);
    unsigned pixel_by_pixel = 0;
    for (int c = 0; c < 4; ++c) {
        if (!s->in_float[c]) {
            if (s->exact[c] + row_sums[c] <= kExactFloatLimit) {
                s->exact[c] += row_sums[c];
                continue;
            }
            s->in_float[c] = true;
            s->sums[c] = static_cast<float>(s->exact[c]);
        }
        if (row_sums[c] == 0) continue;
        if (row_sums[c] == 255 * n)
            s->sums[c] = addRepeated(s->sums[c], 255, static_cast<int64_t>(n));
        else
            pixel_by_pixel |= 1u << c;
    }
    return pixel_by_pixel;
}

// One pixel's four bytes as four floats, lane c for channel c; adding such
// vectors is the four single-precision additions of the plain loop.
static inline __m128 pixelFloats(const PF_Pixel* p) {
    int32_t word;
    std::memcpy(&word, p, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
    return _mm_cvtepi32_ps(v);
}

// A row segment of one cell still to be added in float.
struct PendingRow {
    CellSum* sum;
    const PF_Pixel* pixels;  // the next pixel to add
    int32_t count;           // pixels left
    unsigned channels;       // from cellSumRowApply
    float acc[4];            // the four running sums; the pending channels' go back to the cell
};

// Adds the first n pixels of K cells' segments, the cells interleaved so that
// their chains of additions overlap; each cell's additions stay in its order.
template <int K>
static void addPendingGroup(PendingRow* rows, int32_t n) {
    __m128 acc[K];
    for (int g = 0; g < K; ++g) acc[g] = _mm_loadu_ps(rows[g].acc);
    for (int32_t j = 0; j < n; ++j)
        for (int g = 0; g < K; ++g) acc[g] = _mm_add_ps(acc[g], pixelFloats(rows[g].pixels + j));
    for (int g = 0; g < K; ++g) _mm_storeu_ps(rows[g].acc, acc[g]);
}

// The same with AVX2: two pixels of a cell widen to floats in two instructions
// and are added one after the other.
template <int K>
__attribute__((target("avx2"))) static void addPendingGroupAvx2(PendingRow* rows, int32_t n) {
    __m128 acc[K];
    for (int g = 0; g < K; ++g) acc[g] = _mm_loadu_ps(rows[g].acc);
    int32_t j = 0;
    for (; j + 1 < n; j += 2)
        for (int g = 0; g < K; ++g) {
            const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[g].pixels + j));
            const __m256 v = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(two));
            acc[g] = _mm_add_ps(acc[g], _mm256_castps256_ps128(v));
            acc[g] = _mm_add_ps(acc[g], _mm256_extractf128_ps(v, 1));
        }
    for (; j < n; ++j)
        for (int g = 0; g < K; ++g) acc[g] = _mm_add_ps(acc[g], pixelFloats(rows[g].pixels + j));
    for (int g = 0; g < K; ++g) _mm_storeu_ps(rows[g].acc, acc[g]);
}

// Four pixels' bytes as sixteen floats (the zero-masked forms: GCC warns of
// the undefined vector inside the plain ones).
__attribute__((target("avx512f"), always_inline)) static inline __m512 fourPixelsAvx512(__m128i pixels) {
    const __mmask16 all = 0xFFFF;
    return _mm512_maskz_cvtepi32_ps(all, _mm512_maskz_cvtepu8_epi32(all, pixels));
}

// With AVX-512: four cells side by side in the four 128-bit lanes of one
// accumulator, Q accumulators. Four pixels of each cell are loaded at once and
// turned (a 4 x 4 transpose of words) into four vectors holding pixel j of every
// cell, each widened to sixteen floats and added in turn, so each cell still
// adds its pixels one after the other. The lanes of slots past k repeat the
// first cell's pixels and are not kept.
template <int Q>
__attribute__((target("avx512f"))) static void addPendingGroupAvx512(PendingRow* rows, int k, int32_t n) {
    const PF_Pixel* p[4 * Q];
    __m512 acc[Q];
    for (int g = 0; g < 4 * Q; ++g) p[g] = rows[g < k ? g : 0].pixels;
    for (int q = 0; q < Q; ++q) {
        alignas(64) float lanes[16];
        for (int g = 0; g < 4; ++g) std::memcpy(lanes + 4 * g, rows[4 * q + g < k ? 4 * q + g : 0].acc, 16);
        acc[q] = _mm512_load_ps(lanes);
    }
    int32_t j = 0;
    for (; j + 3 < n; j += 4)
        for (int q = 0; q < Q; ++q) {
            const PF_Pixel* const* c = p + 4 * q;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[0] + j));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[1] + j));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[2] + j));
            const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[3] + j));
            const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
            const __m128i de_lo = _mm_unpacklo_epi32(d, e), de_hi = _mm_unpackhi_epi32(d, e);
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpacklo_epi64(ab_lo, de_lo)));
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpackhi_epi64(ab_lo, de_lo)));
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpacklo_epi64(ab_hi, de_hi)));
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpackhi_epi64(ab_hi, de_hi)));
        }
    for (int q = 0; q < Q; ++q) {
        alignas(64) float lanes[16];
        _mm512_store_ps(lanes, acc[q]);
        for (int g = 0; g < 4 && 4 * q + g < k; ++g) std::memcpy(rows[4 * q + g].acc, lanes + 4 * g, 16);
    }
    // the last pixels (fewer than four), cell by cell
    for (int g = 0; g < k; ++g) {
        __m128 v = _mm_loadu_ps(rows[g].acc);
        for (int32_t i = j; i < n; ++i) v = _mm_add_ps(v, pixelFloats(rows[g].pixels + i));
        _mm_storeu_ps(rows[g].acc, v);
    }
}

// Adds every pending segment, up to Groups cells at a time for as many pixels
// as the shortest of them has; the cells left over are grouped again, so that
// a short segment (a cell cut by the layer's edge) does not leave the others
// to go on one chain at a time.
template <int Groups, typename AddGroup>
__attribute__((always_inline)) static inline void addPendingInGroups(PendingRow* rows, int count, AddGroup add) {
    for (int i = 0; i < count; ++i) std::memcpy(rows[i].acc, rows[i].sum->sums, sizeof(rows[i].acc));
    int live = count;  // rows finished are swapped to the end
    while (live > 0) {
        for (int i = 0; i < live; i += Groups) {
            const int k = live - i < Groups ? live - i : Groups;
            int32_t n = rows[i].count;
            for (int g = 1; g < k; ++g) n = rows[i + g].count < n ? rows[i + g].count : n;
            add(rows + i, k, n);
            for (int g = 0; g < k; ++g) {
                rows[i + g].pixels += n;
                rows[i + g].count -= n;
            }
        }
        for (int i = 0; i < live;) {
            if (rows[i].count == 0)
                std::swap(rows[i], rows[--live]);
            else
                ++i;
        }
    }
    for (int i = 0; i < count; ++i)
        for (int c = 0; c < 4; ++c)
            if (rows[i].channels & (1u << c)) rows[i].sum->sums[c] = rows[i].acc[c];
}

static void addPendingRowsPlain(PendingRow* rows, int count) {
    addPendingInGroups<4>(rows, count, [](PendingRow* group, int k, int32_t n) {
        switch (k) {
        case 4: addPendingGroup<4>(group, n); break;
        case 3: addPendingGroup<3>(group, n); break;
        case 2: addPendingGroup<2>(group, n); break;
        default: addPendingGroup<1>(group, n); break;
        }
    });
}

__attribute__((target("avx2"))) static void addPendingRowsAvx2(PendingRow* rows, int count) {
    addPendingInGroups<8>(rows, count, [](PendingRow* group, int k, int32_t n) {
        switch (k) {
        case 8: addPendingGroupAvx2<8>(group, n); break;
        case 7: addPendingGroupAvx2<7>(group, n); break;
        case 6: addPendingGroupAvx2<6>(group, n); break;
        case 5: addPendingGroupAvx2<5>(group, n); break;
        case 4: addPendingGroupAvx2<4>(group, n); break;
        case 3: addPendingGroupAvx2<3>(group, n); break;
        case 2: addPendingGroupAvx2<2>(group, n); break;
        default: addPendingGroupAvx2<1>(group, n); break;
        }
    });
}

__attribute__((target("avx512f"))) static void addPendingRowsAvx512(PendingRow* rows, int count) {
    addPendingInGroups<16>(rows, count, [](PendingRow* group, int k, int32_t n) {
        switch ((k + 3) / 4) {
        case 4: addPendingGroupAvx512<4>(group, k, n); break;
        case 3: addPendingGroupAvx512<3>(group, k, n); break;
        case 2: addPendingGroupAvx512<2>(group, k, n); break;
        default: addPendingGroupAvx512<1>(group, k, n); break;
        }
    });
}

static void addPendingRows(PendingRow* rows, int count) {
    switch (kvIsaLevel()) {
    case kKvIsaAvx512: addPendingRowsAvx512(rows, count); break;
    case kKvIsaAvx2: addPendingRowsAvx2(rows, count); break;
    default: addPendingRowsPlain(rows, count); break;
    }
}

// Adds row y, the next row of the cell.
static void cellSumAddRow(CellSum* s, PF_LayerDef* world, int32_t y) {
    uint64_t row_sums[4];
    sumRowBytes(world, y, s->rect.left, s->rect.right, row_sums);
    const unsigned channels = cellSumRowApply(s, row_sums);
    if (!channels) return;
    PendingRow row = {s, worldPixel(world, s->rect.left, y), s->rect.right - s->rect.left, channels, {}};
    addPendingRows(&row, 1);
}

static void cellSumEnd(const CellSum* s, PF_PixelFloat* average) {
    float sums[4] = {0, 0, 0, 0};
    if (!s->readable) {
        setAverage(average, sums, 0);
        return;
    }
    for (int c = 0; c < 4; ++c) sums[c] = s->in_float[c] ? s->sums[c] : static_cast<float>(s->exact[c]);
    setAverage(average, sums, pixelCount(&s->rect));
}

void r_average_rect_rgba(PF_LayerDef* world, PF_LRect* rect, PF_PixelFloat* average) {
#if KAVRI_REFERENCE_PATHS
    r_average_rect_rgba_reference(world, rect, average);
    return;
#endif
    CellSum s;
    cellSumBegin(&s, world, rect);
    if (cellSumReads(&s)) {
        if (s.whole_exact)  // the whole rectangle in integers at once
            sumRowsBytes(world, s.rect.top, s.rect.bottom, s.rect.left, s.rect.right, s.exact);
        else
            for (int32_t y = s.rect.top; y < s.rect.bottom; ++y) cellSumAddRow(&s, world, y);
    }
    cellSumEnd(&s, average);
}

void r_average_frect_rgba(PF_LayerDef* world, FRect* rect, PF_PixelFloat* average) {
    PF_LRect r = {truncToInt32(rect->left), truncToInt32(rect->top), truncToInt32(rect->right),
                  truncToInt32(rect->bottom)};
    r_average_rect_rgba(world, &r, average);
}

// ---- the hooks ----

PF_Err nr_ae_init(kavri_ae_filter_context*) {
    return PF_Err_NONE;
}

PF_Err nr_ae_frame_setup(kavri_ae_filter_context*, PF_InData*, PF_OutData*) {
    return PF_Err_NONE;
}

PF_Err nr_ae_enable_params(kavri_ae_filter_context*, PF_InData*, PF_OutData*) {
    return PF_Err_NONE;
}

// Sets up the frame; false when there is no cell to walk (an output with no
// pixels, or a cell size that is not a finite positive number, as a pixel aspect
// ratio of 0 gives).
static bool setupFrame(PF_ParamDef** params, PF_InData* in_data, PF_LayerDef* output, SquaresFrame* f) {
    std::memset(f, 0, sizeof(*f));
    setupColours(params, f);
    if (output->width <= 0 || output->height <= 0) return false;
    setupGrid(params, in_data, output, f);
    return finitePositive(f->cell_width) && finitePositive(f->cell_height);
}

void squaresWalk(kavri_ae_filter_context* context, PF_InData* in_data, PF_LayerDef* output,
                 SquaresCellVisitor visit, void* user) {
    SquaresFrame f;
    if (!setupFrame(context->params, in_data, output, &f)) return;
    walkCells(&f, [&](const SquaresCell& cell) {
        visit(user, &cell);
        return true;
    });
}

// ---- one pass over the input for the background and every cell's average ----
//
// The colour and tinted backgrounds read the input row by row, and every cell
// averages rows of it; with up to kMaxGatheredCells cells the filter makes both
// in one sweep of the rows, so the input is read from memory once and in order
// (cell by cell, a small cell's rows would be fetched one short piece at a
// time). Each cell still adds its rows top to bottom, so its average is bit for
// bit the same, and the whole background is laid before the first square is
// drawn. The cells are then drawn band by band (drawBanded).

#if !KAVRI_REFERENCE_PATHS
static const int kMaxGatheredCells = 1 << 16;
static const int32_t kSweepBandRows = 16;
static const int32_t kDrawBandBytes = 256 * 1024;

static bool backgroundReadsRows(const SquaresFrame* f, const PF_LayerDef* input, const PF_LayerDef* output) {
    if (f->background_fill == kFillColor) return true;
    return f->background_fill == kFillSourceOrNone && input->width == output->width && input->height == output->height;
}

// The averages read the input after the background is written to the output,
// so the sweep is only for worlds that do not share memory.
static bool worldsApart(const PF_LayerDef* a, const PF_LayerDef* b) {
    if (a->rowbytes <= 0 || b->rowbytes <= 0) return false;
    const char* a0 = reinterpret_cast<const char*>(a->data);
    const char* b0 = reinterpret_cast<const char*>(b->data);
    const char* a1 = a0 + static_cast<int64_t>(a->rowbytes) * a->height;
    const char* b1 = b0 + static_cast<int64_t>(b->rowbytes) * b->height;
    return a1 <= b0 || b1 <= a0;
}

struct GatheredCell {
    RowSums lanes;  // the running sums of a cell that cannot pass 2^24
    SquaresCell cell;
    CellSum sum;
    CellDrawing drawing;
};

// The rows a cell's drawing may touch, half-open; kept apart from the cells so
// that ordering them reads only these.
struct CellRows {
    int32_t first, end;
};

// Rows a rectangle's fill may touch, with a row to spare on each side, within
// the world's; NaN edges give all of them.
static void rowsTouched(const FRect& r, float H, int32_t* first, int32_t* end) {
    const float top = std::max(0.0f, std::floor(r.top) - 1), bottom = std::min(H, std::ceil(r.bottom) + 1);
    *first = std::min(*first, static_cast<int32_t>(std::min(top, H)));
    *end = std::max(*end, static_cast<int32_t>(std::max(bottom, 0.0f)));
}

// For a cell drawn band by band: its rectangles' pixels, worked out once.
static void planCellDrawing(CellDrawing* d, const PF_LayerDef* output) {
    if (d->tile) r_plan_frect(&d->tile_rect, output, &d->tile_plan);
    if (d->square) r_plan_frect(&d->square_rect, output, &d->square_plan);
}

// Draws the cell's tile and square, only rows y0 .. y1 - 1 of them.
static void drawCellRows(PF_InData* in_data, PF_LayerDef* output, CellDrawing* d, int32_t y0, int32_t y1) {
    if (d->tile) r_fill_frect_plan_rows(in_data, &d->tile_colour, &d->tile_plan, output, y0, y1);
    if (d->square) r_fill_frect_plan_rows(in_data, &d->square_colour, &d->square_plan, output, y0, y1);
}

// Works out what a cell draws once its sums are complete, while its record is
// still in the cache: its average, its tile and square, and the rows they touch.
static void finishCell(const SquaresFrame* f, GatheredCell* c, const PF_LayerDef* output, CellRows* rows) {
    PF_PixelFloat avg;
    cellSumEnd(&c->sum, &avg);
    cellDrawing(f, c->cell, avg, &c->drawing);
    planCellDrawing(&c->drawing, output);
    rows->first = output->height;
    rows->end = 0;
    if (c->drawing.tile) rowsTouched(c->drawing.tile_rect, f->H, &rows->first, &rows->end);
    if (c->drawing.square) rowsTouched(c->drawing.square_rect, f->H, &rows->first, &rows->end);
}

// Draws every (finished) cell band by band: in each band of rows the cells that
// reach it, in the walk's order. Every pixel sees the same fills and blends in
// the same order as when each cell is drawn whole, while the band stays in the
// cache. `order` has room for two indices per cell.
static void drawBanded(PF_InData* in_data, PF_LayerDef* output, GatheredCell* cells, const CellRows* rows, int n,
                       int32_t* order) {
    int32_t drawn = 0;
    for (int i = 0; i < n; ++i)
        if (rows[i].first < rows[i].end) order[drawn++] = i;
    const auto by_first_row = [&](int32_t a, int32_t b) { return rows[a].first < rows[b].first; };
    if (!std::is_sorted(order, order + drawn, by_first_row)) std::stable_sort(order, order + drawn, by_first_row);
    int32_t* active = order + drawn;
    int32_t active_count = 0, next = 0;
    const int32_t row_bytes = output->width * static_cast<int32_t>(sizeof(PF_Pixel));
    const int32_t band_rows = std::max<int32_t>(1, kDrawBandBytes / std::max<int32_t>(1, row_bytes));
    for (int32_t band = 0; band < output->height && (next < drawn || active_count > 0); band += band_rows) {
        const int32_t band_end = output->height - band > band_rows ? band + band_rows : output->height;
        const int32_t before = active_count;
        while (next < drawn && rows[order[next]].first < band_end) active[active_count++] = order[next++];
        // back into the walk's order
        if (active_count > before && !std::is_sorted(active, active + active_count))
            std::sort(active, active + active_count);
        int32_t kept = 0;
        for (int32_t i = 0; i < active_count; ++i) {
            drawCellRows(in_data, output, &cells[active[i]].drawing, band, band_end);
            if (rows[active[i]].end > band_end) active[kept++] = active[i];
        }
        active_count = kept;
    }
}

// A cell whose rows the sweep's current band reaches; its rows and left edge
// are kept beside its index, so that each row's pass looks only at these.
struct ActiveCell {
    int32_t top, bottom, left, right;
    int32_t index;
    // For a cell kept in lanes whose rows take at most kNarrowFlushChunks chunks:
    // its whole chunks per row, the pixels of its last, partial chunk, and the
    // chunks a row adds to the 16-bit lanes; `step` is 0 for every other cell.
    int32_t chunks;
    int16_t step;
    uint8_t tail;
    bool whole_exact;
};

static ActiveCell activeCell(const CellSum& sum, int32_t index) {
    ActiveCell a = {sum.rect.top, sum.rect.bottom, sum.rect.left, sum.rect.right, index, 0, 0, 0, sum.whole_exact};
    const int32_t L = RowSums::kLanes, n = sum.rect.right - sum.rect.left;
    const int32_t step = n / L + (n % L != 0);
    if (sum.whole_exact && n >= L && step <= kNarrowFlushChunks) {
        a.chunks = n / L;
        a.tail = static_cast<uint8_t>(n % L);
        a.step = static_cast<int16_t>(step);
    }
    return a;
}

// Adds one row of a cell that has a `step` (with Fill also writing the colour
// background over it): the same lane additions as addSegment, with the
// chunk counts worked out once for the cell instead of on every row.
template <bool Fill>
__attribute__((always_inline)) static inline void addLanesRow(RowSums* s, const ActiveCell& a, const PF_Pixel* src,
                                                              PF_Pixel* dst, uint32_t pattern) {
    const int L = RowSums::kLanes;
    if (s->narrow > kNarrowFlushChunks - a.step) byteSumsFlush(s);
    const RowSums::Words all = RowSums::Words{} + 0xFFFFFFFFu;
    RowSums::Halves ag = s->ag, rb = s->rb;
    src += a.left;
    if (Fill) dst += a.left;
    for (int32_t k = 0; k < a.chunks; ++k)
        addChunk<L, Fill>(&ag, &rb, src + k * L, Fill ? dst + k * L : nullptr, all, pattern);
    if (a.tail) addLastChunk<L, Fill>(&ag, &rb, src, dst, a.right - a.left, a.tail, pattern);
    s->ag = ag;
    s->rb = rb;
    s->narrow += a.step;
}

// The state of one sweep: the cells, those whose rows the current band reaches
// (`active`, in order of their left edges), and the float additions waiting for
// one row.
struct Sweep {
    PF_LayerDef* input;
    PF_LayerDef* output;
    GatheredCell* cells;
    ActiveCell* active;
    int32_t active_count;
    PendingRow* pending;
    AlphaFill fill;
    TintTable tint;
};

// One band, row by row: each active cell's piece of the row is added to its
// sums (kept in vector lanes across rows for a cell that cannot pass 2^24, made
// whole for each row for the others). With Fill the opaque colour background is
// laid in the same pass, so each input pixel is read once; where two cells
// overlap, the second adds its overlap on its own.
template <bool Fill, void (*AddPendingRows)(PendingRow*, int)>
__attribute__((always_inline)) static inline void sweepBandByRowsBody(Sweep* w, int32_t band, int32_t band_end) {
    const int32_t width = w->output->width;
    for (int32_t y = band; y < band_end; ++y) {
        const PF_Pixel* src = worldPixel(w->input, 0, y);
        PF_Pixel* dst = Fill ? worldPixel(w->output, 0, y) : nullptr;
        int32_t done = 0;  // the row's background is laid up to here
        int pending_count = 0;
        for (int32_t i = 0; i < w->active_count; ++i) {
            const ActiveCell& a = w->active[i];
            if (y < a.top || y >= a.bottom) continue;
            GatheredCell& c = w->cells[a.index];
            const int32_t left = a.left, right = a.right;
            if (a.step && (!Fill || done <= left)) {
                if (Fill && done < left) alphaFillRow(&w->fill, w->input, w->output, y, done, left);
                addLanesRow<Fill>(&c.lanes, a, src, dst, Fill ? w->fill.pattern : 0);
                if (Fill) done = right;
                continue;
            }
            uint64_t row_sums[4];
            RowSums row;
            RowSums* into = &c.lanes;
            if (!a.whole_exact) {
                byteSumsBegin(&row, row_sums);
                into = &row;
            }
            if (!Fill) {
                addSegment<8, false>(into, src + left, nullptr, right - left, 0);
            } else {
                if (left < done) addSegment<8, false>(into, src + left, nullptr, (right < done ? right : done) - left, 0);
                if (done < left) {
                    alphaFillRow(&w->fill, w->input, w->output, y, done, left);
                    done = left;
                }
                if (done < right) {
                    addSegment<8, true>(into, src + done, dst + done, right - done, w->fill.pattern);
                    done = right;
                }
            }
            if (!a.whole_exact) {
                byteSumsFlush(&row);
                const unsigned channels = cellSumRowApply(&c.sum, row_sums);
                if (channels) w->pending[pending_count++] = {&c.sum, src + left, right - left, channels, {}};
            }
        }
        if (Fill && done < width) alphaFillRow(&w->fill, w->input, w->output, y, done, width);
        AddPendingRows(w->pending, pending_count);
    }
}

// The band's pass as a whole, built for each level with its float additions.
static void sweepBandByRowsPlain(Sweep* w, int32_t band, int32_t band_end, bool fill) {
    if (fill)
        sweepBandByRowsBody<true, addPendingRowsPlain>(w, band, band_end);
    else
        sweepBandByRowsBody<false, addPendingRowsPlain>(w, band, band_end);
}

__attribute__((target("avx2"))) static void sweepBandByRowsAvx2(Sweep* w, int32_t band, int32_t band_end, bool fill) {
    if (fill)
        sweepBandByRowsBody<true, addPendingRowsAvx2>(w, band, band_end);
    else
        sweepBandByRowsBody<false, addPendingRowsAvx2>(w, band, band_end);
}

// (with AVX-512 only the float additions change: the row pass is the AVX2 one,
// which was as fast as any wider version here)
__attribute__((target("avx2"))) static void sweepBandByRowsAvx512(Sweep* w, int32_t band, int32_t band_end,
                                                                  bool fill) {
    if (fill)
        sweepBandByRowsBody<true, addPendingRowsAvx512>(w, band, band_end);
    else
        sweepBandByRowsBody<false, addPendingRowsAvx512>(w, band, band_end);
}

static void sweepBandByRows(Sweep* w, int32_t band, int32_t band_end, bool fill) {
    switch (kvIsaLevel()) {
    case kKvIsaAvx512: sweepBandByRowsAvx512(w, band, band_end, fill); break;
    case kKvIsaAvx2: sweepBandByRowsAvx2(w, band, band_end, fill); break;
    default: sweepBandByRowsPlain(w, band, band_end, fill); break;
    }
}

// One band whose background is laid on its own first (a tinted copy, or a
// colour over an input of another size), or that has none to lay.
static void sweepBandAfterBackground(Sweep* w, const SquaresFrame* f, bool background_in_sweep, int32_t band,
                                     int32_t band_end) {
    for (int32_t y = band; background_in_sweep && y < band_end && y < w->output->height; ++y) {
        if (f->background_fill == kFillColor)
            alphaFillRow(&w->fill, w->input, w->output, y, 0, w->output->width);
        else
            tintRow(&w->tint, w->input, w->output, y);
    }
    sweepBandByRows(w, band, band_end < w->input->height ? band_end : w->input->height, false);
}

static bool drawGathered(PF_InData* in_data, PF_LayerDef* input, PF_LayerDef* output, SquaresFrame* f) {
    int count = 0;
    walkCells(f, [&](const SquaresCell&) { return ++count <= kMaxGatheredCells; });
    if (count > kMaxGatheredCells) return false;
    // (aligned for the vector lanes each cell keeps)
    const size_t align = 64, cells_bytes = (sizeof(GatheredCell) * static_cast<size_t>(count + 1) + align - 1) / align * align;
    static_assert(alignof(GatheredCell) <= align && sizeof(GatheredCell) % alignof(RowSums) == 0, "cell lanes stay aligned");
    GatheredCell* cells = static_cast<GatheredCell*>(std::aligned_alloc(align, cells_bytes));
    int32_t* order = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * 2 * static_cast<size_t>(count + 1)));
    CellRows* rows_of = static_cast<CellRows*>(std::malloc(sizeof(CellRows) * static_cast<size_t>(count + 1)));
    int32_t* finished = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(count + 1)));
    PendingRow* pending = static_cast<PendingRow*>(std::malloc(sizeof(PendingRow) * static_cast<size_t>(count + 1)));
    // (the active cells, twice: a band's new cells are merged into them)
    ActiveCell* active = static_cast<ActiveCell*>(std::malloc(sizeof(ActiveCell) * 2 * static_cast<size_t>(count + 1)));
    if (!cells || !order || !rows_of || !finished || !pending || !active) {
        std::free(cells);
        std::free(order);
        std::free(rows_of);
        std::free(finished);
        std::free(pending);
        std::free(active);
        return false;
    }
    ActiveCell* spare = active + count + 1;
    int n = 0;
    walkCells(f, [&](const SquaresCell& cell) {
        cells[n].cell = cell;
        PF_LRect area = cellArea(cell);
        cellSumBegin(&cells[n].sum, input, &area);
        byteSumsBegin(&cells[n].lanes, cells[n].sum.exact);
        if (!cellSumReads(&cells[n].sum)) finishCell(f, &cells[n], output, &rows_of[n]);  // nothing to add
        ++n;
        return true;
    });
    // cells that read rows, by their first row
    int32_t starting = 0;
    for (int i = 0; i < n; ++i)
        if (cellSumReads(&cells[i].sum)) order[starting++] = i;
    // (the order among cells starting on one row does not matter: each sums its
    // own; without column shifts the walk's order is already this one)
    const auto by_top = [&](int32_t a, int32_t b) { return cells[a].sum.rect.top < cells[b].sum.rect.top; };
    if (!std::is_sorted(order, order + starting, by_top)) std::sort(order, order + starting, by_top);
    Sweep w;
    w.input = input;
    w.output = output;
    w.cells = cells;
    w.active = active;
    w.active_count = 0;
    w.pending = pending;
    int32_t next = 0;

    // A background that reads the input is laid band by band in the sweep; any
    // other is laid now, since the sweep only reads the input.
    const bool background_in_sweep = backgroundReadsRows(f, input, output);
    if (!background_in_sweep) drawBackground(in_data, input, output, f);
    if (f->background_fill == kFillColor)
        alphaFillPrepare(&w.fill, &f->background);
    else
        tintPrepare(&w.tint, &f->background);
    // the opaque colour over an input of the output's size: one pass per row
    const bool fused = background_in_sweep && f->background_fill == kFillColor && f->background.alpha == 255 &&
                       input->width == output->width && input->height == output->height;
    // Bands of rows: the cells a band reaches are found once for it, and a
    // background laid on its own is still in the cache when the band is summed.
    const int32_t rows = background_in_sweep && output->height > input->height ? output->height : input->height;
    for (int32_t band = 0; band < rows; band += kSweepBandRows) {
        const int32_t band_end = rows - band > kSweepBandRows ? band + kSweepBandRows : rows;
        const int32_t before = w.active_count;
        for (; next < starting && cells[order[next]].sum.rect.top < band_end; ++next) {
            w.active[w.active_count++] = activeCell(cells[order[next]].sum, order[next]);
        }
        if (w.active_count > before) {
            // the new cells in order of their left edges, then merged with the others
            const auto by_left = [](const ActiveCell& a, const ActiveCell& b) { return a.left < b.left; };
            ActiveCell *fresh = w.active + before, *end = w.active + w.active_count;
            if (!std::is_sorted(fresh, end, by_left)) std::sort(fresh, end, by_left);
            if (before > 0 && by_left(*fresh, fresh[-1])) {
                std::merge(w.active, fresh, fresh, end, spare, by_left);
                std::swap(w.active, spare);
            }
        }
        if (fused)
            sweepBandByRows(&w, band, band_end, true);
        else
            sweepBandAfterBackground(&w, f, background_in_sweep, band, band_end);
        // the cells whose last row is added: their lanes into their sums, then
        // each is finished, one after another
        int32_t kept = 0, done = 0;  // kept in the same order
        for (int32_t i = 0; i < w.active_count; ++i) {
            const ActiveCell& a = w.active[i];
            if (a.bottom > band_end) {
                w.active[kept++] = a;
                continue;
            }
            if (a.whole_exact) byteSumsFlush(&cells[a.index].lanes);
            finished[done++] = a.index;
        }
        for (int32_t i = 0; i < done; ++i) finishCell(f, &cells[finished[i]], output, &rows_of[finished[i]]);
        w.active_count = kept;
    }
    drawBanded(in_data, output, cells, rows_of, n, order);
    std::free(cells);
    std::free(order);
    std::free(rows_of);
    std::free(finished);
    std::free(pending);
    std::free(active);  // (both halves: w.active may point to either)
    return true;
}
#endif

PF_Err nr_ae_frame_filter_inner(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                                PF_InData* in_data, PF_OutData*) {
    SquaresFrame f;
    const bool walk = setupFrame(context->params, in_data, output, &f);
#if !KAVRI_REFERENCE_PATHS
    if (walk && worldsApart(input, output) && drawGathered(in_data, input, output, &f))
        return PF_Err_NONE;
#endif
    drawBackground(in_data, input, output, &f);
    AbortCheck abort = {in_data, PF_Err_NONE};
    if (walk)
        walkCells(
            &f,
            [&](const SquaresCell& cell) {
                PF_LRect area = cellArea(cell);
                PF_PixelFloat avg;
                r_average_rect_rgba(input, &area, &avg);
                drawCell(in_data, output, &f, cell, avg);
                return true;
            },
            &abort);
    return abort.err;
}

PF_Err nr_ae_frame_filter(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                          PF_InData* in_data, PF_OutData* out_data) {
    return nr_ae_frame_filter_inner(context, input, output, in_data, out_data);
}
