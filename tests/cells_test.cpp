// The cell library on its own: many cells averaged in one sweep give exactly
// what averaging them one by one gives, whatever their layout, and the
// rounding contract its header states.
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

void expectSameAsOneByOne(GuardedWorld& input, const std::vector<PF_LRect>& areas, const std::string& what) {
    refhost::Host host(nullptr);
    std::vector<PF_PixelFloat> swept(areas.size());
    ASSERT_EQ(r_average_cells(&host.inData(), &input.def(), areas.data(), static_cast<int32_t>(areas.size()),
                              swept.data()),
              PF_Err_NONE);
    for (size_t i = 0; i < areas.size(); ++i) {
        PF_LRect area = areas[i];
        PF_PixelFloat one;
        r_average_rect_rgba_reference(&input.def(), &area, &one);
        const float a[4] = {swept[i].alpha, swept[i].red, swept[i].green, swept[i].blue};
        const float b[4] = {one.alpha, one.red, one.green, one.blue};
        ASSERT_EQ(std::memcmp(a, b, sizeof(a)), 0)
            << what << ": cell " << i << " {" << areas[i].left << ", " << areas[i].top << ", " << areas[i].right
            << ", " << areas[i].bottom << "} gives " << a[1] << " where one by one gives " << b[1];
    }
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
