// Rectangles with fractional edges.
#include <cmath>
#include <random>
#include <vector>

#include "graphics/kavri_ae_graphics_utils.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

const PF_Pixel kBlack = {255, 0, 0, 0};
const PF_Pixel kWhite = {255, 255, 255, 255};

class FillFrect : public ::testing::Test {
protected:
    void draw(FRect r, PF_Pixel colour = kWhite) { r_fill_frect(&host.inData(), &colour, &r, &world.def()); }
    int red(int x, int y) { return world.at(x, y).red; }
    refhost::Host host{nullptr};
    GuardedWorld world{16, 12};
};

TEST_F(FillFrect, IntegerEdgesFillOnlyThroughTheHost) {
    draw({2, 3, 5, 7});
    EXPECT_EQ(refhost::testing::counters(host).fills, 1);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) EXPECT_EQ(world.at(x, y), (x >= 3 && x < 7 && y >= 2 && y < 5) ? kWhite : kBlack);
}

TEST_F(FillFrect, NoWholeColumnDrawsNothing) {
    draw({0, 3.2f, 12, 3.7f});
    EXPECT_EQ(refhost::testing::counters(host).fills, 0);
    EXPECT_EQ(red(3, 5), 0);
}

TEST_F(FillFrect, ASliverAcrossOnePixelBoundaryBlendsBothColumns) {
    draw({0, 3.2f, 12, 4.1f});
    EXPECT_EQ(red(3, 5), 203) << "coverage 4 - 3.2 in single precision";
    EXPECT_EQ(red(4, 5), 25);
    EXPECT_EQ(red(2, 5), 0);
    EXPECT_EQ(red(5, 5), 0);
    EXPECT_EQ(world.at(3, 5).alpha, 255);
}

TEST_F(FillFrect, SliversUnderTwoHundredthsAreNotDrawn) {
    draw({0, 2, 12, 10.01f});
    EXPECT_EQ(red(9, 3), 255);
    EXPECT_EQ(red(10, 3), 0);
}

TEST_F(FillFrect, InvertedOrEmptyRectanglesChangeNothing) {
    draw({5, 5, 5, 9});
    draw({5, 9, 8, 5});
    draw({8, 2, 4, 9});
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) EXPECT_EQ(world.at(x, y), kBlack);
}

TEST_F(FillFrect, FractionalRectangleBlendsItsBorder) {
    draw({1.5f, 2.25f, 4.5f, 5.75f});
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 16; ++x) {
            int expected = 0;
            const bool mid_x = x == 3 || x == 4, side_x = x == 2 || x == 5;
            const bool mid_y = y == 2 || y == 3, side_y = y == 1 || y == 4;
            if (mid_x && mid_y) expected = 255;
            if (mid_x && side_y) expected = 127;
            if (side_x && side_y) expected = 95;
            if (side_x && mid_y) expected = 191;
            EXPECT_EQ(red(x, y), expected) << x << "," << y;
            EXPECT_EQ(world.at(x, y).alpha, 255);
        }
    }
}

TEST_F(FillFrect, ReachingPastTheWorldIsClampedWithNoBorderThere) {
    draw({-3.5f, -2.7f, 20.3f, 30.9f});
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) EXPECT_EQ(world.at(x, y), kWhite);
    EXPECT_TRUE(world.intact());
    draw({10.5f, 14.5f, 40, 40}, kBlack);
    EXPECT_EQ(red(14, 11), 127);
    EXPECT_EQ(red(15, 11), 0);
    EXPECT_TRUE(world.intact());
}

TEST_F(FillFrect, CornerCoverageIsTheProductEvenBelowTheThreshold) {
    draw({2.9f, 2.9f, 6, 6});
    EXPECT_EQ(red(2, 2), truncToInt32(255 * ((3 - 2.9f) * (3 - 2.9f))));
    EXPECT_GT(red(2, 3), 0);
}

TEST_F(FillFrect, OpaqueColourOverTransparentTakesTheColourExactly) {
    world.fill(PF_Pixel{0, 0, 0, 0});
    draw({0, 1.5f, 3, 4});
    EXPECT_EQ(world.at(1, 1), (PF_Pixel{127, 255, 255, 255}));
    EXPECT_EQ(world.at(2, 1), kWhite);
    PF_Pixel clear = {0, 0, 0, 0};
    world.fill(clear);
    draw({0, 1.5f, 3, 4}, PF_Pixel{0, 40, 40, 40});
    EXPECT_EQ(world.at(1, 1), clear) << "alpha 0 under alpha 0 stays as it was";
}

TEST_F(FillFrect, KnockoutColourClearsTheInteriorAndThinsTheBorder) {
    world.fill(PF_Pixel{255, 100, 100, 100});
    draw({2, 1.5f, 5, 4}, PF_Pixel{0, 7, 8, 9});
    EXPECT_EQ(world.at(2, 3), (PF_Pixel{0, 7, 8, 9}));
    EXPECT_EQ(world.at(1, 3), (PF_Pixel{127, 100, 100, 100}));
}

TEST_F(FillFrect, LowQualityDrawsOnlyTheWholePixels) {
    host.setQuality(PF_Quality_LO);
    draw({1.5f, 2.25f, 4.5f, 5.75f});
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ(red(x, y), ((x == 3 || x == 4) && (y == 2 || y == 3)) ? 255 : 0) << x << "," << y;
}

TEST_F(FillFrect, SizesAndPlacesFromEveryDegenerateShape) {
    GuardedWorld tiny(1, 1);
    FRect r = {-0.5f, -0.5f, 0.5f, 0.5f};
    PF_Pixel c = kWhite;
    r_fill_frect(&host.inData(), &c, &r, &tiny.def());
    EXPECT_EQ(tiny.at(0, 0).red, 63) << "only the bottom-right corner, coverage 0.25";
    EXPECT_TRUE(tiny.intact());
    GuardedWorld none(0, 0);
    r_fill_frect(&host.inData(), &c, &r, &none.def());
    EXPECT_TRUE(none.intact());
    FRect far = {-1e30f, -1e30f, 1e30f, 1e30f};
    r_fill_frect(&host.inData(), &c, &far, &tiny.def());
    EXPECT_EQ(tiny.at(0, 0), kWhite);
}

// Drawing a sequence of overlapping rectangles band by band, each band in the
// same order, gives the pixels of drawing each rectangle whole, whether each band
// works the rectangle out again or draws from a plan made once; a band touches
// nothing outside its rows. Seeded; colours and alphas lean to 0 and 255.
TEST(FillFrectRows, BandByBandMatchesWholeRectangles) {
    const uint32_t seed = 4242;
    std::mt19937 rng(seed);
    auto edge = [&](int extent) { return static_cast<float>(static_cast<int>(rng() % (extent * 40 + 400)) - 200) / 32.0f; };
    auto byte = [&] { const uint32_t r = rng() % 4; return static_cast<A_u_char>(r == 0 ? 0 : r == 1 ? 255 : rng() % 256); };
    for (int round = 0; round < 40; ++round) {
        const int w = 1 + rng() % 60, h = 1 + rng() % 60;
        refhost::Host host{nullptr};
        host.setQuality(round % 5 == 0 ? PF_Quality_LO : PF_Quality_HI);
        GuardedWorld whole(w, h, 3), banded(w, h, 3), planned(w, h, 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                whole.at(x, y) = banded.at(x, y) = planned.at(x, y) = PF_Pixel{byte(), byte(), byte(), byte()};
        std::vector<std::pair<FRect, PF_Pixel>> rects;
        for (int i = 0; i < 12; ++i)
            rects.push_back({FRect{edge(h), edge(w), edge(h), edge(w)}, PF_Pixel{byte(), byte(), byte(), byte()}});
        for (auto& [r, c] : rects) r_fill_frect(&host.inData(), &c, &r, &whole.def());
        const int band = 1 + rng() % 7;
        for (int y0 = 0; y0 < h; y0 += band)
            for (auto& [r, c] : rects) r_fill_frect_rows(&host.inData(), &c, &r, &banded.def(), y0, y0 + band);
        std::vector<FRectPlan> plans(rects.size());
        for (size_t i = 0; i < rects.size(); ++i) r_plan_frect(&rects[i].first, &planned.def(), &plans[i]);
        for (int y0 = 0; y0 < h; y0 += band)
            for (size_t i = 0; i < rects.size(); ++i)
                r_fill_frect_plan_rows(&host.inData(), &rects[i].second, &plans[i], &planned.def(), y0, y0 + band);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                ASSERT_EQ(whole.at(x, y), banded.at(x, y)) << "seed " << seed << " round " << round << " band " << band
                                                            << " at " << x << "," << y;
                ASSERT_EQ(whole.at(x, y), planned.at(x, y)) << "planned, seed " << seed << " round " << round
                                                             << " band " << band << " at " << x << "," << y;
            }
        ASSERT_TRUE(banded.intact());
        ASSERT_TRUE(planned.intact());
    }
}

// A strip of rectangles on one band of rows gives, pixel for pixel, what
// drawing each with r_fill_frect in turn gives: tiles that meet (a mosaic's,
// whole-pixel right edges), with gaps, overlapping, out of order, reaching
// past the world, with fractional right or bottom edges (drawn one by one),
// at both qualities, over pixels of every alpha. Seeded.
TEST(FillFrectStrip, MatchesTheRectanglesOneAfterAnother) {
    const uint32_t seed = 5150;
    std::mt19937 rng(seed);
    auto byte = [&] { const uint32_t r = rng() % 4; return static_cast<A_u_char>(r == 0 ? 0 : r == 1 ? 255 : rng() % 256); };
    auto fraction = [&] { return static_cast<float>(rng() % 64) / 64.0f; };
    for (int round = 0; round < 300; ++round) {
        const int w = 1 + rng() % 90, h = 1 + rng() % 40;
        const int kind = round % 6;  // 0-2 tiles that meet, 3 gaps, 4 overlaps, 5 any
        refhost::Host host{nullptr};
        host.setQuality(round % 7 == 0 ? PF_Quality_LO : PF_Quality_HI);
        GuardedWorld one(w, h, 3), strip(w, h, 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) one.at(x, y) = strip.at(x, y) = PF_Pixel{byte(), byte(), byte(), byte()};
        const float cell = 1 + static_cast<float>(rng() % 200) / 16.0f;
        float top = static_cast<float>(static_cast<int>(rng() % (h + 8)) - 4) + fraction();
        float bottom = std::ceil(top + cell);
        if (round % 11 == 0) bottom = top + cell;  // fractional: one after another
        std::vector<float> lefts, rights;
        std::vector<PF_Pixel> colours;
        const int count = 1 + rng() % 400;  // past one group of the strip's
        float x = -3 * cell + fraction();
        for (int i = 0; i < count; ++i) {
            float right = x + cell;
            float left = x;
            if (kind == 3) left += fraction() * 3;
            if (kind == 4) left -= fraction() * 3;
            if (kind == 5) left = static_cast<float>(static_cast<int>(rng() % (w + 20)) - 10) + fraction();
            lefts.push_back(left);
            rights.push_back(round % 13 == 0 ? right : std::ceil(right));
            colours.push_back(PF_Pixel{byte(), byte(), byte(), byte()});
            x = right;
            if (x > w + 3 * cell) x = -3 * cell + fraction();  // and round again
        }
        for (int i = 0; i < count; ++i) {
            PF_Pixel c = colours[i];
            FRect r = {top, lefts[i], bottom, rights[i]};
            r_fill_frect(&host.inData(), &c, &r, &one.def());
        }
        r_fill_frect_strip(&host.inData(), colours.data(), lefts.data(), rights.data(), count, top, bottom,
                           &strip.def());
        for (int y = 0; y < h; ++y)
            for (int px = 0; px < w; ++px)
                ASSERT_EQ(one.at(px, y), strip.at(px, y))
                    << "seed " << seed << " round " << round << " (" << w << " x " << h << ", kind " << kind
                    << ", cell " << cell << ", rows " << top << " .. " << bottom << ") at " << px << "," << y;
        ASSERT_TRUE(strip.intact());
    }
}

TEST(FillFrectRows, TouchesOnlyItsRows) {
    refhost::Host host{nullptr};
    GuardedWorld world(10, 10);
    world.fill(kBlack);
    PF_Pixel white = kWhite;
    FRect r = {1.5f, 1.5f, 8.5f, 8.5f};
    r_fill_frect_rows(&host.inData(), &white, &r, &world.def(), 4, 6);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool changed = y >= 4 && y < 6 && x >= 1 && x < 9;
            EXPECT_EQ(world.at(x, y).red != 0, changed) << x << "," << y;
        }
    EXPECT_EQ(world.at(1, 4).red, 127) << "the left column at coverage 0.5";
}

TEST(DrawPip, ScalesWithDownsamplingAndPixelAspect) {
    refhost::Host host(nullptr);
    GuardedWorld world(20, 20);
    host.setDownsample(1, 2, 1, 2);
    drawPip(&host.inData(), &world.def(), 10, 10, 10, 255, 255, 255 + 256);
    // 5 x 5 centred on (10, 10): 7.5 .. 12.5
    EXPECT_EQ(world.at(8, 8), kWhite);
    EXPECT_EQ(world.at(11, 11), kWhite);
    EXPECT_EQ(world.at(7, 9).red, 127);
    EXPECT_EQ(world.at(12, 9).red, 127);
    EXPECT_EQ(world.at(6, 9).red, 0);
    world.fill(kBlack);
    host.setPixelAspect(2, 1);
    drawPip(&host.inData(), &world.def(), 10, 10, 10, 255, 255, 255);
    // 2.5 wide (8.75 .. 11.25), 5 high
    EXPECT_EQ(world.at(9, 8), kWhite);
    EXPECT_EQ(world.at(10, 8), kWhite);
    EXPECT_EQ(world.at(8, 8).red, 63);
    EXPECT_EQ(world.at(11, 8).red, 63);
    EXPECT_TRUE(world.intact());
}

}  // namespace
