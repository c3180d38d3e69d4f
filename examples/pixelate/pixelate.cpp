// pixelate: the mosaic. The layer is cut into a grid of square cells and each
// cell is filled with the average colour of the layer under it. Cells may be a
// fraction of a pixel wide: a cell of 2.5 pixels gives cells of 2 and 3 pixels
// in turn. "keep alpha" keeps each pixel's own transparency, so the mosaic
// keeps the outline of what it covers.
//
// The averages come from the cell library (cells/kavri_cells.h): each channel
// averaged on its own and rounded to the nearest level, as ffmpeg's pixelize
// averages its planes.
#include <cmath>
#include <cstdint>

#include "cells/kavri_cells.h"
#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_ae_graphics_utils.h"
#include "kavri_effect_version.h"

// Stable indices: the parameters' identities in saved projects, never reused.
enum { kPixCellSize = 1, kPixOffset = 2, kPixKeepAlpha = 3 };

// ---- the description ----

static constexpr ns_ae_effect kEffect = {
    "pixelate",
    "a mosaic of square cells, each the average colour beneath it",
    "the layer as a grid of cells, each filled with the average colour under it",
    "an example effect on the framework and its cell library",
    KAVRI_EFFECT_VERSION, 0, 0,
    NS_AE_FILTER_AT_RENDER | NS_AE_NO_DEBUG_GROUP | NS_AE_COVERS_OUTPUT,  // every cell is filled
    0,
    0,
};

static constexpr ns_ae_row kRows[] = {
    floatSliderRow(kPixCellSize, "cell size", 1, 4096, 16,
                   "a cell's width and height in pixels; a fraction gives cells of two sizes in turn")
        .dragRange(1, 256),
    pointRow(kPixOffset, "offset", 0, 0, "a corner of a cell lies here; the grid repeats from it"),
    checkboxRow(kPixKeepAlpha, "keep alpha", "each pixel keeps its own", false,
                "off: a cell's transparency is averaged too; on: each pixel keeps its own"),
};

extern "C" constexpr ns_ae_description g_d = nr_ae_describe(kEffect, kRows);

// ---- the grid ----

// Cells whose averages are worked out together: one handle's worth.
static const int32_t kBatchCells = 16384;

// The edge of cell k along one axis: floor(origin + k * size), in double,
// held to 0..limit.
static int32_t cellEdge(double origin, double size, int64_t k, int32_t limit) {
    const double e = std::floor(origin + static_cast<double>(k) * size);
    if (e <= 0) return 0;
    return e >= limit ? limit : static_cast<int32_t>(e);
}

// The first cell whose far edge lies inside 0..limit.
static int64_t firstCell(double origin, double size, int32_t limit) {
    int64_t k = static_cast<int64_t>(std::floor(-origin / size));
    while (cellEdge(origin, size, k, limit) > 0) --k;
    while (cellEdge(origin, size, k + 1, limit) <= 0) ++k;
    return k;
}

// The cell edges across 0..limit: edges[0] = 0 < edges[1] < ... < edges[n] =
// limit; returns n. `edges` holds limit + 1 entries.
static int32_t cellEdges(double origin, double size, int32_t limit, int32_t* edges) {
    int32_t n = 0;
    edges[0] = 0;
    for (int64_t k = firstCell(origin, size, limit) + 1; edges[n] < limit; ++k) {
        const int32_t e = cellEdge(origin, size, k, limit);
        if (e > edges[n]) edges[++n] = e;
    }
    return n;
}

// ---- the filter ----

// Rows y0..y1 of the output, cell column by column, in their cells' colours;
// with keep_alpha each pixel takes the input's alpha (0 where the input ends).
static void fillRows(PF_LayerDef* input, PF_LayerDef* output, const int32_t* x_edges, int32_t columns,
                     const PF_Pixel* colours, int32_t y0, int32_t y1, bool keep_alpha) {
    for (int32_t y = y0; y < y1; ++y) {
        PF_Pixel* dst = worldPixel(output, 0, y);
        for (int32_t c = 0; c < columns; ++c)
            for (int32_t x = x_edges[c]; x < x_edges[c + 1]; ++x) dst[x] = colours[c];
        if (!keep_alpha) continue;
        const int32_t covered = y < input->height ? (input->width < output->width ? input->width : output->width) : 0;
        const PF_Pixel* src = covered ? worldPixel(input, 0, y) : nullptr;
        for (int32_t x = 0; x < output->width; ++x) dst[x].alpha = x < covered ? src[x].alpha : 0;
    }
}

PF_Err nr_ae_frame_filter(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                          PF_InData* in_data, PF_OutData*) {
    PF_ParamDef** params = context->params;
    float size = static_cast<float>(getParamFloat(params, kPixCellSize));
    if (!(size >= 1)) size = 1;  // (NaN too: a host may hand over anything)
    if (size > 4096) size = 4096;
    const double ox = getParamPointX(params, kPixOffset), oy = getParamPointY(params, kPixOffset);
    const bool keep_alpha = getParamCheckbox(params, kPixKeepAlpha);
    const int32_t width = output->width, height = output->height;
    if (width <= 0 || height <= 0) return PF_Err_NONE;

    // one handle: the column and row edges, then a batch of areas, averages and colours
    // (a batch is whole rows of cells: kBatchCells, or one row where a row holds more)
    // (and the grid's running column sums, four a pixel across)
    const int64_t cells = static_cast<int64_t>(kBatchCells) + width;
    const int64_t bytes = (static_cast<int64_t>(width) + height + 2) * 4 + static_cast<int64_t>(width) * 16 +
                          cells * static_cast<int64_t>(sizeof(PF_LRect) + sizeof(PF_PixelFloat) + sizeof(PF_Pixel));
    PF_Handle handle = nr_ae_new_handle(in_data, static_cast<A_u_longlong>(bytes));
    char* block = static_cast<char*>(nr_ae_handle_record(handle));
    if (!block) {
        nr_ae_dispose_handle(in_data, handle);
        return PF_Err_OUT_OF_MEMORY;
    }
    int32_t* x_edges = reinterpret_cast<int32_t*>(block);
    int32_t* y_edges = x_edges + width + 1;
    uint32_t* sums = reinterpret_cast<uint32_t*>(y_edges + height + 1);
    PF_LRect* areas = reinterpret_cast<PF_LRect*>(sums + static_cast<size_t>(width) * 4);
    PF_PixelFloat* averages = reinterpret_cast<PF_PixelFloat*>(areas + cells);
    PF_Pixel* colours = reinterpret_cast<PF_Pixel*>(averages + cells);

    const int32_t columns = cellEdges(ox, size, width, x_edges);
    const int32_t rows = cellEdges(oy, size, height, y_edges);
    const int32_t batch_rows = kBatchCells / columns > 1 ? kBatchCells / columns : 1;
    PF_Err err = PF_Err_NONE;
    for (int32_t first = 0; first < rows && !err; first += batch_rows) {
        const int32_t last = rows - first < batch_rows ? rows : first + batch_rows;
        int32_t n = 0;
        for (int32_t r = first; r < last; ++r)
            for (int32_t c = 0; c < columns; ++c) areas[n++] = PF_LRect{x_edges[c], y_edges[r], x_edges[c + 1], y_edges[r + 1]};
        // a grid inside the input in one pass down its rows; else cell by cell
        if (r_average_grid(input, x_edges, columns, y_edges, first, last, sums, averages))
            err = nr_ae_check_abort(in_data);
        else
            err = r_average_cells(in_data, input, areas, n, averages);
        for (int32_t i = 0; i < n && !err; ++i) {
            // a cell beyond a smaller input covers nothing: transparent
            const bool outside = areas[i].left >= input->width || areas[i].top >= input->height;
            colours[i] = outside ? PF_Pixel{0, 0, 0, 0} : r_cell_colour(averages[i]);
        }
        for (int32_t r = first; r < last && !err; ++r)
            fillRows(input, output, x_edges, columns, colours + (r - first) * columns, y_edges[r], y_edges[r + 1],
                     keep_alpha);
    }
    nr_ae_dispose_handle(in_data, handle);
    return err;
}
