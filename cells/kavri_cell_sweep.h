// One sweep of the input for a grid of cells: every cell's average and a
// background that reads the input are made in one pass over the input's rows,
// then the cells' rectangles are drawn band by band while each band is in the
// cache. The sweep knows nothing of what the cells mean: the effect hands over
// each cell's integer area and, through `finish`, says what a cell with a given
// average draws. Every cell's average, and every pixel drawn, is bit for bit
// what averaging and drawing the cells one after another gives.
#pragma once

#include <cstdint>

#include "graphics/kavri_ae_graphics_utils.h"

// What one cell draws: up to two rectangles, the first under the second, each
// filled with its colour by r_fill_frect.
struct CellShapes {
    int count;
    FRect rect[2];
    PF_Pixel colour[2];
};

// The background the sweep lays from the input's rows, before any cell.
enum SweepBackground {
    kSweepNoBackground,      // none, or one laid by `before_cells`
    kSweepColourBackground,  // the colour with the input's alpha (fill_preserving_alpha)
    kSweepTintedBackground   // the input tinted by the colour (r_tintedCopyLayer); input and output of one size
};

struct SweepCells {
    PF_InData* in_data;
    PF_LayerDef* input;
    PF_LayerDef* output;
    const PF_LRect* areas;  // the integer area each cell averages, in drawing order
    int32_t count;
    SweepBackground background;
    PF_Pixel background_colour;
    // Given the averages of `count` cells (cell indices[i] has averages[i]), says
    // what each draws in shapes[i]; every cell is finished once, in no
    // particular order, several at a time where they complete together.
    void (*finish)(void* user, int32_t count, const int32_t* indices, const PF_PixelFloat* averages,
                   CellShapes* shapes);
    // Lays a background the sweep does not lay, once the sweep is sure to draw
    // and before any cell is drawn; may be null.
    void (*before_cells)(void* user);
    void* user;
};

// The most cells one sweep takes.
constexpr int32_t kSweepMaxCells = 1 << 16;

// Averages and draws the cells. Returns false, having drawn nothing, when it
// cannot: more than kSweepMaxCells cells, input and output sharing memory, no
// memory for its records, or a build with the straightforward paths only.
bool sweepCells(const SweepCells* job);
