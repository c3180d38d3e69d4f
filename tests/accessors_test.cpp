// Parameter accessors and the numeric helpers.
#include <cmath>
#include <limits>

#include "graphics/kavri_ae_graphics_utils.h"
#include "tests/test_support.h"

namespace {

struct Params {
    PF_ParamDef def{};
    PF_ParamDef* list[1] = {&def};
};

TEST(Accessors, AngleUnitPhaseWrapsIntoOneTurn) {
    Params p;
    auto phase = [&](PF_Fixed v) {
        p.def.u.ad.value = v;
        return getParamAngleUnitPhase(p.list, 0);
    };
    EXPECT_EQ(phase(0), 0.0);
    EXPECT_EQ(phase(360 * 65536), 0.0);
    EXPECT_EQ(phase(-360 * 65536), 0.0);
    EXPECT_EQ(phase(90 * 65536), 0.25);
    EXPECT_EQ(phase(-90 * 65536), 0.75);
    EXPECT_EQ(phase(450 * 65536), 0.25);
    const double just_below = phase(-1);
    EXPECT_LT(just_below, 1.0);
    EXPECT_GT(just_below, 0.999999);
}

TEST(Accessors, AngleInDegreesAndRadians) {
    Params p;
    p.def.u.ad.value = 180 * 65536;
    EXPECT_EQ(getParamAngle(p.list, 0), 180.0);
    EXPECT_EQ(getParamAngleRadians(p.list, 0), 180.0 / 57.29577951);
    EXPECT_GT(getParamAngleRadians(p.list, 0), M_PI) << "the ten-digit divisor, not 180 / pi";
}

TEST(Accessors, ColorPacksAlphaLowThenRedGreenBlue) {
    Params p;
    p.def.u.cd.value = PF_Pixel{255, 255, 128, 0};
    EXPECT_EQ(getParamColor(p.list, 0), 0x0080FFFFu);
    p.def.u.cd.value = PF_Pixel{1, 2, 3, 4};
    const uint32_t c = getParamColor(p.list, 0);
    EXPECT_EQ(colorAlpha(c), 1);
    EXPECT_EQ(colorRed(c), 2);
    EXPECT_EQ(colorGreen(c), 3);
    EXPECT_EQ(colorBlue(c), 4);
}

TEST(Accessors, PointGoesThroughSinglePrecision) {
    Params p;
    p.def.u.td.x_value = 6586368;  // 100.5 pixels
    p.def.u.td.y_value = 600 * 65536 + 1;
    EXPECT_EQ(getParamPointX(p.list, 0), 100.5);
    const double y = getParamPointY(p.list, 0);
    EXPECT_EQ(y, 600.0) << "a fixed value above 512 pixels is rounded to a multiple of 4";
    p.def.u.td.y_value = 700 * 65536 + 3;
    EXPECT_EQ(std::fmod(getParamPointY(p.list, 0) * 65536, 4.0), 0.0);
}

TEST(Accessors, IntAndFloatReadTheirFields) {
    Params p;
    p.def.u.pd.value = 3;
    EXPECT_EQ(getParamInt(p.list, 0), 3);
    p.def.u.bd.value = 1;
    EXPECT_EQ(getParamInt(p.list, 0), 1);
    p.def.u.fs_d.value = 0.1;
    EXPECT_EQ(getParamFloat(p.list, 0), 0.1);
    EXPECT_EQ(getParam(p.list, 0), &p.def);
}

TEST(Accessors, PopupAndCheckboxReadTheirOwnMembers) {
    Params p;
    p.def.u.pd.value = 4;
    EXPECT_EQ(getParamPopup(p.list, 0), 4);
    p.def = PF_ParamDef{};
    p.def.u.bd.value = 1;
    EXPECT_TRUE(getParamCheckbox(p.list, 0));
    p.def.u.bd.value = 0;
    EXPECT_FALSE(getParamCheckbox(p.list, 0));
    p.def.u.bd.value = -7;  // any non-zero value is on, as hosts treat it
    EXPECT_TRUE(getParamCheckbox(p.list, 0));
}

TEST(Accessors, FixedSliderAndLayerReadTheirOwnMembers) {
    Params p;
    p.def.u.fd.value = 81920;  // 1.25 in 16.16
    EXPECT_EQ(getParamFixed(p.list, 0), 1.25);
    p.def.u.fd.value = -32768;
    EXPECT_EQ(getParamFixed(p.list, 0), -0.5);
    p.def.u.ld.width = 7;
    EXPECT_EQ(getParamLayer(p.list, 0), &p.def.u.ld);
    EXPECT_EQ(getParamLayer(p.list, 0)->width, 7);
}

TEST(NumericHelpers, MapRangeIsLinearAndUnclamped) {
    EXPECT_EQ(mapRange(127.5f, 0, 255, 0, 1), 0.5f);
    EXPECT_NEAR(mapRange(300, 0, 255, 0, 1), 1.17647f, 1e-5);
    EXPECT_EQ(mapRangePin(300, 0, 255, 0, 1), 1.0f);
    EXPECT_EQ(mapRangePin(-5, 0, 255, 0, 1), 0.0f);
    EXPECT_EQ(mapRangePin(100, 0, 255, 1, 0), 1.0f) << "lower bound tested first";
    EXPECT_EQ(mapRange(255, 0, 255, 2, 1), 1.0f) << "min above max maps the other way";
    // product first, then the quotient: (1 * 0.3) / 3, not 1 * (0.3 / 3)
    EXPECT_EQ(mapRange(0.3f, 0, 3, 0, 1), (1.0f * 0.3f) / 3.0f);
}

TEST(NumericHelpers, PinTestsTheLowerBoundFirst) {
    EXPECT_EQ(pinRange(5, 10, 0), 10.0f);
    EXPECT_EQ(pinRange(-1, 0, 1), 0.0f);
    EXPECT_EQ(pinRange(2, 0, 1), 1.0f);
    EXPECT_EQ(pinRange(0.5f, 0, 1), 0.5f);
    EXPECT_TRUE(std::isnan(pinRange(std::numeric_limits<float>::quiet_NaN(), 0, 1)));
}

TEST(NumericHelpers, InterpolateAndExtrapolate) {
    EXPECT_EQ(zel_interpolate(2, 6, 0), 2.0);
    EXPECT_EQ(zel_interpolate(2, 6, 1), 6.0);
    EXPECT_EQ(zel_interpolate(2, 6, 0.25), 3.0);
    EXPECT_EQ(zel_interpolate(2, 6, 2), 10.0);
}

TEST(NumericHelpers, FloatPixelTruncatesAndClamps) {
    PF_PixelFloat in = {254.9f, 0.99f, 256.0f, -3.0f};
    PF_Pixel out{};
    pixelFloatTo8(&in, &out);
    EXPECT_EQ(out.alpha, 254);
    EXPECT_EQ(out.red, 0);
    EXPECT_EQ(out.green, 255) << "clamped, not wrapped to 0";
    EXPECT_EQ(out.blue, 0);
}

TEST(NumericHelpers, TruncationSaturatesOutsideThe32BitRange) {
    EXPECT_EQ(truncToInt32(2.9f), 2);
    EXPECT_EQ(truncToInt32(-2.9f), -2);
    EXPECT_EQ(truncToInt32(1e20f), INT32_MAX);
    EXPECT_EQ(truncToInt32(-1e20f), INT32_MIN);
    EXPECT_EQ(truncToInt32(std::numeric_limits<float>::quiet_NaN()), 0);
    // single precision gives what the double form gives, at the floats next to
    // the bounds and beyond them
    for (float v : {2147483520.0f, 2147483648.0f, -2147483520.0f, -2147483648.0f, -2147483904.0f,
                    std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(), -0.0f, 0.99999994f})
        EXPECT_EQ(truncToInt32(v), truncToInt32(static_cast<double>(v))) << v;
    EXPECT_EQ(truncToInt32(2147483520.0f), 2147483520);
    EXPECT_EQ(truncToInt32(-2147483648.0f), INT32_MIN);
    EXPECT_EQ(truncToByte(255.99f), 255);
    EXPECT_EQ(truncToByte(256.0f), 255);
    EXPECT_EQ(truncToByte(-1.0f), 0);
}

}  // namespace
