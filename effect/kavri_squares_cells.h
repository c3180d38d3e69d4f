// checkerwarp's cells: the frame's quantities every cell is worked out from,
// and what one cell draws from its average, worked out kCellLanes cells at a
// time in vector lanes (each lane by the same operations in the same order as
// one cell on its own), built for each instruction set.
#pragma once

#include <cmath>
#include <cstdint>

#include "cells/kavri_cell_sweep.h"
#include "effect/kavri_squares.h"

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

// Cells worked out side by side.
constexpr int kCellLanes = 8;

// The integer rectangle a cell averages.
__attribute__((always_inline)) static inline PF_LRect cellArea(const SquaresCell& cell) {
    return PF_LRect{truncToInt32(cell.left), truncToInt32(cell.top), truncToInt32(cell.right), truncToInt32(cell.bottom)};
}

// A cell's tile, whose right and bottom edges are rounded up to whole pixels.
__attribute__((always_inline)) static inline FRect tileRect(const SquaresCell& cell) {
    return FRect{cell.top, cell.left, std::ceil(cell.bottom), std::ceil(cell.right)};
}

// What `count` cells draw (a tile, then a square, as the fills say), in
// shapes[k]; cell k is cells[indices[k]], or cells[k] without indices, and its
// average averages[k].
void cellDrawings(const SquaresFrame* f, const SquaresCell* cells, const int32_t* indices,
                  const PF_PixelFloat* averages, CellShapes* shapes, int32_t count);
// The tile colours of `count` cells of a frame without squares, from their
// averages: the colours cellDrawings gives their tiles.
void tileColours(const SquaresFrame* f, const PF_PixelFloat* averages, PF_Pixel* colours, int32_t count);
// Each cell's integer area (cellArea), and its tile's left and right edges (tileRect).
void tileEdges(const SquaresCell* cells, int32_t count, PF_LRect* areas, float* lefts, float* rights);
