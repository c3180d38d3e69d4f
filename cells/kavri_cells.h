// The cell library's front: the average colour of a layer under each of many
// cells, in one pass over the layer where it can, cell by cell where it
// cannot, with the host's abort check inside. What an effect does with the
// averages (fill its cells, size its squares) is its own.
//
// The rounding contract, for every routine of the library:
//   - An average is a float per channel on the 0..255 scale: (sum + n / 2) / n
//     for n pixels (n / 2 truncated), the sum added pixel by pixel in single
//     precision. It is NOT the mean: it is raised by half a level for an even
//     count, so that truncating it gives the mean rounded to the nearest level
//     (halves up). r_cell_colour truncates; never add 0.5 again.
//   - Each channel is averaged on its own, alpha too: colours are not
//     weighted by their alpha.
//   - An area is clipped to the layer; an area whose right (or bottom) edge is
//     exactly 0 reads the first column (or row); an area of no pixels inside
//     averages 128 in every channel when its clipped count is 0.
#pragma once

#include <cstdint>

#include "graphics/kavri_ae_graphics_utils.h"
#include "platform/ae_effect.h"

// The averages of `count` cells of `input`, averages[i] for areas[i] (half-
// open, in pixels; left as they are). Returns 0, or the host's interrupt code
// when the user stopped the render (the averages are then incomplete).
PF_Err r_average_cells(PF_InData* in_data, PF_LayerDef* input, const PF_LRect* areas, int32_t count,
                       PF_PixelFloat* averages);

// The averages of a grid of cells that lies inside `input`: column c spans
// x_edges[c]..x_edges[c + 1] and row r spans y_edges[r]..y_edges[r + 1]
// (half-open, each edge past the one before); the cells of rows first_row to
// end_row - 1, row by row, go to averages[(r - first_row) * columns + c]. Bit
// for bit what r_average_cells gives for the same areas, in one pass down the
// rows with `sums` (16 bytes per pixel of the grid's width, aligned for
// 32-bit words) as its running column sums. Returns false, having averaged
// nothing, for a grid it does not take: one reaching outside the input, or
// with a cell of more than 65,664 pixels (where single-precision sums stop
// being exact); those go to r_average_cells.
bool r_average_grid(PF_LayerDef* input, const int32_t* x_edges, int32_t columns, const int32_t* y_edges,
                    int32_t first_row, int32_t end_row, void* sums, PF_PixelFloat* averages);

// The averages of `count` cells side by side: areas[i] (half-open, left as
// they are) left to right along one strip of rows. Bit for bit what
// r_average_cells gives for the same areas; each run of areas that meet edge
// to edge on the same rows, after clipping, is averaged in one pass down its
// rows by r_average_grid, any other area on its own. `edges` has room for
// count + 1 entries and `sums` 16 bytes per pixel of the input's width.
void r_average_strip(PF_LayerDef* input, const PF_LRect* areas, int32_t count, int32_t* edges, void* sums,
                     PF_PixelFloat* averages);

// A cell's colour in bytes: each channel of the average truncated (the mean
// rounded to the nearest level), held to 0..255.
inline PF_Pixel r_cell_colour(const PF_PixelFloat& average) {
    return PF_Pixel{truncToByte(average.alpha), truncToByte(average.red), truncToByte(average.green),
                    truncToByte(average.blue)};
}
