// Layer fills, copies and blends.
#include "graphics/kavri_ae_graphics_utils.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

TEST(TintedCopy, DifferentSizesWriteNothing) {
    GuardedWorld src(100, 50), dst(100, 51);
    dst.fill(PF_Pixel{1, 2, 3, 4});
    PF_Pixel tint = {255, 255, 255, 255};
    EXPECT_EQ(r_tintedCopyLayer(&src.def(), &dst.def(), &tint), -1);
    EXPECT_EQ(dst.at(7, 7), (PF_Pixel{1, 2, 3, 4}));
    GuardedWorld narrow(99, 51);
    EXPECT_EQ(r_tintedCopyLayer(&narrow.def(), &dst.def(), &tint), -1);
}

TEST(TintedCopy, ScalesEveryChannelByTheTint) {
    GuardedWorld src(5, 3, 7), dst(5, 3, 1);
    src.fill(PF_Pixel{255, 255, 128, 200});
    PF_Pixel tint = {255, 128, 128, 0};
    EXPECT_EQ(r_tintedCopyLayer(&src.def(), &dst.def(), &tint), 0);
    EXPECT_EQ(dst.at(4, 2), (PF_Pixel{255, 128, 64, 0}));
    EXPECT_TRUE(dst.intact());
    PF_Pixel white = {255, 255, 255, 255};
    src.at(1, 1) = PF_Pixel{17, 33, 99, 250};
    EXPECT_EQ(r_tintedCopyLayer(&src.def(), &dst.def(), &white), 0);
    EXPECT_EQ(dst.at(1, 1), (PF_Pixel{17, 33, 99, 250})) << "a white tint copies exactly";
}

TEST(FillPreservingAlpha, TakesTheSourcesAlpha) {
    GuardedWorld src(6, 4), dst(6, 4, 2);
    src.fill(PF_Pixel{255, 9, 9, 9});
    src.at(2, 1).alpha = 0;
    src.at(3, 1).alpha = 77;
    PF_Pixel colour = {255, 10, 20, 30};
    PF_LRect all = {-5, -5, 6 + 5, 4 + 5};
    fill_preserving_alpha(&colour, &all, &src.def(), &dst.def());
    EXPECT_EQ(dst.at(0, 0), (PF_Pixel{255, 10, 20, 30}));
    EXPECT_EQ(dst.at(2, 1), (PF_Pixel{0, 10, 20, 30}));
    EXPECT_EQ(dst.at(3, 1), (PF_Pixel{77, 10, 20, 30}));
    EXPECT_TRUE(dst.intact());
    colour.alpha = 128;
    fill_preserving_alpha(&colour, &all, &src.def(), &dst.def());
    EXPECT_EQ(dst.at(5, 3).alpha, 128);
}

TEST(FillPreservingAlpha, OnlyTheRectangleChangesAndSourceMayBeTheDestination) {
    GuardedWorld w(30, 5);
    w.fill(PF_Pixel{200, 1, 1, 1});
    PF_Pixel colour = {255, 50, 60, 70};
    PF_LRect band = {10, 0, 20, 5};
    fill_preserving_alpha(&colour, &band, &w.def(), &w.def());
    EXPECT_EQ(w.at(9, 2), (PF_Pixel{200, 1, 1, 1}));
    EXPECT_EQ(w.at(10, 2), (PF_Pixel{200, 50, 60, 70}));
    EXPECT_EQ(w.at(19, 4), (PF_Pixel{200, 50, 60, 70}));
    EXPECT_EQ(w.at(20, 4), (PF_Pixel{200, 1, 1, 1}));
    EXPECT_TRUE(w.intact());
}

TEST(FillPreservingAlpha, ASmallerSourceIsNeverReadOutside) {
    GuardedWorld src(3, 2), dst(6, 4);
    src.fill(PF_Pixel{255, 0, 0, 0});
    PF_Pixel colour = {255, 1, 2, 3};
    PF_LRect all = {0, 0, 6, 4};
    fill_preserving_alpha(&colour, &all, &src.def(), &dst.def());
    EXPECT_EQ(dst.at(2, 1).alpha, 255);
    EXPECT_EQ(dst.at(3, 1).alpha, 0);
    EXPECT_EQ(dst.at(0, 2).alpha, 0);
    EXPECT_TRUE(dst.intact());
}

TEST(ClipRect, ClampsEachEdgeIntoTheWorld) {
    GuardedWorld w(100, 50);
    PF_LRect r = {-3, -4, 500, 600};
    r_clip_rect_to_world(&r, &w.def());
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.right, 100);
    EXPECT_EQ(r.bottom, 50);
    PF_LRect beyond = {200, 0, 300, 10};
    r_clip_rect_to_world(&beyond, &w.def());
    EXPECT_EQ(beyond.left, 200);
    EXPECT_EQ(beyond.right, 100) << "comes out empty";
}

TEST(FillRect, CallsTheHostOnlyForWhatIsLeftAfterClipping) {
    refhost::Host host(nullptr);
    GuardedWorld w(40, 30);
    PF_Pixel c = {255, 9, 8, 7};
    PF_LRect empty_inside = {10, 10, 10, 20};
    r_fill_rect(&host.inData(), &c, &empty_inside, &w.def());
    EXPECT_EQ(refhost::testing::counters(host).fills, 1) << "an empty rectangle inside is passed on";
    PF_LRect empty_outside = {-1, 10, -1, 20};
    r_fill_rect(&host.inData(), &c, &empty_outside, &w.def());
    EXPECT_EQ(refhost::testing::counters(host).fills, 1);
    PF_LRect to_edge = {30, 0, 40, 30};
    r_fill_rect(&host.inData(), &c, &to_edge, &w.def());
    EXPECT_EQ(refhost::testing::counters(host).fills, 2);
    EXPECT_EQ(to_edge.right, 40) << "the caller's rectangle is not changed";
    EXPECT_EQ(w.at(39, 29), c);
    EXPECT_EQ(w.at(29, 29), (PF_Pixel{255, 0, 0, 0}));
    PF_LRect huge = {-100, -100, 1000, 1000};
    r_fill_rect(&host.inData(), &c, &huge, &w.def());
    r_fill_rect(&host.inData(), &c, nullptr, &w.def());
    EXPECT_EQ(w.at(0, 0), c);
    EXPECT_TRUE(w.intact());
}

// The host's fill stores whole vectors and finishes a row with one that overlaps
// the last; every width around the vector's, at every offset, must change exactly
// its rectangle.
TEST(FillRect, EveryWidthAndOffsetFillsExactlyItsRectangle) {
    refhost::Host host(nullptr);
    const PF_Pixel c = {200, 1, 2, 3}, ground = {0, 50, 60, 70};
    for (int32_t width = 0; width <= 40; ++width)
        for (int32_t left = 0; left < 9; ++left) {
            GuardedWorld w(52, 4, 1 + width % 3);
            w.fill(ground);
            PF_LRect r = {left, 1, left + width, 3};
            r_fill_rect(&host.inData(), const_cast<PF_Pixel*>(&c), &r, &w.def());
            for (int32_t y = 0; y < 4; ++y)
                for (int32_t x = 0; x < 52; ++x) {
                    const bool inside = y >= 1 && y < 3 && x >= left && x < left + width;
                    ASSERT_EQ(w.at(x, y), inside ? c : ground) << "width " << width << " left " << left << " at " << x
                                                               << "," << y;
                }
            ASSERT_TRUE(w.intact());
        }
}

TEST(CompositeRect, NegativeOffsetsDropTheColumnsThatWouldLandOutside) {
    refhost::Host host(nullptr);
    GuardedWorld src(30, 4), dst(25, 4);
    for (int x = 0; x < 30; ++x)
        for (int y = 0; y < 4; ++y) src.at(x, y) = PF_Pixel{255, static_cast<A_u_char>(x), 0, 0};
    PF_LRect r = {0, 0, 30, 4};
    EXPECT_EQ(r_composite_rect(&host.inData(), &r, 255, &src.def(), -10, 0, PF_Field_FRAME, PF_Xfer_COPY, &dst.def()),
              PF_Err_NONE);
    EXPECT_EQ(dst.at(0, 0).red, 10);
    EXPECT_EQ(dst.at(19, 3).red, 29);
    EXPECT_EQ(dst.at(20, 3).red, 0) << "nothing past the source's last column";
    EXPECT_TRUE(dst.intact());
    EXPECT_EQ(refhost::testing::counters(host).composites, 1);
}

TEST(CompositeRect, ClipsTheSourceAndSkipsTheHostWhenNothingIsLeft) {
    refhost::Host host(nullptr);
    GuardedWorld src(10, 10), dst(10, 10);
    src.fill(PF_Pixel{255, 100, 0, 0});
    PF_LRect outside = {-20, 0, -5, 10};
    EXPECT_EQ(r_composite_rect(&host.inData(), &outside, 255, &src.def(), 0, 0, 0, PF_Xfer_COPY, &dst.def()), 0);
    EXPECT_EQ(refhost::testing::counters(host).composites, 0);
    PF_LRect overhang = {-3, -3, 20, 20};
    EXPECT_EQ(r_composite_rect(&host.inData(), &overhang, 255, &src.def(), 0, 0, 0, PF_Xfer_IN_FRONT, &dst.def()), 0);
    EXPECT_EQ(dst.at(2, 2).red, 0) << "the source's first column lands where it would have";
    EXPECT_EQ(dst.at(3, 3).red, 100);
    EXPECT_EQ(dst.at(9, 9).red, 100);
    EXPECT_TRUE(src.intact());
    EXPECT_TRUE(dst.intact());
}

TEST(BlendPixel, CoverageBlendMixesAlphaLinearly) {
    PF_Pixel white = {255, 255, 255, 255};
    PF_Pixel p = {255, 0, 0, 0};
    r_blend_pixel_both(&white, &p, 0.5f);
    EXPECT_EQ(p, (PF_Pixel{255, 127, 127, 127}));
    PF_Pixel clear = {0, 0, 0, 0}, q = {0, 9, 9, 9};
    r_blend_pixel_both(&clear, &q, 0.7f);
    EXPECT_EQ(q, (PF_Pixel{0, 9, 9, 9})) << "both alphas 0: unchanged";
    PF_Pixel src = {90, 10, 20, 30}, d = {255, 200, 200, 200};
    r_blend_pixel_both(&src, &d, 1.0f);
    EXPECT_EQ(d, src);
    PF_Pixel transparent_dst = {0, 50, 60, 70};
    r_blend_pixel_both(&white, &transparent_dst, 0.25f);
    EXPECT_EQ(transparent_dst, (PF_Pixel{63, 255, 255, 255}));
}

TEST(BlendPixel, AdditiveBlendClampsInsteadOfWrapping) {
    PF_Pixel s = {100, 200, 10, 0}, d = {100, 200, 20, 255};
    r_blend_pixel_one(&s, &d, 0.5f);
    EXPECT_EQ(d, (PF_Pixel{150, 255, 20, 127}));
}

TEST(AverageRect, MeanOfRedGreenBlue) {
    GuardedWorld w(8, 8);
    w.fill(PF_Pixel{255, 255, 255, 255});
    PF_LRect all = {0, 0, 8, 8};
    EXPECT_EQ(r_average_rect(&w.def(), &all), 255);
    w.at(3, 3) = PF_Pixel{0, 1, 1, 2};
    PF_LRect one = {3, 3, 4, 4};
    EXPECT_EQ(r_average_rect(&w.def(), &one), 1);
    PF_LRect outside = {20, 20, 30, 30};
    EXPECT_EQ(r_average_rect(&w.def(), &outside), 0);
    EXPECT_EQ(r_average_rect(nullptr, &all), 0);
}

TEST(TintedCopy, EveryTintOfEveryByteIsTheFormulasTruncation) {
    // the integer form against the formula, for all 65,536 pairs
    for (uint32_t t = 0; t < 256; ++t)
        for (uint32_t p = 0; p < 256; ++p)
            ASSERT_EQ(tintChannel(t, p), static_cast<uint8_t>(static_cast<int>((t * p) / 255.0))) << t << " x " << p;
    // and through the row copy, eight pixels a step and the rest one by one:
    // every byte in every channel, with every tint in turn
    GuardedWorld w(261, 1);
    for (int32_t x = 0; x < 261; ++x) {
        const A_u_char p = static_cast<A_u_char>(x);
        w.at(x, 0) = PF_Pixel{p, static_cast<A_u_char>(255 - p), static_cast<A_u_char>(p ^ 0x5A), p};
    }
    GuardedWorld out(261, 1);
    for (int t = 0; t < 256; ++t) {
        const PF_Pixel tint = {static_cast<A_u_char>(t), static_cast<A_u_char>(255 - t), static_cast<A_u_char>(t ^ 0xA5),
                               static_cast<A_u_char>((t * 7) & 255)};
        TintTable table;
        tintPrepare(&table, &tint);
        tintRow(&table, &w.def(), &out.def(), 0);
        for (int32_t x = 0; x < 261; ++x) {
            const PF_Pixel p = w.at(x, 0), o = out.at(x, 0);
            auto f = [](int a, int b) { return static_cast<A_u_char>(static_cast<int>((a * b) / 255.0)); };
            ASSERT_EQ(o, (PF_Pixel{f(tint.alpha, p.alpha), f(tint.red, p.red), f(tint.green, p.green), f(tint.blue, p.blue)}))
                << "tint " << t << " at " << x;
        }
    }
    EXPECT_TRUE(out.intact());
    // in place: source and destination one world
    const PF_Pixel half = {128, 128, 128, 128};
    TintTable table;
    tintPrepare(&table, &half);
    const PF_Pixel before = w.at(200, 0);
    tintRow(&table, &w.def(), &w.def(), 0);
    EXPECT_EQ(w.at(200, 0).red, tintChannel(128, before.red));
    EXPECT_TRUE(w.intact());
}

}  // namespace
