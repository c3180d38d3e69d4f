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
#include "effect/kavri_squares_cells.h"

#include "cells/kavri_cell_sweep.h"
#include "cells/kavri_cells.h"
#include "graphics/kavri_isa.h"
#include "kavri_effect_version.h"

// ---- the description: one row per parameter, in the order the host shows them ----

static constexpr ns_ae_effect kEffect = {
    "checkerwarp",
    "an interesting and simple form of modulation",
    "squares modulated by the colour beneath them",
    "written for the host's C effect interface",
    KAVRI_EFFECT_VERSION, 0, 0,
    NS_AE_FILTER_AT_RENDER | NS_AE_COVERS_OUTPUT,  // every background fill writes every pixel
    PF_OutFlag_SEND_UPDATE_PARAMS_UI,
    0,
};

static constexpr ns_ae_row kRows[] = {
    floatSliderRow(kSqAcross, "squares across", 1, 255, 12, "how many cells fit across the layer's width"),
    pointRow(kSqCenter, "center", 50, 50, "a cell is centred here, and the grid grows from it"),
    colorRow(kSqBackgroundColor, "background color", 0x000000,
             "the colour behind the squares, and the tint of a tile or source background"),
    popupRow(kSqBackgroundFill, "background fill", "color|tile|source (tinted)|knockout", kFillColor,
             "what lies behind the squares: a flat colour, each cell's average, the layer tinted, or nothing"),
    colorRow(kSqSquaresColor, "squares color", 0xFFFFFF, "the colour of the squares, and the tint of tile squares"),
    popupRow(kSqSquaresFill, "squares fill", "color|tile|none|knockout", kFillColor,
             "what the squares are: a flat colour, their cell's average, not drawn, or holes"),
    groupStartRow(kSqFutzStart, "futz"),
    floatSliderRow(kSqXScale, "x scale", 0.1f, 1000, 100, "stretches the cells across").percent(),
    floatSliderRow(kSqYScale, "y scale", 0.1f, 1000, 100, "stretches the cells up and down").percent(),
    popupRow(kSqBrickRows, "brick rows", "horizontal|vertical", kBrickHorizontal,
             "whether rows or columns of cells are shifted against each other"),
    angleRow(kSqBrickOffset, "brick offset", 0, "how far each row is shifted against the one above: a full turn is one cell"),
    angleRow(kSqXOffset, "x offset", 0, "moves the grid across: a full turn is one cell"),
    angleRow(kSqYOffset, "y offset", 0, "moves the grid up and down: a full turn is one cell"),
    angleRow(kSqWibbleAngle, "wibble angle", 0, "the direction the squares are pushed in: 0 is up, 90 right"),
    floatSliderRow(kSqWibbleMax, "wibble max", 0, 10, 0, "how far the squares are pushed, in cells"),
    colorRow(kSqWibbleInfluence, "wibble influence", 0x555555,
             "which colours beneath a square push it furthest"),
    floatSliderRow(kSqHorizontalMin, "horizontal min", 0, 10, 0, "a square's width, in cells, over colours the horizontal influence ignores"),
    floatSliderRow(kSqHorizontalMax, "horizontal max", 0, 10, 1, "a square's width, in cells, over the colour the horizontal influence weighs most"),
    colorRow(kSqHorizontalInfluence, "horizontal influence", 0x0000FF, "which colours beneath a square widen it"),
    floatSliderRow(kSqVerticalMin, "vertical min", 0, 10, 0, "a square's height, in cells, over colours the vertical influence ignores"),
    floatSliderRow(kSqVerticalMax, "vertical max", 0, 10, 1, "a square's height, in cells, over the colour the vertical influence weighs most"),
    colorRow(kSqVerticalInfluence, "vertical influence", 0x7F8000, "which colours beneath a square make it taller"),
    groupEndRow(kSqFutzEnd),
};

extern "C" constexpr ns_ae_description g_d = nr_ae_describe(kEffect, kRows);

// ---- per-frame quantities (SquaresFrame: effect/kavri_squares_cells.h) ----

static void setupGrid(PF_ParamDef** params, PF_InData* in_data, PF_LayerDef* output, SquaresFrame* f);
static void setupColours(PF_ParamDef** params, SquaresFrame* f);
static void drawBackground(PF_InData* in_data, PF_LayerDef* input, PF_LayerDef* output, const SquaresFrame* f);
// A walk given one tells the host how far it has got and asks it whether to
// stop, once per row of cells.
struct RowReport {
    PF_InData* in_data;
    PF_Err err;  // the host's interrupt code once it said stop
};
template <typename Visit>
static void walkCells(const SquaresFrame* f, Visit visit, RowReport* report = nullptr);

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
    if (getParamPopup(params, kSqBrickRows) == kBrickHorizontal) {
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
    f->background_fill = getParamPopup(params, kSqBackgroundFill);
    f->squares_fill = getParamPopup(params, kSqSquaresFill);
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

static void drawBackground(PF_InData* in_data, PF_LayerDef* input, PF_LayerDef* output, const SquaresFrame* f) {
    PF_LRect whole = {0, 0, output->width, output->height};
    PF_Pixel colour = f->background;
    switch (f->background_fill) {
    case kFillColor: fill_preserving_alpha(&colour, &whole, input, output); break;
    case kFillSourceOrNone: r_tintedCopyLayer(input, output, &colour); break;
    case kFillKnockout: {
        PF_Pixel clear = f->background;
        clear.alpha = 0;
        if (in_data->utils && in_data->utils->fill) in_data->utils->fill(in_data->effect_ref, &clear, &whole, output);
        break;
    }
    default:
        // Tiles, drawn cell by cell. Where columns are shifted as bricks, a
        // cell's bottom and the top of the cell below come from different sums,
        // and where they fall either side of a row's edge that row is left to
        // the tiles' blended borders: it is cleared first, as a fresh output
        // is, so that no host's leftovers show through. (Drawing into its own
        // input, the output holds the input, which the cells still read.)
        if (f->column_shift != 0 && !worldsShareMemory(input, output)) {
            PF_Pixel none = {0, 0, 0, 0};
            r_fill_rect(in_data, &none, &whole, output);
        }
        break;
    }
}

// ---- the walk: rows top to bottom, cells left to right ----

template <typename Visit>
static void walkCells(const SquaresFrame* f, Visit visit, RowReport* report) {
    const float cw = f->cell_width, ch = f->cell_height;
    const float two_cell_widths = cw + cw, two_cell_heights = ch + ch;
    const float left_limit = cw * -3;
    float row_top = f->first_row_top;
    float row_start = f->row_start;
    // (the rows to walk, near enough for a progress report)
    const double rows = std::ceil((static_cast<double>(two_cell_heights) + f->H - row_top) / ch);
    for (double row = 0; two_cell_heights + f->H > row_top; ++row) {
        if (report) {
            report->err = nr_ae_check_abort(report->in_data);
            if (!report->err) report->err = nr_ae_report_progress(report->in_data, row, rows);
            if (report->err) return;
        }
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

// ---- with few enough cells: one sweep of the input ----

// The cells of one frame as the sweep draws them.
struct SweptFrame {
    const SquaresFrame* f;
    const SquaresCell* cells;
    PF_InData* in_data;
    PF_LayerDef* input;
    PF_LayerDef* output;
};

static void finishSweptCells(void* user, int32_t count, const int32_t* indices, const PF_PixelFloat* averages,
                             CellShapes* shapes) {
    const SweptFrame* s = static_cast<const SweptFrame*>(user);
    cellDrawings(s->f, s->cells, indices, averages, shapes, count);
}

static void laySweptBackground(void* user) {
    const SweptFrame* s = static_cast<const SweptFrame*>(user);
    drawBackground(s->in_data, s->input, s->output, s->f);
}

// Draws the frame through the cell sweep; false, with nothing drawn, when the
// sweep does not take it.
static bool drawSwept(PF_InData* in_data, PF_LayerDef* input, PF_LayerDef* output, SquaresFrame* f) {
    int32_t count = 0;
    walkCells(f, [&](const SquaresCell&) { return ++count <= kSweepMaxCells; });
    if (count > kSweepMaxCells) return false;
    const size_t n = static_cast<size_t>(count) + 1;
    SquaresCell* cells = static_cast<SquaresCell*>(std::malloc((sizeof(SquaresCell) + sizeof(PF_LRect)) * n));
    if (!cells) return false;
    PF_LRect* areas = reinterpret_cast<PF_LRect*>(cells + n);
    int32_t i = 0;
    walkCells(f, [&](const SquaresCell& cell) {
        cells[i] = cell;
        areas[i++] = cellArea(cell);
        return true;
    });
    // The colour background, and the tinted one over an input of the output's
    // size, read the input row by row: the sweep lays them as it reads.
    SweepBackground background = kSweepNoBackground;
    if (f->background_fill == kFillColor) background = kSweepColourBackground;
    if (f->background_fill == kFillSourceOrNone && input->width == output->width && input->height == output->height)
        background = kSweepTintedBackground;
    SweptFrame frame = {f, cells, in_data, input, output};
    SweepCells job = {in_data, input, output, areas, count, background, f->background, finishSweptCells,
                      laySweptBackground, &frame};
    const bool drawn = sweepCells(&job);
    std::free(cells);
    return drawn;
}

// ---- a mosaic: a row of cells at a time ----

// The tiles of a mosaic (a tile background and no squares) where each row of
// cells lies on one strip of rows (no column shift): the walk's cells are
// taken a row at a time, averaged along the strip, and their tiles drawn as a
// strip, in the walk's order. Each cell's average and every pixel are what the
// cell by cell path gives. Declined (false, nothing drawn) for other frames,
// cells under a pixel (whose rows would hold more cells than the layer has
// columns), cells of kRowCellsMostPixels or more, an output that is the input,
// or no memory.
// (Measured at 4K: 2.2 x the sweep's speed at 8-pixel cells, 1.26 x at 20, the
// same at about 28; the sweep, which sums each cell in registers, is quicker
// past that.)
constexpr float kRowCellsMostPixels = 640;

static bool drawTileRows(PF_InData* in_data, PF_LayerDef* input, PF_LayerDef* output, const SquaresFrame* f,
                         RowReport* report) {
    if (kvReferencePaths() || f->background_fill != kFillTile || f->squares_fill != kFillSourceOrNone) return false;
    if (f->column_shift != 0 || !(f->cell_width >= 1) || !(f->cell_height >= 1) || worldsShareMemory(input, output))
        return false;
    if (!(f->cell_width * f->cell_height < kRowCellsMostPixels)) return false;
    // a row's cells, from three cells left of the layer to two right of it (a
    // longer row is drawn in pieces)
    const int32_t capacity = std::min(output->width, INT32_MAX - 16) + 16;
    const size_t n = static_cast<size_t>(capacity);
    const size_t sums = static_cast<size_t>(std::max(input->width, 1)) * 4;
    const size_t bytes = n * (sizeof(SquaresCell) + sizeof(PF_LRect) + sizeof(PF_PixelFloat) + 2 * sizeof(float) +
                              sizeof(PF_Pixel) + sizeof(int32_t)) +
                         sizeof(int32_t) + sums * sizeof(uint32_t);
    char* block = static_cast<char*>(std::malloc(bytes));
    if (!block) return false;
    SquaresCell* cells = reinterpret_cast<SquaresCell*>(block);
    PF_LRect* areas = reinterpret_cast<PF_LRect*>(cells + n);
    PF_PixelFloat* averages = reinterpret_cast<PF_PixelFloat*>(areas + n);
    float* lefts = reinterpret_cast<float*>(averages + n);
    float* rights = lefts + n;
    PF_Pixel* colours = reinterpret_cast<PF_Pixel*>(rights + n);
    uint32_t* column_sums = reinterpret_cast<uint32_t*>(colours + n);
    int32_t* edges = reinterpret_cast<int32_t*>(column_sums + sums);
    int32_t waiting = 0;
    // the waiting cells' tiles, each run of cells on the same rows as one strip
    const auto draw = [&] {
        tileEdges(cells, waiting, areas, lefts, rights);
        r_average_strip(input, areas, waiting, edges, column_sums, averages);
        tileColours(f, averages, colours, waiting);
        for (int32_t first = 0, end; first < waiting; first = end) {
            const SquaresCell& c = cells[first];
            for (end = first + 1; end < waiting; ++end)
                if (!(cells[end].top == c.top && cells[end].bottom == c.bottom)) break;
            const FRect r = tileRect(c);
            r_fill_frect_strip(in_data, colours + first, lefts + first, rights + first, end - first, r.top, r.bottom,
                               output);
        }
        waiting = 0;
    };
    walkCells(
        f,
        [&](const SquaresCell& cell) {
            // a new row of cells starts back at the left
            if (waiting > 0 && (cell.left <= cells[waiting - 1].left || waiting == capacity)) draw();
            cells[waiting++] = cell;
            return true;
        },
        report);
    if (!report->err) draw();
    std::free(block);
    return true;
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

PF_Err nr_ae_frame_filter_inner(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                                PF_InData* in_data, PF_OutData*) {
    SquaresFrame f;
    bool walk = setupFrame(context->params, in_data, output, &f);
    // With neither tiles nor squares no cell draws anything: the background is
    // the frame. (The reference paths still walk the cells, to check this.)
    if (!kvReferencePaths() && f.background_fill != kFillTile && f.squares_fill == kFillSourceOrNone) walk = false;
    RowReport report = {in_data, PF_Err_NONE};
    if (walk && drawTileRows(in_data, input, output, &f, &report)) return report.err;
    if (walk && drawSwept(in_data, input, output, &f)) return PF_Err_NONE;
    drawBackground(in_data, input, output, &f);
    if (!walk) return report.err;
    // Cell by cell: averaged, then drawn. Where the output is not the input, a
    // few cells are averaged before they are drawn, so that their drawings are
    // worked out side by side; where it is, each cell's average must see the
    // cells drawn before it.
    // (the reference paths strictly one cell after another, to check the groups against)
    const int32_t group = kvReferencePaths() || worldsShareMemory(input, output) ? 1 : kCellLanes;
    SquaresCell cells[kCellLanes] = {};
    PF_PixelFloat averages[kCellLanes] = {};
    CellShapes shapes[kCellLanes];
    int32_t waiting = 0;
    const auto draw = [&] {
        cellDrawings(&f, cells, nullptr, averages, shapes, waiting);
        for (int32_t i = 0; i < waiting; ++i)
            for (int k = 0; k < shapes[i].count; ++k) r_fill_frect(in_data, &shapes[i].colour[k], &shapes[i].rect[k], output);
        waiting = 0;
    };
    walkCells(
        &f,
        [&](const SquaresCell& cell) {
            PF_LRect area = cellArea(cell);
            r_average_rect_rgba(input, &area, &averages[waiting]);
            cells[waiting++] = cell;
            if (waiting == group) draw();
            return true;
        },
        &report);
    if (!report.err) draw();
    return report.err;
}

PF_Err nr_ae_frame_filter(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                          PF_InData* in_data, PF_OutData* out_data) {
    return nr_ae_frame_filter_inner(context, input, output, in_data, out_data);
}
