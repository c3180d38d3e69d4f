// The fast paths against the straightforward ones they replace, bit for bit.
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "effect/kavri_squares.h"
#include "graphics/kavri_ae_graphics_utils.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

float addOneByOne(float sum, uint32_t b, int64_t n) {
    for (int64_t i = 0; i < n; ++i) sum += static_cast<float>(b);
    return sum;
}

TEST(FastPaths, RepeatedAdditionMatchesAddingOneByOne) {
    const uint32_t seed = 7;
    std::mt19937 rng(seed);
    const float starts[] = {0, 1, 16777000, 16777216, 16777217 + 1, 33554430, 33554432, 67108860, 2.1e9f, 3e9f, 9e9f};
    for (float start : starts)
        for (uint32_t b : {255u, 254u, 1u, 128u, 3u, 0u})
            for (int64_t n : {int64_t(1), int64_t(2), int64_t(3), int64_t(640), int64_t(70000), int64_t(200000)}) {
                const float fast = addRepeated(start, b, n), slow = addOneByOne(start, b, n);
                ASSERT_EQ(std::memcmp(&fast, &slow, 4), 0)
                    << "start " << start << " b " << b << " n " << n << ": " << fast << " vs " << slow;
            }
    for (int i = 0; i < 300; ++i) {
        const float start = static_cast<float>(rng() % 80000000);
        const uint32_t b = rng() % 256;
        const int64_t n = 1 + rng() % 5000;
        const float fast = addRepeated(start, b, n), slow = addOneByOne(start, b, n);
        ASSERT_EQ(std::memcmp(&fast, &slow, 4), 0) << "seed " << seed << " start " << start << " b " << b << " n " << n;
    }
}

TEST(FastPaths, ColourFillAlphaTableMatchesTheFormulaForEveryPair) {
    GuardedWorld src(256, 1), dst(256, 1, 5);
    for (int a = 0; a < 256; ++a) src.at(a, 0) = PF_Pixel{static_cast<A_u_char>(a), 1, 2, 3};
    for (int c = 0; c < 256; ++c) {
        PF_Pixel colour = {static_cast<A_u_char>(c), 9, 8, 7};
        PF_LRect all = {0, 0, 256, 1};
        fill_preserving_alpha(&colour, &all, &src.def(), &dst.def());
        for (int a = 0; a < 256; ++a) {
            const int expected = static_cast<int>(static_cast<float>(a) * static_cast<float>(c) / 255.0f);
            ASSERT_EQ(dst.at(a, 0).alpha, expected) << "source alpha " << a << " colour alpha " << c;
            ASSERT_EQ(dst.at(a, 0).red, 9);
        }
    }
    EXPECT_TRUE(dst.intact());
}

// Whole renders through the module with its fast paths and with its
// straightforward loops (CHECKERWARP_ISA=reference), compared byte for byte.
struct Case {
    const char* name;
    int width, height;
    std::vector<std::pair<const char*, double>> floats;
    std::vector<std::pair<const char*, int>> popups;
    std::vector<std::pair<const char*, double>> angles;
    PF_Quality quality;
    bool varying_alpha;
};

// Renders the case's settings through the module, with its fast paths and with
// its reference loops, into fast and slow (each cleared first and checked for stray writes).
void renderBoth(const Case& c, GuardedWorld& in, GuardedWorld& fast, GuardedWorld& slow) {
    for (int pass = 0; pass < 2; ++pass) {
        std::unique_ptr<cwtest::IsaLevel> level;
        if (pass == 1) level = std::make_unique<cwtest::IsaLevel>("reference");
        refhost::Host host(cwtest::plugin().entry());
        ASSERT_EQ(host.start(), PF_Err_NONE);
        for (auto& f : c.floats) cwtest::setFloat(host, f.first, f.second);
        for (auto& p : c.popups) cwtest::setPopup(host, p.first, p.second);
        for (auto& a : c.angles) cwtest::setAngle(host, a.first, a.second);
        host.setQuality(c.quality);
        GuardedWorld& out = pass == 0 ? fast : slow;
        out.fill(PF_Pixel{0, 0, 0, 0});
        ASSERT_EQ(host.render(in.def(), out.def()), PF_Err_NONE);
        ASSERT_TRUE(out.intact());
    }
}

// Renders the case over a seeded input through both modules and compares them
// byte for byte; a failure names `what`, the seed and the first differing pixel.
void renderBothAndCompare(const Case& c, uint32_t seed, const std::string& what) {
    GuardedWorld in(c.width, c.height, 3), fast(c.width, c.height, 1), slow(c.width, c.height, 2);
    cwtest::seededInput(in, seed, c.varying_alpha);
    renderBoth(c, in, fast, slow);
    if (::testing::Test::HasFatalFailure()) return;
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x)
            ASSERT_EQ(fast.at(x, y), slow.at(x, y)) << what << " (seed " << seed << ") first differs at " << x << "," << y;
}

TEST(FastPaths, RendersMatchTheStraightforwardPathsByteForByte) {
    const Case cases[] = {
        {"defaults", 640, 360, {}, {}, {}, PF_Quality_HI, false},
        {"alpha", 331, 207, {}, {}, {}, PF_Quality_HI, true},
        {"big cells", 1200, 900, {{"squares across", 1.5}}, {}, {}, PF_Quality_HI, false},
        {"big cells alpha", 1100, 700, {{"squares across", 1}}, {{"background fill", 2}}, {}, PF_Quality_HI, true},
        {"tile mosaic", 513, 301, {{"squares across", 40}}, {{"background fill", 2}, {"squares fill", 3}}, {}, PF_Quality_HI, false},
        {"tiles", 300, 200, {{"squares across", 23}}, {{"background fill", 2}, {"squares fill", 2}}, {}, PF_Quality_HI, true},
        {"tinted source", 211, 97, {}, {{"background fill", 3}, {"squares fill", 4}}, {}, PF_Quality_HI, true},
        {"knockout", 199, 101, {}, {{"background fill", 4}}, {}, PF_Quality_LO, false},
        {"vertical bricks", 401, 233, {{"wibble max", 3}}, {{"brick rows", 2}}, {{"brick offset", 77}, {"wibble angle", 200}}, PF_Quality_HI, true},
        {"horizontal bricks", 257, 255, {{"x scale", 37}, {"y scale", 260}}, {}, {{"brick offset", 180}}, PF_Quality_LO, false},
        {"large vertical bricks", 1500, 1000, {{"squares across", 3}}, {{"brick rows", 2}}, {{"brick offset", 77}}, PF_Quality_HI, true},
        {"many large cells", 2000, 700, {{"squares across", 5}, {"y scale", 130}}, {{"background fill", 3}}, {{"x offset", 33}}, PF_Quality_HI, true},
        {"large opaque cells", 1700, 900, {{"squares across", 4}}, {}, {{"brick offset", 180}}, PF_Quality_HI, false},
        {"squares across bands", 700, 1300, {{"squares across", 9}, {"horizontal max", 4}, {"vertical max", 6}, {"wibble max", 2}},
         {{"background fill", 2}, {"squares fill", 2}}, {{"wibble angle", 130}}, PF_Quality_HI, true},
        {"knockout squares on colour", 900, 700, {{"squares across", 30}, {"vertical max", 3}}, {{"squares fill", 4}}, {}, PF_Quality_HI, true},
        {"a row of many tall cells", 4201, 500, {{"squares across", 14}, {"y scale", 300}}, {}, {{"x offset", 5}}, PF_Quality_HI, false},
        // cells kept in 16-bit lanes whose rows take nearly all (240) or more than
        // all (288) the chunks the lanes hold
        {"wide flat cells", 2300, 90, {{"squares across", 1.2}, {"y scale", 1.2}}, {}, {}, PF_Quality_HI, false},
        {"wider flat tiles", 2300, 90, {{"squares across", 1}, {"y scale", 1.2}}, {{"background fill", 2}}, {},
         PF_Quality_HI, true},
        {"one pixel", 1, 1, {}, {{"background fill", 2}}, {}, PF_Quality_HI, true},
        {"one row", 333, 1, {{"squares across", 255}}, {}, {}, PF_Quality_HI, false},
    };
    uint32_t seed = 99;
    for (const Case& c : cases) {
        renderBothAndCompare(c, ++seed, c.name);
        if (HasFatalFailure()) return;
    }
}

TEST(FastPaths, EveryBackgroundAndSquaresFillMatchesWithTheDefaultGridAndADenseOne) {
    uint32_t seed = 1600;
    for (double across : {12.0, 255.0})
        for (int background = 1; background <= 4; ++background)
            for (int squares = 1; squares <= 4; ++squares) {
                const Case c = {"mode", 641, 363, {{"squares across", across}},
                                {{"background fill", background}, {"squares fill", squares}}, {}, PF_Quality_HI, true};
                renderBothAndCompare(c, ++seed,
                                     "background " + std::to_string(background) + ", squares " +
                                         std::to_string(squares) + ", " + std::to_string(static_cast<int>(across)) + " across");
                if (HasFatalFailure()) return;
            }
}

// More cells than one sweep takes: the walk averages a few cells, then works out
// their drawings side by side, in every fill, against one cell at a time.
TEST(FastPaths, TinyCellsInEveryFillMatchCellByCell) {
    uint32_t seed = 2600;
    for (int background = 1; background <= 4; ++background)
        for (int squares = 1; squares <= 4; ++squares) {
            const Case c = {"tiny", 301, 203,
                            {{"squares across", 255}, {"x scale", 40}, {"y scale", 45}, {"wibble max", 1.5},
                             {"horizontal max", 3}},
                            {{"background fill", background}, {"squares fill", squares}},
                            {{"wibble angle", 35}},
                            PF_Quality_HI,
                            true};
            renderBothAndCompare(c, ++seed,
                                 "background " + std::to_string(background) + ", squares " + std::to_string(squares));
            if (HasFatalFailure()) return;
        }
}

// Seeded random settings, small frames: both modules, byte for byte. Settings
// lean to the ends of their ranges, where the paths part ways (cells that pass
// 2^24, rows shorter than a chunk, squares far outside their cells).
TEST(FastPaths, RandomSettingsMatchTheStraightforwardPaths) {
    const uint32_t seed = 777;
    std::mt19937 rng(seed);
    auto pick = [&](double lo, double hi) {
        const uint32_t r = rng() % 4;
        return r == 0 ? lo : r == 1 ? hi : lo + (hi - lo) * (rng() % 10000) / 10000.0;
    };
    for (int round = 0; round < 120; ++round) {
        const int w = 1 + rng() % 700, h = 1 + rng() % 500;
        const bool alpha = rng() % 2;
        GuardedWorld in(w, h, rng() % 5), fast(w, h, rng() % 5), slow(w, h, 1);
        cwtest::seededInput(in, seed + round, alpha);
        const Case c = {
            "random", w, h,
            {{"squares across", pick(1, 60)}, {"x scale", pick(5, 400)}, {"y scale", pick(5, 400)},
             {"horizontal max", pick(0, 10)}, {"vertical max", pick(0, 10)}, {"wibble max", pick(0, 4)}},
            {{"background fill", 1 + rng() % 4}, {"squares fill", 1 + rng() % 4}, {"brick rows", 1 + rng() % 2}},
            {{"brick offset", pick(0, 360)}, {"x offset", pick(-720, 720)}, {"y offset", pick(-720, 720)},
             {"wibble angle", pick(0, 360)}},
            rng() % 3 ? PF_Quality_HI : PF_Quality_LO, alpha};
        renderBoth(c, in, fast, slow);
        if (HasFatalFailure()) return;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(fast.at(x, y), slow.at(x, y))
                    << "seed " << seed << " round " << round << " (" << w << " x " << h << ", across "
                    << c.floats[0].second << ", fills " << c.popups[0].second << "/" << c.popups[1].second
                    << ") first differs at " << x << "," << y;
    }
}

// Mosaics (tiles, no squares), drawn a row of cells at a time, against the
// cell by cell path: cells whose edges fall inside pixels or on them, moved by
// the centre and the offsets, rows shifted as bricks, stretched, on pixels
// that are not square, at both qualities, over opaque and transparent input,
// and columns shifted as bricks (which that path declines). Seeded.
TEST(FastPaths, MosaicsRowByRowMatchTheStraightforwardPaths) {
    const uint32_t seed = 909;
    std::mt19937 rng(seed);
    auto pick = [&](double lo, double hi) { return lo + (hi - lo) * (rng() % 10000) / 10000.0; };
    for (int round = 0; round < 60; ++round) {
        const int w = 1 + rng() % 500, h = 1 + rng() % 300;
        const bool alpha = rng() % 2;
        GuardedWorld in(w, h, rng() % 5), fast(w, h, rng() % 5), slow(w, h, 1);
        cwtest::seededInput(in, seed + round, alpha);
        const double across = round % 4 == 0 ? std::floor(pick(1, 120)) : pick(1, 200);
        const double x_scale = round % 3 == 0 ? 100 : pick(20, 300), y_scale = round % 3 == 0 ? 100 : pick(20, 300);
        const double cx = pick(-0.5, 1.5) * w, cy = pick(-0.5, 1.5) * h;
        const double brick = round % 2 ? 0 : pick(0, 360), x_off = pick(-720, 720), y_off = pick(-720, 720);
        const int rows = round % 5 == 4 ? 2 : 1;
        const A_long aspect = round % 6 == 5 ? 3 : 1;
        const PF_Quality quality = round % 7 == 6 ? PF_Quality_LO : PF_Quality_HI;
        for (int pass = 0; pass < 2; ++pass) {
            std::unique_ptr<cwtest::IsaLevel> level;
            if (pass == 1) level = std::make_unique<cwtest::IsaLevel>("reference");
            refhost::Host host(cwtest::plugin().entry());
            ASSERT_EQ(host.start(), PF_Err_NONE);
            cwtest::setPopup(host, "background fill", 2);
            cwtest::setPopup(host, "squares fill", 3);
            cwtest::setColor(host, "background color", 250, 180, 40);
            cwtest::setFloat(host, "squares across", across);
            cwtest::setFloat(host, "x scale", x_scale);
            cwtest::setFloat(host, "y scale", y_scale);
            cwtest::setPointPixels(host, "center", cx, cy);
            cwtest::setPopup(host, "brick rows", rows);
            cwtest::setAngle(host, "brick offset", brick);
            cwtest::setAngle(host, "x offset", x_off);
            cwtest::setAngle(host, "y offset", y_off);
            host.setPixelAspect(aspect, 2);
            host.setQuality(quality);
            GuardedWorld& out = pass == 0 ? fast : slow;
            out.fill(PF_Pixel{0, 0, 0, 0});
            ASSERT_EQ(host.render(in.def(), out.def()), PF_Err_NONE);
            ASSERT_TRUE(out.intact());
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(fast.at(x, y), slow.at(x, y))
                    << "seed " << seed << " round " << round << " (" << w << " x " << h << ", " << across
                    << " across, scales " << x_scale << "/" << y_scale << ", brick " << brick << " rows " << rows
                    << ") first differs at " << x << "," << y;
    }
}

}  // namespace

namespace {

// A render into its own input takes the path that reads the input after the
// background is laid, in both modules.
TEST(FastPaths, RenderingInPlaceMatchesTheStraightforwardPaths) {
    // every background, and tiny cells (the walk that averages a few cells
    // before drawing them may not do so in place)
    for (int background = 1; background <= 4; ++background)
        for (double across : {12.0, 255.0}) {
            const int w = across > 100 ? 600 : 211, h = across > 100 ? 400 : 133;
            GuardedWorld fast(w, h, 3), slow(w, h, 3);
            cwtest::seededInput(fast, 5, true);
            cwtest::seededInput(slow, 5, true);
            for (int pass = 0; pass < 2; ++pass) {
                std::unique_ptr<cwtest::IsaLevel> level;
                if (pass == 1) level = std::make_unique<cwtest::IsaLevel>("reference");
                refhost::Host host(cwtest::plugin().entry());
                ASSERT_EQ(host.start(), PF_Err_NONE);
                // (green: the horizontal influence, so squares grow wide over the colour)
                cwtest::setColor(host, "background color", 200, 230, 90);
                cwtest::setPopup(host, "background fill", background);
                cwtest::setFloat(host, "squares across", across);
                if (across > 100) {  // more cells than a sweep takes, squares over their neighbours
                    cwtest::setFloat(host, "y scale", 50);
                    cwtest::setFloat(host, "horizontal max", 3);
                    cwtest::setFloat(host, "vertical max", 3);
                }
                GuardedWorld& world = pass == 0 ? fast : slow;
                ASSERT_EQ(host.render(world.def(), world.def()), PF_Err_NONE);
            }
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(fast.at(x, y), slow.at(x, y))
                        << "background " << background << ", " << across << " across, at " << x << "," << y;
        }
}

}  // namespace

