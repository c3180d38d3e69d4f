// The cell library on its own: many cells averaged in one sweep give exactly
// what averaging them one by one gives, whatever their layout, and the
// rounding contract its header states.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "cells/kavri_cell_average.h"
#include "cells/kavri_cell_sweep.h"
#include "cells/kavri_cells.h"
#include "graphics/kavri_isa.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

// Each of the averages, the same floats as the reference's for its area.
void expectAsTheReference(GuardedWorld& input, const std::vector<PF_LRect>& areas,
                          const std::vector<PF_PixelFloat>& got, const std::string& what) {
    for (size_t i = 0; i < areas.size(); ++i) {
        PF_LRect area = areas[i];
        PF_PixelFloat one;
        r_average_rect_rgba_reference(&input.def(), &area, &one);
        const float a[4] = {got[i].alpha, got[i].red, got[i].green, got[i].blue};
        const float b[4] = {one.alpha, one.red, one.green, one.blue};
        ASSERT_EQ(std::memcmp(a, b, sizeof(a)), 0)
            << what << ": cell " << i << " {" << areas[i].left << ", " << areas[i].top << ", " << areas[i].right
            << ", " << areas[i].bottom << "} gives " << a[1] << " where one by one gives " << b[1];
    }
}

void expectSameAsOneByOne(GuardedWorld& input, const std::vector<PF_LRect>& areas, const std::string& what) {
    refhost::Host host(nullptr);
    std::vector<PF_PixelFloat> swept(areas.size());
    ASSERT_EQ(r_average_cells(&host.inData(), &input.def(), areas.data(), static_cast<int32_t>(areas.size()),
                              swept.data()),
              PF_Err_NONE);
    expectAsTheReference(input, areas, swept, what);
}

// A grid of w x h cells of size s over the world, from an origin that may lie outside it.
std::vector<PF_LRect> grid(int32_t width, int32_t height, int32_t size, int32_t ox, int32_t oy) {
    std::vector<PF_LRect> areas;
    for (int32_t y = oy; y < height; y += size)
        for (int32_t x = ox; x < width; x += size) areas.push_back(PF_LRect{x, y, x + size, y + size});
    return areas;
}

TEST(CellLibrary, AGridMatchesAveragingCellByCell) {
    uint32_t seed = 40;
    for (int32_t size : {1, 2, 3, 7, 16, 61, 400}) {
        GuardedWorld input(301, 203);
        cwtest::seededInput(input, ++seed, true);
        expectSameAsOneByOne(input, grid(301, 203, size, 0, 0), "size " + std::to_string(size));
        expectSameAsOneByOne(input, grid(301, 203, size, -size / 2, -1), "offset size " + std::to_string(size));
        if (HasFatalFailure()) return;
    }
}

// Large cells of opaque white pass 2^24 in their float sums: the sweep must
// round there exactly as the one-by-one additions do.
TEST(CellLibrary, LargeWhiteCellsRoundAsTheFloatSumsDo) {
    GuardedWorld input(2100, 1100, 0);
    input.fill(PF_Pixel{255, 255, 255, 255});
    for (int32_t x = 0; x < 2100; x += 7) input.at(x, x % 1100) = PF_Pixel{3, 250, 1, 128};
    expectSameAsOneByOne(input, grid(2100, 1100, 1050, 0, 0), "two huge cells");
    expectSameAsOneByOne(input, {PF_LRect{0, 0, 2100, 1100}}, "the whole world");
}

// A grid averaged in one pass down its rows gives the reference's floats for
// every cell: cells of one pixel, of two sizes in turn, at the largest size it
// takes, from any origin; it declines a grid outside the input or with a cell
// whose sums would pass 2^24.
TEST(CellLibrary, AGridInOnePassDownTheRowsGivesTheSameFloats) {
    GuardedWorld input(301, 203);
    cwtest::seededInput(input, 77, true);
    std::vector<uint32_t> sums(301 * 4);
    auto check = [&](const std::vector<int32_t>& xs, const std::vector<int32_t>& ys, const std::string& what) {
        const int32_t columns = static_cast<int32_t>(xs.size()) - 1, rows = static_cast<int32_t>(ys.size()) - 1;
        std::vector<PF_PixelFloat> got(static_cast<size_t>(columns) * rows);
        // in two batches of rows, as an effect asks
        const int32_t half = rows / 2;
        ASSERT_TRUE(r_average_grid(&input.def(), xs.data(), columns, ys.data(), 0, half, sums.data(), got.data())) << what;
        ASSERT_TRUE(r_average_grid(&input.def(), xs.data(), columns, ys.data(), half, rows, sums.data(),
                                   got.data() + static_cast<size_t>(half) * columns))
            << what;
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t c = 0; c < columns; ++c) {
                PF_LRect area = {xs[c], ys[r], xs[c + 1], ys[r + 1]};
                PF_PixelFloat one;
                r_average_rect_rgba_reference(&input.def(), &area, &one);
                const PF_PixelFloat& g = got[static_cast<size_t>(r) * columns + c];
                const float a[4] = {g.alpha, g.red, g.green, g.blue}, b[4] = {one.alpha, one.red, one.green, one.blue};
                ASSERT_EQ(std::memcmp(a, b, sizeof(a)), 0) << what << ": cell " << c << ", " << r;
            }
    };
    auto edges = [](int32_t limit, double size, double origin) {
        std::vector<int32_t> e = {0};
        for (int k = 1; e.back() < limit; ++k) {
            const int32_t next = std::min(limit, static_cast<int32_t>(std::floor(origin + k * size)));
            if (next > e.back()) e.push_back(next);
        }
        return e;
    };
    for (double size : {1.0, 2.5, 8.0, 13.0, 100.0})
        check(edges(301, size, -size / 3), edges(203, size, 0), "size " + std::to_string(size));
    // the largest cells it takes: 256 x 256 (65,536 pixels); a part of the world
    GuardedWorld big(600, 300);
    cwtest::seededInput(big, 78, true);
    big.fill(PF_Pixel{255, 255, 255, 255});
    std::vector<uint32_t> big_sums(600 * 4);
    std::vector<PF_PixelFloat> two(2);
    const std::vector<int32_t> xs = {10, 266, 522}, ys = {20, 276};
    ASSERT_TRUE(r_average_grid(&big.def(), xs.data(), 2, ys.data(), 0, 1, big_sums.data(), two.data()));
    EXPECT_EQ(two[0].red, (255.0f * 65536 + 32768) / 65536);
    // declined: past 65,664 pixels, or outside the input
    const std::vector<int32_t> wide = {0, 257}, tall = {0, 256};
    EXPECT_FALSE(r_average_grid(&big.def(), wide.data(), 1, tall.data(), 0, 1, big_sums.data(), two.data()));
    const std::vector<int32_t> past = {590, 601};
    EXPECT_FALSE(r_average_grid(&big.def(), past.data(), 1, ys.data(), 0, 1, big_sums.data(), two.data()));
}

// Cells side by side along a strip of rows give the reference's floats
// whatever lies in the strip: runs of cells that meet, gaps and overlaps,
// cells reaching past the input or wholly outside it, an edge of exactly 0,
// no width, rows of 1 to 300 (past 257 the column sums need 32 bits).
TEST(CellLibrary, AStripOfCellsGivesTheSameFloats) {
    GuardedWorld input(301, 320);
    cwtest::seededInput(input, 79, true);
    for (int32_t y = 0; y < 320; ++y)  // bright columns, whose tall sums pass 16 bits
        for (int32_t x = 100; x < 220; ++x) input.at(x, y) = PF_Pixel{255, 254, 255, 253};
    std::mt19937 rng(80);
    std::vector<uint32_t> sums(301 * 4);
    for (int round = 0; round < 200; ++round) {
        const int32_t height = round % 9 == 0 ? 258 + static_cast<int32_t>(rng() % 43) : 1 + static_cast<int32_t>(rng() % 40);
        const int32_t top = round % 17 == 0 ? -height : static_cast<int32_t>(rng() % 340) - 10;
        std::vector<PF_LRect> areas;
        int32_t x = static_cast<int32_t>(rng() % 30) - 40;
        while (x < 330 && areas.size() < 200) {
            const int32_t width = height > 257 ? 1 + static_cast<int32_t>(rng() % 200) : 1 + static_cast<int32_t>(rng() % 30);
            int32_t left = x;
            const uint32_t kind = rng() % 12;
            if (kind == 0) left += static_cast<int32_t>(rng() % 5);  // a gap
            if (kind == 1) left -= static_cast<int32_t>(rng() % 5);  // an overlap
            areas.push_back(PF_LRect{left, top, kind == 2 ? left : x + width, top + height});
            x += width;
        }
        std::vector<int32_t> edges(areas.size() + 1);
        std::vector<PF_PixelFloat> got(areas.size());
        r_average_strip(&input.def(), areas.data(), static_cast<int32_t>(areas.size()), edges.data(), sums.data(),
                        got.data());
        expectAsTheReference(input, areas, got, "round " + std::to_string(round));
        if (HasFatalFailure()) return;
    }
}

TEST(CellLibrary, OverlappingStrayAndEmptyCellsMatchToo) {
    GuardedWorld input(97, 61);
    cwtest::seededInput(input, 7, true);
    std::mt19937 rng(8);
    std::vector<PF_LRect> areas = {
        {-10, 4, 0, 8},      // right edge 0: the first column
        {97, 0, 120, 10},    // left at the width: count 0
        {120, 0, 130, 6},    // beyond: a negative count
        {5, 5, 5, 9},        // no width
        {0, 0, 97, 61},      // the whole world
    };
    for (int i = 0; i < 500; ++i) {
        const int32_t left = static_cast<int32_t>(rng() % 130) - 20, top = static_cast<int32_t>(rng() % 90) - 15;
        areas.push_back(PF_LRect{left, top, left + static_cast<int32_t>(rng() % 40), top + static_cast<int32_t>(rng() % 40)});
    }
    expectSameAsOneByOne(input, areas, "random cells");
}

// More cells than one sweep takes, and the reference level: cell by cell.
TEST(CellLibrary, WhereTheSweepDeclinesCellByCellGivesTheSame) {
    GuardedWorld input(300, 260);
    cwtest::seededInput(input, 11, true);
    const std::vector<PF_LRect> pixels = grid(300, 260, 1, 0, 0);
    ASSERT_GT(pixels.size(), static_cast<size_t>(kSweepMaxCells));
    expectSameAsOneByOne(input, pixels, "one cell a pixel");
    {
        cwtest::IsaLevel reference("reference");
        kvIsaSelect();
        expectSameAsOneByOne(input, grid(300, 260, 16, 0, 0), "the reference level");
    }
    kvIsaSelect();
}

TEST(CellLibrary, AveragesAreTheMeanRaisedSoThatTruncationRounds) {
    GuardedWorld input(2, 2);
    input.at(0, 0) = PF_Pixel{255, 10, 10, 0};
    input.at(1, 0) = PF_Pixel{255, 11, 10, 0};
    input.at(0, 1) = PF_Pixel{255, 12, 10, 1};
    input.at(1, 1) = PF_Pixel{255, 13, 11, 1};
    const PF_LRect whole = {0, 0, 2, 2};
    PF_PixelFloat average;
    refhost::Host host(nullptr);
    ASSERT_EQ(r_average_cells(&host.inData(), &input.def(), &whole, 1, &average), PF_Err_NONE);
    // red: 46 / 4 = 11.5, raised by 2 / 4 to 12; green 41 / 4 = 10.25 gives
    // 10.75; blue 2 / 4 = 0.5 gives 1
    EXPECT_EQ(average.red, 12.0f);
    EXPECT_EQ(average.green, 10.75f);
    EXPECT_EQ(average.blue, 1.0f);
    EXPECT_EQ(average.alpha, 255.5f) << "an even count of 255 gives 255.5";
    // truncated: the mean rounded to the nearest level, halves up
    EXPECT_EQ(r_cell_colour(average), (PF_Pixel{255, 12, 10, 1}));
}

TEST(CellLibrary, StopsWhenTheUserStops) {
    GuardedWorld input(64, 64);
    cwtest::seededInput(input, 3, false);
    refhost::Host host(nullptr);
    host.setAbort([] { return true; });
    const std::vector<PF_LRect> areas = grid(64, 64, 8, 0, 0);
    std::vector<PF_PixelFloat> averages(areas.size());
    EXPECT_EQ(r_average_cells(&host.inData(), &input.def(), areas.data(), static_cast<int32_t>(areas.size()),
                              averages.data()),
              PF_Interrupt_CANCEL);
}

}  // namespace
