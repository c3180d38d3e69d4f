#include "cells/kavri_cells.h"

#include <algorithm>
#include <cstring>

#include "cells/kavri_cell_average.h"
#include "cells/kavri_cell_sweep.h"
#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_isa.h"

namespace {

struct Collect {
    PF_PixelFloat* averages;
};

void collect(void* user, int32_t count, const int32_t* indices, const PF_PixelFloat* averages, CellShapes* shapes) {
    Collect* c = static_cast<Collect*>(user);
    for (int32_t i = 0; i < count; ++i) {
        c->averages[indices[i]] = averages[i];
        shapes[i].count = 0;  // the sweep draws nothing
    }
}

// Cells averaged one after another between abort checks.
constexpr int32_t kCellsBetweenChecks = 1024;

}  // namespace

PF_Err r_average_cells(PF_InData* in_data, PF_LayerDef* input, const PF_LRect* areas, int32_t count,
                       PF_PixelFloat* averages) {
    if (count <= 0) return PF_Err_NONE;
    // The sweep draws into an output; here one with no pixels, apart from the input.
    PF_LayerDef nothing = {};
    nothing.rowbytes = static_cast<A_long>(sizeof(PF_Pixel));
    Collect c = {averages};
    SweepCells job = {};
    job.in_data = in_data;
    job.input = input;
    job.output = &nothing;
    job.areas = areas;
    job.count = count;
    job.background = kSweepNoBackground;
    job.finish = collect;
    job.user = &c;
    if (PF_Err err = nr_ae_check_abort(in_data)) return err;
    if (sweepCells(&job)) return PF_Err_NONE;
    // declined (too many cells, no memory, the reference paths): cell by cell
    for (int32_t i = 0; i < count; ++i) {
        if (i % kCellsBetweenChecks == kCellsBetweenChecks - 1)
            if (PF_Err err = nr_ae_check_abort(in_data)) return err;
        PF_LRect area = areas[i];
        r_average_rect_rgba(input, &area, &averages[i]);
    }
    return PF_Err_NONE;
}

namespace {

// One row of cells of a grid: each channel of each pixel column summed down the
// rows y0 .. y1 - 1 into `sums` (Sum wide enough for the rows' bytes), then
// across each cell into its average. Written once, built for each instruction
// set: the column additions are the loop that counts.
template <typename Sum>
__attribute__((always_inline)) inline void averageGridRow(PF_LayerDef* input, const int32_t* x_edges, int32_t columns,
                                                          int32_t y0, int32_t y1, Sum* sums, PF_PixelFloat* out) {
    const int32_t left = x_edges[0];
    const size_t lanes = static_cast<size_t>(x_edges[columns] - left) * 4;
    const uint8_t* first = reinterpret_cast<const uint8_t*>(worldPixel(input, left, y0));
    for (size_t i = 0; i < lanes; ++i) sums[i] = first[i];
    for (int32_t y = y0 + 1; y < y1; ++y) {
        const uint8_t* row = reinterpret_cast<const uint8_t*>(worldPixel(input, left, y));
        for (size_t i = 0; i < lanes; ++i) sums[i] = static_cast<Sum>(sums[i] + row[i]);
    }
    // (a pixel's four channels side by side: alpha, red, green, blue, each lane
    // the same integer sum and the same float quotient as on its own)
    typedef Sum Pixel4 __attribute__((vector_size(4 * sizeof(Sum))));
    typedef uint32_t Word4 __attribute__((vector_size(16)));
    typedef float Float4 __attribute__((vector_size(16)));
    const int64_t height = y1 - y0;
    for (int32_t c = 0; c < columns; ++c, ++out) {
        Word4 s = {0, 0, 0, 0};
        for (int32_t x = x_edges[c]; x < x_edges[c + 1]; ++x) {
            Pixel4 p;
            std::memcpy(&p, sums + static_cast<size_t>(x - left) * 4, sizeof(p));
            s += __builtin_convertvector(p, Word4);
        }
        const int64_t n = (x_edges[c + 1] - x_edges[c]) * height;
        const float h = static_cast<float>(n / 2), count = static_cast<float>(n);
        const Float4 average = (__builtin_convertvector(s, Float4) + h) / count;
        std::memcpy(out, &average, sizeof(average));
    }
}

// Column sums in 16 bits while a cell is at most 257 rows tall (257 x 255 <
// 2^16): half the memory to add into.
typedef void (*GridRowFunction)(PF_LayerDef*, const int32_t*, int32_t, int32_t, int32_t, void*, PF_PixelFloat*);

template <typename Sum>
void gridRowPlain(PF_LayerDef* input, const int32_t* x_edges, int32_t columns, int32_t y0, int32_t y1, void* sums,
                  PF_PixelFloat* out) {
    averageGridRow(input, x_edges, columns, y0, y1, static_cast<Sum*>(sums), out);
}

template <typename Sum>
__attribute__((target("avx2"))) void gridRowAvx2(PF_LayerDef* input, const int32_t* x_edges, int32_t columns,
                                                 int32_t y0, int32_t y1, void* sums, PF_PixelFloat* out) {
    averageGridRow(input, x_edges, columns, y0, y1, static_cast<Sum*>(sums), out);
}

constexpr int64_t kShortSumRows = 65535 / 255;

}  // namespace

bool r_average_grid(PF_LayerDef* input, const int32_t* x_edges, int32_t columns, const int32_t* y_edges,
                    int32_t first_row, int32_t end_row, void* sums, PF_PixelFloat* averages) {
    if (!input || !input->data || columns <= 0 || end_row <= first_row) return false;
    const int32_t left = x_edges[0], right = x_edges[columns];
    if (left < 0 || right > input->width || y_edges[first_row] < 0 || y_edges[end_row] > input->height) return false;
    int64_t widest = 0, tallest = 0;
    for (int32_t c = 0; c < columns; ++c) {
        if (x_edges[c + 1] <= x_edges[c]) return false;
        widest = std::max<int64_t>(widest, x_edges[c + 1] - x_edges[c]);
    }
    for (int32_t r = first_row; r < end_row; ++r) {
        if (y_edges[r + 1] <= y_edges[r]) return false;
        tallest = std::max<int64_t>(tallest, y_edges[r + 1] - y_edges[r]);
    }
    // every sum and sum + n / 2 below 2^24: exact in single precision, as the
    // sums added pixel by pixel are, so the quotients are the same floats
    const int64_t most = widest * tallest;
    if (most * 255 + most / 2 >= (int64_t{1} << 24)) return false;
    const bool short_sums = tallest <= kShortSumRows;
    const GridRowFunction row = short_sums ? kvByIsa<GridRowFunction>(gridRowPlain<uint16_t>, gridRowAvx2<uint16_t>,
                                                                      gridRowAvx2<uint16_t>)
                                           : kvByIsa<GridRowFunction>(gridRowPlain<uint32_t>, gridRowAvx2<uint32_t>,
                                                                      gridRowAvx2<uint32_t>);
    for (int32_t r = first_row; r < end_row; ++r)
        row(input, x_edges, columns, y_edges[r], y_edges[r + 1], sums, averages + (r - first_row) * columns);
    return true;
}

void r_average_strip(PF_LayerDef* input, const PF_LRect* areas, int32_t count, int32_t* edges, void* sums,
                     PF_PixelFloat* averages) {
    // The area as the averages read it: clipped, an edge of exactly 0 moved to
    // 1; nothing to read for a world without pixels or an empty area.
    const auto prepared = [&](int32_t i, PF_LRect* r) {
        *r = areas[i];
        return prepareAverageRect(input, r) && r->left < r->right && r->top < r->bottom;
    };
    int32_t i = 0;
    while (i < count) {
        PF_LRect first;
        if (!prepared(i, &first)) {
            PF_LRect area = areas[i];
            r_average_rect_rgba(input, &area, &averages[i]);
            ++i;
            continue;
        }
        // the run of areas from i that meet edge to edge on first's rows
        int32_t end = i + 1;
        edges[0] = first.left;
        edges[1] = first.right;
        for (PF_LRect next; end < count && prepared(end, &next); ++end) {
            if (next.top != first.top || next.bottom != first.bottom || next.left != edges[end - i]) break;
            edges[end - i + 1] = next.right;
        }
        const int32_t rows[2] = {first.top, first.bottom};
        if (!r_average_grid(input, edges, end - i, rows, 0, 1, sums, averages + i))
            for (int32_t k = i; k < end; ++k) {
                PF_LRect area = areas[k];
                r_average_rect_rgba(input, &area, &averages[k]);
            }
        i = end;
    }
}
