// Cell colour averaging.
#include <cstring>
#include <random>

#include "effect/kavri_squares.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

PF_PixelFloat average(GuardedWorld& w, PF_LRect r) {
    PF_PixelFloat a;
    r_average_rect_rgba(&w.def(), &r, &a);
    return a;
}

TEST(AverageRectRgba, EvenCountOfAUniformAreaIsHalfAbove) {
    GuardedWorld w(10, 10);
    w.fill(PF_Pixel{255, 255, 255, 255});
    PF_PixelFloat a = average(w, {0, 0, 4, 4});
    EXPECT_EQ(a.alpha, 255.5f);
    EXPECT_EQ(a.red, 255.5f);
    EXPECT_EQ(a.green, 255.5f);
    EXPECT_EQ(a.blue, 255.5f);
    w.fill(PF_Pixel{255, 40, 40, 40});
    a = average(w, {0, 0, 3, 3});  // odd: 40 + 4/9
    EXPECT_EQ(a.red, (360.0f + 4.0f) / 9.0f);
}

TEST(AverageRectRgba, EmptyCountGives128) {
    GuardedWorld w(10, 8);
    EXPECT_EQ(average(w, {10, 0, 20, 8}).red, 128.0f);
    EXPECT_EQ(average(w, {0, 8, 10, 12}).alpha, 128.0f);
}

TEST(AverageRectRgba, NegativeCountGivesHalfCountOverCount) {
    GuardedWorld w(10, 10);
    PF_LRect r = {12, 0, 20, 3};  // right clipped to 10: n = -2 * 3
    PF_PixelFloat a;
    r_average_rect_rgba(&w.def(), &r, &a);
    EXPECT_EQ(a.red, 0.5f);
    EXPECT_EQ(a.alpha, 0.5f);
    EXPECT_EQ(r.right, 10) << "the caller sees the clipped rectangle";
}

TEST(AverageRectRgba, AZeroRightEdgeAveragesTheFirstColumn) {
    GuardedWorld w(10, 10);
    w.fill(PF_Pixel{255, 0, 0, 0});
    for (int y = 4; y < 8; ++y) w.at(0, y) = PF_Pixel{255, 100, 0, 0};
    PF_LRect r = {-10, 4, 0, 8};
    PF_PixelFloat a;
    r_average_rect_rgba(&w.def(), &r, &a);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.right, 1);
    EXPECT_EQ(a.red, 100.5f);
}

TEST(AverageRectRgba, OverhangIsCutAtTheEdge) {
    GuardedWorld w(4, 4);
    w.fill(PF_Pixel{255, 10, 10, 10});
    w.at(3, 3) = PF_Pixel{255, 110, 10, 10};
    PF_LRect r = {2, 2, 9, 9};
    PF_PixelFloat a;
    r_average_rect_rgba(&w.def(), &r, &a);
    EXPECT_EQ(r.right, 4);
    EXPECT_EQ(a.red, (140.0f + 2.0f) / 4.0f);
}

TEST(AverageRectRgba, AWorldWithNoPixelsReadsNothing) {
    GuardedWorld w(0, 5);
    EXPECT_EQ(average(w, {0, 0, 3, 3}).red, 128.0f);
    GuardedWorld h(5, 0);
    EXPECT_EQ(average(h, {-4, -4, 0, 0}).blue, 128.0f);
}

TEST(AverageFrectRgba, TruncatesEachEdgeTowardZero) {
    GuardedWorld w(12, 12);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x) w.at(x, y) = PF_Pixel{255, static_cast<A_u_char>(x * 10 + y), 0, 0};
    FRect f = {2.9f, -0.5f, 10.2f, 5.99f};
    PF_PixelFloat a, b;
    r_average_frect_rgba(&w.def(), &f, &a);
    PF_LRect r = {0, 2, 5, 10};
    r_average_rect_rgba(&w.def(), &r, &b);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof(a)), 0);
    EXPECT_EQ(f.left, -0.5f) << "the float rectangle is not changed";
}

// The integer fast path against the pixel-by-pixel float sums, bit for bit,
// including areas whose sums pass 2^24 and areas of a few pixels or none.
TEST(AverageRectRgba, FastPathMatchesTheReferenceBitForBit) {
    const uint32_t seed = 20261208;
    std::mt19937 rng(seed);
    auto byte = [&] {
        const uint32_t r = rng() % 8;
        return static_cast<A_u_char>(r == 0 ? 0 : (r < 4 ? 255 : rng() % 256));
    };
    for (int round = 0; round < 60; ++round) {
        const int w = 1 + rng() % 400, h = 1 + rng() % 400;
        GuardedWorld world(w, h, static_cast<int32_t>(rng() % 9));
        const bool flat = round % 3 == 0;
        const PF_Pixel flat_pixel = {byte(), byte(), byte(), byte()};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) world.at(x, y) = flat ? flat_pixel : PF_Pixel{byte(), byte(), byte(), byte()};
        for (int k = 0; k < 20; ++k) {
            const int l = static_cast<int>(rng() % (w + 20)) - 10, t = static_cast<int>(rng() % (h + 20)) - 10;
            PF_LRect r = {l, t, l + static_cast<int>(rng() % (w + 10)), t + static_cast<int>(rng() % (h + 10))};
            if (k == 0) r = {0, 0, w, h};
            // a few pixels, none, or a rectangle turned inside out (tiny cells)
            if (k >= 12) r = {l, t, l + static_cast<int>(rng() % 5) - 1, t + static_cast<int>(rng() % 5) - 1};
            PF_LRect r2 = r;
            PF_PixelFloat fast, ref;
            r_average_rect_rgba(&world.def(), &r, &fast);
            r_average_rect_rgba_reference(&world.def(), &r2, &ref);
            ASSERT_EQ(std::memcmp(&fast, &ref, sizeof(fast)), 0)
                << "seed " << seed << " round " << round << " rect " << r.left << "," << r.top << "," << r.right << ","
                << r.bottom << " fast r=" << fast.red << " ref r=" << ref.red << " fast a=" << fast.alpha
                << " ref a=" << ref.alpha;
        }
        ASSERT_TRUE(world.intact());
    }
}

// A row longer than the integer sums' 32-bit lanes may hold at once: the alpha
// row of 255 must come out exactly 255 n (its closed form depends on that), the
// red ones exactly n, the noisy blue in float as the reference adds it.
TEST(AverageRectRgba, ALongRowKeepsItsIntegerSumsExact) {
    const int w = 2100003;
    GuardedWorld world(w, 2, 5);
    std::mt19937 rng(31);
    for (int x = 0; x < w; ++x) {
        world.at(x, 0) = PF_Pixel{255, 1, 0, static_cast<A_u_char>(rng() % 256)};
        world.at(x, 1) = PF_Pixel{255, 0, 0, 0};
    }
    for (PF_LRect r : {PF_LRect{0, 0, w, 1}, PF_LRect{3, 0, w - 2, 2}}) {
        PF_LRect r2 = r;
        PF_PixelFloat fast, ref;
        r_average_rect_rgba(&world.def(), &r, &fast);
        r_average_rect_rgba_reference(&world.def(), &r2, &ref);
        EXPECT_EQ(std::memcmp(&fast, &ref, sizeof(fast)), 0)
            << "alpha " << fast.alpha << " vs " << ref.alpha << ", red " << fast.red << " vs " << ref.red << ", blue "
            << fast.blue << " vs " << ref.blue;
    }
    EXPECT_TRUE(world.intact());
}

}  // namespace
