// checkerwarp's cells: what one cell draws from its average (see the header).
//
// Single precision with a few named steps in double, exactly as the look of the
// effect was tuned; keep every cast and the order of every sum.
#include "effect/kavri_squares_cells.h"

#include "graphics/kavri_isa.h"

namespace {

// The numbers a cell's drawing follows from its average, written once for a
// lane type F: float for one cell, CellFloats for kCellLanes cells at once,
// every lane computed by the same operations in the same order (the divisions,
// which dominate, then run side by side).
typedef float CellFloats __attribute__((vector_size(4 * kCellLanes)));
typedef double CellDoubles __attribute__((vector_size(8 * kCellLanes)));
typedef int32_t CellInts __attribute__((vector_size(4 * kCellLanes)));

__attribute__((always_inline)) static inline double widen(float v) {
    return v;
}
__attribute__((always_inline)) static inline CellDoubles widen(CellFloats v) {
    return __builtin_convertvector(v, CellDoubles);
}
// truncToByte, lane by lane: NaN and negatives 0, 255 and above 255
__attribute__((always_inline)) static inline uint8_t byteOf(float v) {
    return truncToByte(v);
}
__attribute__((always_inline)) static inline uint8_t byteOf(double v) {
    return truncToByte(v);
}
template <typename V>
__attribute__((always_inline)) static inline CellInts bytesOfLanes(V v) {
    const V zero = V{}, top = V{} + 255;
    v = v >= zero ? v : zero;
    v = v >= top ? top : v;
    return __builtin_convertvector(v, CellInts);
}
__attribute__((always_inline)) static inline CellInts byteOf(CellFloats v) {
    return bytesOfLanes(v);
}
__attribute__((always_inline)) static inline CellInts byteOf(CellDoubles v) {
    return bytesOfLanes(v);
}
__attribute__((always_inline)) static inline float lane(float v, int) {
    return v;
}
__attribute__((always_inline)) static inline float lane(const CellFloats& v, int i) {
    return v[i];
}
__attribute__((always_inline)) static inline uint8_t lane(uint8_t v, int) {
    return v;
}
__attribute__((always_inline)) static inline uint8_t lane(const CellInts& v, int i) {
    return static_cast<uint8_t>(v[i]);
}

template <typename F>
struct CellNumbers {
    typedef decltype(byteOf(F{})) Bytes;
    Bytes tile_red, tile_green, tile_blue, tile_alpha;
    Bytes square_red, square_green, square_blue;  // a tile-filled square's colour
    F left, top, width, height;                   // the square
};

template <typename F>
__attribute__((always_inline)) static inline F influenceDot(const Influence& inf, F red, F green, F blue) {
    return static_cast<float>(inf.red) * red + static_cast<float>(inf.green) * green + static_cast<float>(inf.blue) * blue;
}

template <typename F>
__attribute__((always_inline)) static inline void cellNumbers(const SquaresFrame* f, F cell_left, F cell_top, F red,
                                                              F green, F blue, F alpha, CellNumbers<F>* n) {
    red = red * alpha / 255.0f;
    green = green * alpha / 255.0f;
    blue = blue * alpha / 255.0f;
    if (f->background_fill == kFillTile) {
        n->tile_red = byteOf(widen(static_cast<float>(f->background.red) * red) / 255.0);
        n->tile_green = byteOf(widen(static_cast<float>(f->background.green) * green) / 255.0);
        n->tile_blue = byteOf(widen(static_cast<float>(f->background.blue) * blue) / 255.0);
        n->tile_alpha = byteOf(alpha);
    }
    if (f->squares_fill == kFillSourceOrNone) return;

    const float cw = f->cell_width, ch = f->cell_height;
    const F horizontal_dot = influenceDot(f->horizontal, red, green, blue) / 255.0f;
    n->width = mapRangeLanes(horizontal_dot, 0, 255, f->horizontal_min, f->horizontal_max) * cw;
    const F vertical_dot = influenceDot(f->vertical, red, green, blue) / 255.0f;
    n->height = ch * mapRangeLanes(vertical_dot, 0, 255, f->vertical_min, f->vertical_max);
    const F wibble_dot = influenceDot(f->wibble, red, green, blue) / 65025.0f;
    const float dx = cw * f->wibble_x, dy = ch * f->wibble_y;
    n->left = (cw - n->width) * 0.5f + cell_left + dx * wibble_dot;
    n->top = (ch - n->height) * 0.5f + cell_top + wibble_dot * dy;
    if (f->squares_fill == kFillTile) {
        n->square_red = byteOf(static_cast<float>(f->square.red) * red / 255.0f);
        n->square_green = byteOf(static_cast<float>(f->square.green) * green / 255.0f);
        n->square_blue = byteOf(static_cast<float>(f->square.blue) * blue / 255.0f);
    }
}

// A cell's tile: its colour from lane i of its numbers, and its rectangle,
// whose right and bottom edges are rounded up to whole pixels.
template <typename F>
__attribute__((always_inline)) static inline PF_Pixel tileColour(const CellNumbers<F>& n, int i) {
    return PF_Pixel{lane(n.tile_alpha, i), lane(n.tile_red, i), lane(n.tile_green, i), lane(n.tile_blue, i)};
}

// What one cell draws, from lane i of its numbers: its tile, then its square.
template <typename F>
__attribute__((always_inline)) static inline void cellShapes(const SquaresFrame* f, const SquaresCell& cell,
                                                             const CellNumbers<F>& n, int i, CellShapes* d) {
    d->count = 0;
    if (f->background_fill == kFillTile) {
        d->colour[0] = tileColour(n, i);
        d->rect[d->count++] = tileRect(cell);
    }
    if (f->squares_fill == kFillSourceOrNone) return;
    FRect& sq = d->rect[d->count];
    sq.left = lane(n.left, i);
    sq.right = sq.left + lane(n.width, i);
    sq.top = lane(n.top, i);
    sq.bottom = sq.top + lane(n.height, i);
    PF_Pixel& colour = d->colour[d->count++];
    colour = f->square;
    if (f->squares_fill == kFillTile)
        colour = PF_Pixel{255, lane(n.square_red, i), lane(n.square_green, i), lane(n.square_blue, i)};
}


// What `count` cells draw, kCellLanes at a time (a short last group is padded
// with its first cell); cell k is cells[indices[k]], or cells[k] without
// indices. Built for AVX2 too, where the lanes' divisions take one instruction.
struct IndexedCells {
    const SquaresCell* cells;
    const int32_t* indices;
};

__attribute__((always_inline)) static inline const SquaresCell& cellAt(const IndexedCells& c, int32_t k) {
    return c.cells[c.indices ? c.indices[k] : k];
}

__attribute__((always_inline)) static inline void cellDrawingsBy(const SquaresFrame* f, const IndexedCells& cells,
                                                                 const PF_PixelFloat* averages, CellShapes* shapes,
                                                                 int32_t count) {
    for (int32_t first = 0; first < count; first += kCellLanes) {
        const int lanes = count - first < kCellLanes ? static_cast<int>(count - first) : kCellLanes;
        CellFloats left, top, red, green, blue, alpha;
        for (int i = 0; i < kCellLanes; ++i) {
            const int32_t k = first + (i < lanes ? i : 0);
            left[i] = cellAt(cells, k).left;
            top[i] = cellAt(cells, k).top;
            red[i] = averages[k].red;
            green[i] = averages[k].green;
            blue[i] = averages[k].blue;
            alpha[i] = averages[k].alpha;
        }
        CellNumbers<CellFloats> n;  // (what the fills leave unset is not read)
        cellNumbers<CellFloats>(f, left, top, red, green, blue, alpha, &n);
        for (int i = 0; i < lanes; ++i) cellShapes(f, cellAt(cells, first + i), n, i, &shapes[first + i]);
    }
}

static void cellDrawingsPlain(const SquaresFrame* f, IndexedCells cells, const PF_PixelFloat* averages,
                              CellShapes* shapes, int32_t count) {
    cellDrawingsBy(f, cells, averages, shapes, count);
}

__attribute__((target("avx2"))) static void cellDrawingsAvx2(const SquaresFrame* f, IndexedCells cells,
                                                             const PF_PixelFloat* averages, CellShapes* shapes,
                                                             int32_t count) {
    cellDrawingsBy(f, cells, averages, shapes, count);
}


// The tile colours, kCellLanes at a time.
__attribute__((always_inline)) static inline void tileColoursBy(const SquaresFrame* f, const PF_PixelFloat* averages,
                                                                PF_Pixel* colours, int32_t count) {
    for (int32_t first = 0; first < count; first += kCellLanes) {
        const int lanes = count - first < kCellLanes ? static_cast<int>(count - first) : kCellLanes;
        CellFloats red, green, blue, alpha;
        for (int i = 0; i < kCellLanes; ++i) {
            const PF_PixelFloat& a = averages[first + (i < lanes ? i : 0)];
            red[i] = a.red;
            green[i] = a.green;
            blue[i] = a.blue;
            alpha[i] = a.alpha;
        }
        CellNumbers<CellFloats> n;  // (no squares: only the tile's numbers are set)
        cellNumbers<CellFloats>(f, CellFloats{}, CellFloats{}, red, green, blue, alpha, &n);
        for (int i = 0; i < lanes; ++i) colours[first + i] = tileColour(n, i);
    }
}

static void tileColoursPlain(const SquaresFrame* f, const PF_PixelFloat* averages, PF_Pixel* colours, int32_t count) {
    tileColoursBy(f, averages, colours, count);
}

__attribute__((target("avx2"))) static void tileColoursAvx2(const SquaresFrame* f, const PF_PixelFloat* averages,
                                                            PF_Pixel* colours, int32_t count) {
    tileColoursBy(f, averages, colours, count);
}

// (eight doubles to a register: the tint's divisions in one instruction)
__attribute__((target("avx512f,avx512vl,avx512dq"))) static void tileColoursAvx512(const SquaresFrame* f,
                                                                                 const PF_PixelFloat* averages,
                                                                                 PF_Pixel* colours, int32_t count) {
    tileColoursBy(f, averages, colours, count);
}

__attribute__((always_inline)) static inline void tileEdgesBy(const SquaresCell* cells, int32_t count, PF_LRect* areas,
                                                              float* lefts, float* rights) {
    for (int32_t i = 0; i < count; ++i) {
        areas[i] = cellArea(cells[i]);
        const FRect tile = tileRect(cells[i]);
        lefts[i] = tile.left;
        rights[i] = tile.right;
    }
}

static void tileEdgesPlain(const SquaresCell* cells, int32_t count, PF_LRect* areas, float* lefts, float* rights) {
    tileEdgesBy(cells, count, areas, lefts, rights);
}

// (rounding up is one instruction here)
__attribute__((target("avx2"))) static void tileEdgesAvx2(const SquaresCell* cells, int32_t count, PF_LRect* areas,
                                                          float* lefts, float* rights) {
    tileEdgesBy(cells, count, areas, lefts, rights);
}

}  // namespace

void cellDrawings(const SquaresFrame* f, const SquaresCell* cells, const int32_t* indices,
                  const PF_PixelFloat* averages, CellShapes* shapes, int32_t count) {
    const IndexedCells cell = {cells, indices};
    if (kvReferencePaths()) {
        // one at a time, to check the lanes against
        for (int32_t i = 0; i < count; ++i) {
            const PF_PixelFloat& a = averages[i];
            const SquaresCell& c = cellAt(cell, i);
            CellNumbers<float> n = {};
            cellNumbers<float>(f, c.left, c.top, a.red, a.green, a.blue, a.alpha, &n);
            cellShapes(f, c, n, 0, &shapes[i]);
        }
        return;
    }
    kvByIsa(cellDrawingsPlain, cellDrawingsAvx2, cellDrawingsAvx2)(f, cell, averages, shapes, count);
}

void tileColours(const SquaresFrame* f, const PF_PixelFloat* averages, PF_Pixel* colours, int32_t count) {
    kvByIsa(tileColoursPlain, tileColoursAvx2, tileColoursAvx512)(f, averages, colours, count);
}

void tileEdges(const SquaresCell* cells, int32_t count, PF_LRect* areas, float* lefts, float* rights) {
    kvByIsa(tileEdgesPlain, tileEdgesAvx2, tileEdgesAvx2)(cells, count, areas, lefts, rights);
}
