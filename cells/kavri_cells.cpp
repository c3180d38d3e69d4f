#include "cells/kavri_cells.h"

#include <algorithm>

#include "cells/kavri_cell_average.h"
#include "cells/kavri_cell_sweep.h"
#include "framework/kavri_ae_effect_framework.h"

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

bool r_average_grid(PF_LayerDef* input, const int32_t* x_edges, int32_t columns, const int32_t* y_edges,
                    int32_t first_row, int32_t end_row, uint32_t* sums, PF_PixelFloat* averages) {
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
    const size_t lanes = static_cast<size_t>(right - left) * 4;
    PF_PixelFloat* out = averages;
    for (int32_t r = first_row; r < end_row; ++r) {
        // each channel of each pixel column summed down the cell row ...
        std::fill(sums, sums + lanes, 0u);
        for (int32_t y = y_edges[r]; y < y_edges[r + 1]; ++y) {
            const uint8_t* row = reinterpret_cast<const uint8_t*>(worldPixel(input, left, y));
            for (size_t i = 0; i < lanes; ++i) sums[i] += row[i];
        }
        // ... then across each cell
        const int64_t height = y_edges[r + 1] - y_edges[r];
        for (int32_t c = 0; c < columns; ++c, ++out) {
            uint32_t s[4] = {0, 0, 0, 0};  // alpha, red, green, blue
            for (int32_t x = x_edges[c]; x < x_edges[c + 1]; ++x) {
                const uint32_t* p = sums + static_cast<size_t>(x - left) * 4;
                s[0] += p[0], s[1] += p[1], s[2] += p[2], s[3] += p[3];
            }
            const int64_t n = (x_edges[c + 1] - x_edges[c]) * height;
            const float h = static_cast<float>(n / 2), count = static_cast<float>(n);
            out->alpha = (static_cast<float>(s[0]) + h) / count;
            out->red = (static_cast<float>(s[1]) + h) / count;
            out->green = (static_cast<float>(s[2]) + h) / count;
            out->blue = (static_cast<float>(s[3]) + h) / count;
        }
    }
    return true;
}
