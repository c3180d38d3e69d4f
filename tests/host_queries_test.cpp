// Layer geometry and host queries through the reference host.
#include <cstring>

#include "graphics/kavri_ae_graphics_utils.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

namespace {

TEST(HostQueries, ScaleFactorsFollowDownsamplingAndPixelAspect) {
    refhost::Host host(nullptr);
    PF_InData& in = host.inData();
    EXPECT_EQ(getDownsample(&in), 1.0);
    EXPECT_EQ(getDownsampleX(&in), 1.0);
    EXPECT_EQ(getDownsampleY(&in), 1.0);
    EXPECT_EQ(getPixelAspectRatio(&in), 1.0);
    host.setDownsample(1, 2, 1, 4);
    EXPECT_EQ(getDownsample(&host.inData()), 0.375);
    EXPECT_EQ(getDownsampleX(&host.inData()), 0.5);
    EXPECT_EQ(getDownsampleY(&host.inData()), 0.25);
    host.setDownsample(1, 1, 1, 1);
    host.setPixelAspect(10, 11);
    EXPECT_EQ(getPixelAspectRatio(&host.inData()), 10.0 / 11.0);
    EXPECT_EQ(getDownsampleX(&host.inData()), 1.1);
}

TEST(HostQueries, ParamAtTimeChecksOutAtTheScaledTime) {
    auto host = cwtest::startedHost();
    host->setTime(0, 1, 30);
    PF_ParamDef def;
    get_param_at_time(&host->inData(), 1, 2.5, &def);
    EXPECT_EQ(refhost::testing::counters(*host).last_checkout_time, 75);
    EXPECT_EQ(refhost::testing::counters(*host).last_checkout_scale, 30u);
    EXPECT_EQ(def.u.fs_d.value, 12.0) << "a snapshot of squares across";
    EXPECT_EQ(refhost::testing::outstandingCheckouts(*host), 0);
    host->setTime(0, 1, 25);
    get_param_at_time(&host->inData(), 1, 0.99, &def);
    EXPECT_EQ(refhost::testing::counters(*host).last_checkout_time, 24);
}

TEST(HostQueries, AFailedCheckoutGivesAZeroCopyAndNoCheckin) {
    auto host = cwtest::startedHost();
    refhost::testing::failures(*host).fail_checkout = true;
    PF_ParamDef def;
    std::memset(&def, 0x5A, sizeof(def));
    get_param_at_time(&host->inData(), 1, 1.0, &def);
    PF_ParamDef zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(std::memcmp(&def, &zero, sizeof(def)), 0);
    EXPECT_EQ(refhost::testing::counters(*host).checkins, 0);
    PF_LRect r = {7, 7, 7, 7};
    EXPECT_EQ(r_get_param_layer_rect(&host->inData(), 0, &r), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(r.right, 7) << "not touched";
}

TEST(HostQueries, LayerRectIsTheLayersSizeOrTheInputsWhenThereIsNoLayer) {
    auto host = cwtest::startedHost();
    refhost::World layer = cwtest::solidWorld(640, 480, PF_Pixel{0, 0, 0, 0});
    refhost::World input = cwtest::solidWorld(33, 17, PF_Pixel{0, 0, 0, 0});
    host->setInput(&input.def());
    host->setCheckoutLayer(5, &layer.def());
    PF_LRect r{};
    EXPECT_EQ(r_get_param_layer_rect(&host->inData(), 5, &r), 0);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.right, 640);
    EXPECT_EQ(r.bottom, 480);
    EXPECT_EQ(refhost::testing::counters(*host).last_checkout_scale, 30u);
    host->setCheckoutLayer(5, nullptr);
    EXPECT_EQ(r_get_param_layer_rect(&host->inData(), 5, &r), 0);
    EXPECT_EQ(r.right, 33);
    EXPECT_EQ(r.bottom, 17);
    EXPECT_EQ(refhost::testing::outstandingCheckouts(*host), 0);
}

TEST(HostQueries, LayerInPointComesFromTheCompTimeConversion) {
    refhost::Host host(nullptr);
    PF_OutData out{};
    host.setLayerStart(A_Time{90, 30});
    EXPECT_EQ(getLayerInPoint(&host.inData(), &out), 3.0);
    host.setLayerStart(A_Time{-15, 30});
    EXPECT_EQ(getLayerInPoint(&host.inData(), &out), -0.5);
    EXPECT_EQ(refhost::testing::outstandingSuites(host), 0);
    refhost::testing::failures(host).fail_comp_time = true;
    EXPECT_EQ(getLayerInPoint(&host.inData(), &out), 0.0);
    EXPECT_EQ(refhost::testing::outstandingSuites(host), 0) << "released after a failed conversion";
    refhost::testing::failures(host).withheld_suites.insert(kAEGPPFInterfaceSuite);
    EXPECT_EQ(getLayerInPoint(&host.inData(), &out), 0.0);
    EXPECT_STREQ(out.return_msg, "could not acquire kAEGPPFInterfaceSuite");
}

TEST(HostQueries, SamplingBlockIsZeroButForItsSource) {
    PF_SampPB block;
    std::memset(&block, 0xFF, sizeof(block));
    PF_LayerDef world{};
    setUpPFSampPB(&block, &world);
    EXPECT_EQ(block.src, &world);
    EXPECT_EQ(block.x_radius, 0);
    EXPECT_EQ(block.mask0, nullptr);
    EXPECT_EQ(block.fcm_table, nullptr);
}

// ---- quads ----

class QuadToRect : public ::testing::Test {
protected:
    void SetUp() override {
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 16; ++x) source.at(x, y) = PF_Pixel{255, static_cast<A_u_char>(x * 16), static_cast<A_u_char>(y * 20), 7};
    }
    void quad(double x0, double y0, double x1, double y1, double x2, double y2, double x3, double y3) {
        q[0].x = x0, q[0].y = y0, q[1].x = x1, q[1].y = y1, q[2].x = x2, q[2].y = y2, q[3].x = x3, q[3].y = y3;
    }
    refhost::Host host{nullptr};
    cwtest::GuardedWorld source{16, 12}, dest{16, 12};
    PF_PathVertex q[4] = {};
};

TEST_F(QuadToRect, IdentityQuadCopiesExactly) {
    quad(0, 0, 16, 0, 16, 12, 0, 12);
    drawQuadToRect(&host.inData(), &source.def(), &dest.def(), q, 0, 0, 16, 12);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(dest.at(x, y), source.at(x, y)) << x << "," << y;
    EXPECT_EQ(refhost::testing::counters(host).samples, 16 * 12);
    EXPECT_NEAR(q[0].y, 12, 1e-9) << "corner 0 has moved down the left edge to corner 3";
    EXPECT_NEAR(q[1].x, 16, 1e-9);
    EXPECT_NEAR(q[1].y, 12, 1e-9);
    EXPECT_EQ(q[2].x, 16) << "corners 2 and 3 are unchanged";
    EXPECT_EQ(q[3].y, 12);
}

TEST_F(QuadToRect, EmptyRowsDrawNothingButEmptyColumnsStillAdvance) {
    quad(0, 0, 16, 0, 16, 12, 0, 12);
    drawQuadToRect(&host.inData(), &source.def(), &dest.def(), q, 0, 5, 16, 5);
    EXPECT_EQ(q[0].y, 0);
    EXPECT_EQ(refhost::testing::counters(host).samples, 0);
    drawQuadToRect(&host.inData(), &source.def(), &dest.def(), q, 4, 0, 4, 6);
    EXPECT_EQ(refhost::testing::counters(host).samples, 0);
    EXPECT_NEAR(q[0].y, 12, 1e-9);
}

TEST_F(QuadToRect, ClipsAtTheDestinationAndClampsAtTheSource) {
    quad(-4, -3, 12, -3, 12, 9, -4, 9);
    drawQuadToRect(&host.inData(), &source.def(), &dest.def(), q, -4, -3, 12, 9);
    EXPECT_TRUE(dest.intact());
    // destination (0, 0) samples source (0, 0); the rows and columns of the
    // rectangle outside the destination were skipped but still stepped over
    EXPECT_EQ(dest.at(0, 0), source.at(0, 0));
    EXPECT_EQ(dest.at(11, 8), source.at(11, 8));
    cwtest::GuardedWorld d2(16, 12);
    quad(-5, -5, 11, -5, 11, 7, -5, 7);
    drawQuadToRect(&host.inData(), &source.def(), &d2.def(), q, 0, 0, 16, 12);
    EXPECT_EQ(d2.at(0, 0), source.at(0, 0)) << "positions left of and above the source clamp to its edge";
    EXPECT_EQ(d2.at(3, 3), source.at(0, 0));
    EXPECT_EQ(d2.at(5, 7), source.at(0, 2));
    EXPECT_EQ(d2.at(15, 11), source.at(10, 6));
    EXPECT_TRUE(d2.intact());
}

}  // namespace
