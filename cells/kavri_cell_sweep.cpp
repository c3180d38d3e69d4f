#include "cells/kavri_cell_sweep.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cells/kavri_average_kernels.h"
#include "cells/kavri_cell_average.h"
#include "graphics/kavri_isa.h"

// The colour and tinted backgrounds read the input row by row, and every cell
// averages rows of it; the sweep makes both in one pass over the rows, so the
// input is read from memory once and in order (cell by cell, a small cell's
// rows would be fetched one short piece at a time). Each cell still adds its
// rows top to bottom, so its average is bit for bit the same, and the whole
// background is laid before the first cell is drawn. The cells are then drawn
// band by band (drawBanded).

// Rows summed per band, and the bytes of output drawn per band.
constexpr int32_t kSweepBandRows = 16;
constexpr int32_t kDrawBandBytes = 256 * 1024;

// What the sweep keeps of a cell while it sums the cell's rows.
struct GatheredCell {
    CellSum sum;
};

// The 16-bit lanes of a cell that cannot pass 2^24 (ByteSums' ag and rb), one
// cache line each, apart from the rest: a dense grid's row pass touches one line
// per cell. The chunks in them are counted in the cell's ActiveCell.
struct alignas(64) CellLanes {
    RowSums::Halves ag, rb;
};

// What a finished cell draws: its shapes' colours and pixels, worked out once.
// (Apart from the sums: the smaller each record, the fewer cache lines a dense
// grid's sweep and drawing pass through.)
struct CellDrawn {
    int32_t count;
    PF_Pixel colour[2];
    FRectPlan plans[2];
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

// Draws the cell's shapes, only rows y0 .. y1 - 1 of them.
static void drawCellRows(PF_InData* in_data, PF_LayerDef* output, const CellDrawn* c, int32_t y0, int32_t y1) {
    for (int i = 0; i < c->count; ++i) {
        PF_Pixel colour = c->colour[i];
        r_fill_frect_plan_rows(in_data, &colour, &c->plans[i], output, y0, y1);
    }
}

struct ActiveCell;

// The sweep's records, carved out of one allocation and freed with it.
struct SweepRecords {
    void* block;
    GatheredCell* cells;
    CellLanes* lanes;
    CellDrawn* drawn;
    int32_t* order;      // two indices per cell
    CellRows* rows_of;
    int32_t* finished;
    PF_LRect* areas;
    PendingRow* pending;
    ActiveCell* active;  // twice the cells: a band's new cells are merged into them
    PF_PixelFloat* averages;  // of the cells being finished
    CellShapes* shapes;
};

// Works out what the cells draw once their sums are complete, while their
// records are still in the cache: their averages, their shapes (all asked of
// the caller at once) and the rows they touch.
static void finishCells(const SweepCells* job, const SweepRecords* r, const int32_t* indices, int32_t count) {
    if (count == 0) return;
    for (int32_t i = 0; i < count; ++i) cellSumEnd(&r->cells[indices[i]].sum, &r->averages[i]);
    job->finish(job->user, count, indices, r->averages, r->shapes);
    const float H = static_cast<float>(job->output->height);
    for (int32_t i = 0; i < count; ++i) {
        CellDrawn* c = &r->drawn[indices[i]];
        CellRows* rows = &r->rows_of[indices[i]];
        const CellShapes& shapes = r->shapes[i];
        c->count = shapes.count;
        rows->first = job->output->height;
        rows->end = 0;
        for (int k = 0; k < shapes.count; ++k) {
            c->colour[k] = shapes.colour[k];
            r_plan_frect(&shapes.rect[k], job->output, &c->plans[k]);
            rowsTouched(shapes.rect[k], H, &rows->first, &rows->end);
        }
    }
}

// Draws every (finished) cell band by band: in each band of rows the cells that
// reach it, in the walk's order. Every pixel sees the same fills and blends in
// the same order as when each cell is drawn whole, while the band stays in the
// cache. `order` has room for two indices per cell.
static void drawBanded(PF_InData* in_data, PF_LayerDef* output, const CellDrawn* cells, const CellRows* rows, int n,
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
            drawCellRows(in_data, output, &cells[active[i]], band, band_end);
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
    int32_t narrow;  // the chunks in the cell's lanes (whole_exact cells)
};

static ActiveCell activeCell(const CellSum& sum, int32_t index) {
    ActiveCell a = {sum.rect.top, sum.rect.bottom, sum.rect.left, sum.rect.right, index, 0, 0, 0, sum.whole_exact, 0};
    const int32_t L = RowSums::kLanes, n = sum.rect.right - sum.rect.left;
    const int32_t step = n / L + (n % L != 0);
    if (sum.whole_exact && n >= L && step <= kNarrowFlushChunks) {
        a.chunks = n / L;
        a.tail = static_cast<uint8_t>(n % L);
        a.step = static_cast<int16_t>(step);
    }
    return a;
}

// Adds one row of a cell that has a `step` (with a Lay also writing that
// background over it): the same lane additions as addSegment, with the chunk
// counts worked out once for the cell instead of on every row.
// The cell's lanes as ByteSums adding into its integer sums, and back.
__attribute__((always_inline)) static inline RowSums lanesSums(const CellLanes* l, const ActiveCell& a,
                                                               GatheredCell* c) {
    RowSums s;
    s.ag = l->ag;
    s.rb = l->rb;
    s.narrow = a.narrow;
    s.total = c->sum.exact;
    return s;
}

__attribute__((always_inline)) static inline void keepLanes(const RowSums& s, CellLanes* l, ActiveCell* a) {
    l->ag = s.ag;
    l->rb = s.rb;
    a->narrow = s.narrow;
}

// Adds the cell's lanes into its integer sums and empties them. (Inline: built
// into each instruction set's row pass, whose wide registers must not meet
// older code's in a call.)
__attribute__((always_inline)) static inline void flushLanes(CellLanes* l, ActiveCell* a, GatheredCell* c) {
    RowSums s = lanesSums(l, *a, c);
    byteSumsFlush(&s);
    keepLanes(s, l, a);
}

template <int Lay>
__attribute__((always_inline)) static inline void addLanesRow(CellLanes* l, ActiveCell* a, GatheredCell* c,
                                                              const PF_Pixel* src, PF_Pixel* dst,
                                                              const Laying<RowSums::kLanes>& lay) {
    const int L = RowSums::kLanes;
    if (a->narrow > kNarrowFlushChunks - a->step) flushLanes(l, a, c);
    const RowSums::Words all = RowSums::Words{} + 0xFFFFFFFFu;
    RowSums::Halves ag = l->ag, rb = l->rb;
    src += a->left;
    if (Lay != kLayNothing) dst += a->left;
    for (int32_t k = 0; k < a->chunks; ++k)
        addChunk<L, Lay>(&ag, &rb, src + k * L, Lay != kLayNothing ? dst + k * L : nullptr, all, lay);
    if (a->tail) addLastChunk<L, Lay>(&ag, &rb, src, dst, a->right - a->left, a->tail, lay);
    l->ag = ag;
    l->rb = rb;
    a->narrow += a->step;
}

// The state of one sweep: the cells, those whose rows the current band reaches
// (`active`, in order of their left edges), the float additions waiting for one
// row, and the backgrounds it may lay.
struct Sweep {
    PF_LayerDef* input;
    PF_LayerDef* output;
    GatheredCell* cells;
    CellLanes* lanes;
    ActiveCell* active;
    int32_t active_count;
    PendingRow* pending;
    AlphaFill fill;
    TintTable tint;
    Laying<RowSums::kLanes> lay;
};

// Lays columns x0 .. x1 - 1 of row y that no cell reads.
template <int Lay>
__attribute__((always_inline)) static inline void layColumns(Sweep* w, int32_t y, int32_t x0, int32_t x1) {
    if (Lay == kLayColour) alphaFillRow(&w->fill, w->input, w->output, y, x0, x1);
    if (Lay == kLayTint) tintRowColumns(&w->tint, w->input, w->output, y, x0, x1);
}

// One band, row by row: each active cell's piece of the row is added to its
// sums (kept in vector lanes across rows for a cell that cannot pass 2^24, made
// whole for each row for the others). With a Lay the background (the opaque
// colour, or the tinted input) is laid in the same pass, so each input pixel is
// read once; where two cells overlap, the second adds its overlap on its own.
template <int Lay, void (*AddPendingRows)(PendingRow*, int)>
__attribute__((always_inline)) static inline void sweepBandByRowsBody(Sweep* w, int32_t band, int32_t band_end) {
    constexpr bool lays = Lay != kLayNothing;
    const int32_t width = w->output->width;
    // (held in locals: the stores to the cells' sums below could otherwise be
    // taken to change them, and they would be read again for every cell)
    ActiveCell* const active = w->active;
    const int32_t active_count = w->active_count;
    GatheredCell* const cells = w->cells;
    CellLanes* const lanes = w->lanes;
    const Laying<RowSums::kLanes> lay = w->lay;
    for (int32_t y = band; y < band_end; ++y) {
        const PF_Pixel* src = worldPixel(w->input, 0, y);
        PF_Pixel* dst = lays ? worldPixel(w->output, 0, y) : nullptr;
        int32_t done = 0;  // the row's background is laid up to here
        int pending_count = 0;
        for (int32_t i = 0; i < active_count; ++i) {
            ActiveCell& a = active[i];
            if (y < a.top || y >= a.bottom) continue;
            GatheredCell& c = cells[a.index];
            const int32_t left = a.left, right = a.right;
            if (a.step && (!lays || done <= left)) {
                if (lays && done < left) layColumns<Lay>(w, y, done, left);
                addLanesRow<Lay>(&lanes[a.index], &a, &c, src, dst, lay);
                if (lays) done = right;
                continue;
            }
            uint64_t row_sums[4];
            RowSums row;
            if (a.whole_exact)
                row = lanesSums(&lanes[a.index], a, &c);
            else
                byteSumsBegin(&row, row_sums);
            RowSums* into = &row;
            if (!lays) {
                addSegment<8, kLayNothing>(into, src + left, nullptr, right - left, lay);
            } else {
                if (left < done)
                    addSegment<8, kLayNothing>(into, src + left, nullptr, (right < done ? right : done) - left, lay);
                if (done < left) {
                    layColumns<Lay>(w, y, done, left);
                    done = left;
                }
                if (done < right) {
                    addSegment<8, Lay>(into, src + done, dst + done, right - done, lay);
                    done = right;
                }
            }
            if (a.whole_exact) {
                keepLanes(row, &lanes[a.index], &a);
            } else {
                byteSumsFlush(&row);
                const unsigned channels = cellSumRowApply(&c.sum, row_sums);
                if (channels) w->pending[pending_count++] = {c.sum.sums, src + left, right - left, channels, {}};
            }
        }
        if (lays && done < width) layColumns<Lay>(w, y, done, width);
        if (pending_count > 0) AddPendingRows(w->pending, pending_count);
    }
}

// The band's pass as a whole, built for each level with its float additions
// and for each background it lays.
template <void (*AddPendingRows)(PendingRow*, int)>
__attribute__((always_inline)) static inline void sweepBandByRowsAs(Sweep* w, int32_t band, int32_t band_end,
                                                                    LayMode lay) {
    switch (lay) {
    case kLayColour: sweepBandByRowsBody<kLayColour, AddPendingRows>(w, band, band_end); break;
    case kLayTint: sweepBandByRowsBody<kLayTint, AddPendingRows>(w, band, band_end); break;
    default: sweepBandByRowsBody<kLayNothing, AddPendingRows>(w, band, band_end); break;
    }
}

static void sweepBandByRowsPlain(Sweep* w, int32_t band, int32_t band_end, LayMode lay) {
    sweepBandByRowsAs<addPendingRowsPlain>(w, band, band_end, lay);
}

__attribute__((target("avx2"))) static void sweepBandByRowsAvx2(Sweep* w, int32_t band, int32_t band_end,
                                                                LayMode lay) {
    sweepBandByRowsAs<addPendingRowsAvx2>(w, band, band_end, lay);
}

// (with AVX-512 only the float additions change: the row pass is the AVX2 one,
// which was as fast as any wider version here)
__attribute__((target("avx2"))) static void sweepBandByRowsAvx512(Sweep* w, int32_t band, int32_t band_end,
                                                                  LayMode lay) {
    sweepBandByRowsAs<addPendingRowsAvx512>(w, band, band_end, lay);
}

static void sweepBandByRows(Sweep* w, int32_t band, int32_t band_end, LayMode lay) {
    kvByIsa(sweepBandByRowsPlain, sweepBandByRowsAvx2, sweepBandByRowsAvx512)(w, band, band_end, lay);
}

// One band whose background is laid on its own first (a tinted copy, or a
// colour over an input of another size), or that has none to lay.
static void sweepBandAfterBackground(Sweep* w, SweepBackground background, int32_t band, int32_t band_end) {
    for (int32_t y = band; background != kSweepNoBackground && y < band_end && y < w->output->height; ++y) {
        if (background == kSweepColourBackground)
            alphaFillRow(&w->fill, w->input, w->output, y, 0, w->output->width);
        else
            tintRow(&w->tint, w->input, w->output, y);
    }
    sweepBandByRows(w, band, band_end < w->input->height ? band_end : w->input->height, kLayNothing);
}

static bool allocateRecords(SweepRecords* r, int32_t count) {
    const size_t n = static_cast<size_t>(count) + 1, align = 64;
    static_assert(alignof(CellLanes) <= align && sizeof(CellLanes) % alignof(CellLanes) == 0, "cell lanes stay aligned");
    const size_t sizes[11] = {sizeof(GatheredCell) * n,  sizeof(int32_t) * 2 * n, sizeof(CellRows) * n,
                              sizeof(int32_t) * n,       sizeof(PendingRow) * n,  sizeof(ActiveCell) * 2 * n,
                              sizeof(PF_PixelFloat) * n, sizeof(CellShapes) * n,  sizeof(CellDrawn) * n,
                              sizeof(PF_LRect) * n,      sizeof(CellLanes) * n};
    size_t offsets[11], total = 0;
    for (int i = 0; i < 11; ++i) {
        offsets[i] = total;
        total += (sizes[i] + align - 1) / align * align;
    }
    char* block = static_cast<char*>(std::aligned_alloc(align, total));
    if (!block) return false;
    r->block = block;
    r->cells = reinterpret_cast<GatheredCell*>(block + offsets[0]);
    r->order = reinterpret_cast<int32_t*>(block + offsets[1]);
    r->rows_of = reinterpret_cast<CellRows*>(block + offsets[2]);
    r->finished = reinterpret_cast<int32_t*>(block + offsets[3]);
    r->pending = reinterpret_cast<PendingRow*>(block + offsets[4]);
    r->active = reinterpret_cast<ActiveCell*>(block + offsets[5]);
    r->averages = reinterpret_cast<PF_PixelFloat*>(block + offsets[6]);
    r->shapes = reinterpret_cast<CellShapes*>(block + offsets[7]);
    r->drawn = reinterpret_cast<CellDrawn*>(block + offsets[8]);
    r->areas = reinterpret_cast<PF_LRect*>(block + offsets[9]);
    r->lanes = reinterpret_cast<CellLanes*>(block + offsets[10]);
    return true;
}

static bool sweepGathered(const SweepCells* job) {
    PF_LayerDef* input = job->input;
    PF_LayerDef* output = job->output;
    const int32_t count = job->count;
    // (the averages read the input after the background is written to the output)
    if (count > kSweepMaxCells || worldsShareMemory(input, output)) return false;
    SweepRecords records;
    if (!allocateRecords(&records, count)) return false;
    GatheredCell* cells = records.cells;
    int32_t* order = records.order;
    CellRows* rows_of = records.rows_of;
    ActiveCell* spare = records.active + count + 1;
    const int n = count;
    // The rows each cell reads, kept apart: a cell's own record is set up only
    // when the sweep reaches its first row, so that it is still in the cache
    // when its rows are added.
    PF_LRect* areas = records.areas;
    int32_t unread = 0, starting = 0;
    for (int32_t i = 0; i < n; ++i) {
        areas[i] = job->areas[i];
        if (prepareAverageRect(input, &areas[i]) && areas[i].left < areas[i].right && areas[i].top < areas[i].bottom) {
            order[starting++] = i;
        } else {  // nothing to add
            PF_LRect area = job->areas[i];
            cellSumBegin(&cells[i].sum, input, &area);
            records.finished[unread++] = i;
        }
    }
    finishCells(job, &records, records.finished, unread);
    // the cells that read rows, by their first row (the order among cells
    // starting on one row does not matter: each sums its own; without column
    // shifts the walk's order is already this one)
    const auto by_top = [&](int32_t a, int32_t b) { return areas[a].top < areas[b].top; };
    if (!std::is_sorted(order, order + starting, by_top)) std::sort(order, order + starting, by_top);
    Sweep w;
    w.input = input;
    w.output = output;
    w.cells = cells;
    w.lanes = records.lanes;
    w.active = records.active;
    w.active_count = 0;
    w.pending = records.pending;
    int32_t next = 0;

    // A background that reads the input is laid band by band in the sweep; any
    // other is laid now, since the sweep only reads the input.
    const bool background_in_sweep = job->background != kSweepNoBackground;
    if (!background_in_sweep && job->before_cells) job->before_cells(job->user);
    alphaFillPrepare(&w.fill, &job->background_colour);
    tintPrepare(&w.tint, &job->background_colour);
    w.lay.pattern = w.fill.pattern;
    tintLanesFor(job->background_colour, &w.lay.tint);
    w.lay.tint_colour = job->background_colour;
    // the opaque colour, or the tinted input, over an input of the output's
    // size: one pass per row
    const bool same_size = input->width == output->width && input->height == output->height;
    LayMode lay = kLayNothing;
    if (same_size && job->background == kSweepColourBackground && job->background_colour.alpha == 255) lay = kLayColour;
    if (same_size && job->background == kSweepTintedBackground) lay = kLayTint;
    // Bands of rows: the cells a band reaches are found once for it, and a
    // background laid on its own is still in the cache when the band is summed.
    const int32_t rows = background_in_sweep && output->height > input->height ? output->height : input->height;
    for (int32_t band = 0; band < rows; band += kSweepBandRows) {
        const int32_t band_end = rows - band > kSweepBandRows ? band + kSweepBandRows : rows;
        const int32_t before = w.active_count;
        for (; next < starting && areas[order[next]].top < band_end; ++next) {
            const int32_t index = order[next];
            PF_LRect area = job->areas[index];
            cellSumBegin(&cells[index].sum, input, &area);
            records.lanes[index] = CellLanes{};
            w.active[w.active_count++] = activeCell(cells[index].sum, index);
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
        if (lay != kLayNothing)
            sweepBandByRows(&w, band, band_end, lay);
        else
            sweepBandAfterBackground(&w, job->background, band, band_end);
        // the cells whose last row is added: their lanes into their sums, then
        // each is finished, one after another
        int32_t kept = 0, done = 0;  // kept in the same order
        for (int32_t i = 0; i < w.active_count; ++i) {
            const ActiveCell& a = w.active[i];
            if (a.bottom > band_end) {
                w.active[kept++] = a;
                continue;
            }
            if (a.whole_exact) flushLanes(&records.lanes[a.index], &w.active[i], &cells[a.index]);
            records.finished[done++] = a.index;
        }
        finishCells(job, &records, records.finished, done);
        w.active_count = kept;
    }
    drawBanded(job->in_data, output, records.drawn, rows_of, n, order);
    std::free(records.block);
    return true;
}
bool sweepCells(const SweepCells* job) {
    // (the reference paths average and draw cell by cell, to check the sweep against)
    return !kvReferencePaths() && sweepGathered(job);
}
