// The pixelate example through the command: cells with worked colours, cells
// of fractional size, the offset, "keep alpha", and every pixel against an
// independent computation of the rounded means.
#include <cmath>
#include <random>

#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

namespace {

class Pixelate : public ::testing::Test {
protected:
    // The command's render of `in` with these settings.
    refhost::World render(const refhost::World& in, const std::vector<std::string>& settings) {
        std::string error;
        EXPECT_TRUE(cwtool::writePng(dir.path("in.png"), in, error)) << error;
        std::vector<std::string> args = {"render", dir.path("in.png"), dir.path("out.png"), "--plugin",
                                         cwtest::modulePath("pixelate")};
        for (const std::string& s : settings) args.insert(args.end(), {"--set", s});
        const cwtest::CommandRun r = cwtest::run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        refhost::World out;
        EXPECT_TRUE(cwtool::readPng(dir.path("out.png"), out, error)) << error;
        return out;
    }
    cwtest::TempDir dir;
};

// A 10 x 1 ramp of 0, 10, ..., 90 in red.
refhost::World ramp() {
    refhost::World w = cwtest::solidWorld(10, 1, PF_Pixel{255, 0, 0, 0});
    for (int x = 0; x < 10; ++x) w.at(x, 0).red = static_cast<A_u_char>(10 * x);
    return w;
}

TEST_F(Pixelate, CellsTakeTheirRoundedMean) {
    refhost::World in = cwtest::solidWorld(3, 2, PF_Pixel{255, 0, 0, 0});
    // the first 2 x 2 cell: red 10, 11, 12, 13 (mean 11.5, rounds up to 12),
    // green 10, 10, 10, 11 (10.25, down to 10), alpha 255, 255, 255, 0 (191.25)
    in.at(0, 0) = PF_Pixel{255, 10, 10, 7};
    in.at(1, 0) = PF_Pixel{255, 11, 10, 7};
    in.at(0, 1) = PF_Pixel{255, 12, 10, 7};
    in.at(1, 1) = PF_Pixel{0, 13, 11, 8};
    // the last column, a cell cut to 1 x 2 by the edge: red 200 and 101 (150.5, up to 151)
    in.at(2, 0) = PF_Pixel{255, 200, 0, 0};
    in.at(2, 1) = PF_Pixel{255, 101, 0, 0};
    const refhost::World out = render(in, {"cell size=2"});
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) EXPECT_EQ(out.at(x, y), (PF_Pixel{191, 12, 10, 7})) << x << "," << y;
        EXPECT_EQ(out.at(2, y), (PF_Pixel{255, 151, 0, 0}));
    }
    // keep alpha: the colours stay, each pixel's alpha is its own
    const refhost::World kept = render(in, {"cell size=2", "keep alpha=on"});
    EXPECT_EQ(kept.at(0, 0), (PF_Pixel{255, 12, 10, 7}));
    EXPECT_EQ(kept.at(1, 1), (PF_Pixel{0, 12, 10, 7}));
}

TEST_F(Pixelate, AFractionalSizeGivesCellsOfTwoSizesInTurn) {
    // edges at floor(2.5 k): 0, 2, 5, 7, 10: cells of 2, 3, 2 and 3 pixels
    const refhost::World out = render(ramp(), {"cell size=2.5"});
    const int expected[10] = {5, 5, 30, 30, 30, 55, 55, 80, 80, 80};
    for (int x = 0; x < 10; ++x) EXPECT_EQ(out.at(x, 0).red, expected[x]) << x;
}

TEST_F(Pixelate, TheOffsetMovesTheGrid) {
    // a corner at x 1: cells [0, 1), [1, 4), [4, 7), [7, 10)
    const refhost::World out = render(ramp(), {"cell size=3", "offset=1,0"});
    const int expected[10] = {0, 20, 20, 20, 50, 50, 50, 80, 80, 80};
    for (int x = 0; x < 10; ++x) EXPECT_EQ(out.at(x, 0).red, expected[x]) << x;
    // one cell wider than the picture: one colour, the whole mean (450 / 10 = 45)
    const refhost::World one = render(ramp(), {"cell size=4096"});
    for (int x = 0; x < 10; ++x) EXPECT_EQ(one.at(x, 0).red, 45) << x;
}

// Every pixel of a seeded picture at sizes of every kind against integer means.
TEST_F(Pixelate, EveryPixelIsItsCellsRoundedMean) {
    refhost::World in = cwtest::solidWorld(53, 37, PF_Pixel{0, 0, 0, 0});
    std::mt19937 rng(31);
    for (int y = 0; y < 37; ++y)
        for (int x = 0; x < 53; ++x)
            in.at(x, y) = PF_Pixel{static_cast<A_u_char>(rng()), static_cast<A_u_char>(rng()),
                                   static_cast<A_u_char>(rng()), static_cast<A_u_char>(rng())};
    for (double size : {1.0, 4.0, 6.75, 17.0}) {
        const double ox = 3, oy = 5;
        const refhost::World out =
            render(in, {"cell size=" + std::to_string(size), "offset=" + std::to_string(ox) + "," + std::to_string(oy)});
        // pixel v lies in cell k when floor(o + k size) <= v < floor(o + (k + 1) size)
        auto cellOf = [&](int v, double o) {
            int k = static_cast<int>(std::floor((v - o) / size)) + 1;
            while (std::floor(o + k * size) > v) --k;
            return k;
        };
        auto edge = [&](int k, double o, int limit) {
            const double e = std::floor(o + k * size);
            return static_cast<int>(std::min<double>(std::max(e, 0.0), limit));
        };
        for (int y = 0; y < 37; ++y)
            for (int x = 0; x < 53; ++x) {
                const int kx = cellOf(x, ox), ky = cellOf(y, oy);
                const int x0 = edge(kx, ox, 53), x1 = edge(kx + 1, ox, 53), y0 = edge(ky, oy, 37), y1 = edge(ky + 1, oy, 37);
                int sums[4] = {0, 0, 0, 0};
                for (int v = y0; v < y1; ++v)
                    for (int u = x0; u < x1; ++u) {
                        const PF_Pixel& p = in.at(u, v);
                        sums[0] += p.alpha, sums[1] += p.red, sums[2] += p.green, sums[3] += p.blue;
                    }
                const int n = (x1 - x0) * (y1 - y0);
                auto mean = [&](int sum) { return static_cast<A_u_char>((2 * sum + n) / (2 * n)); };  // halves up
                ASSERT_EQ(out.at(x, y), (PF_Pixel{mean(sums[0]), mean(sums[1]), mean(sums[2]), mean(sums[3])}))
                    << "size " << size << " at " << x << "," << y;
            }
    }
}

}  // namespace
