#include "cells/kavri_cells.h"

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
