// Whole renders of the squares effect through the reference host and the built
// module, and the grid walk it draws.
#include <cmath>
#include <vector>

#include "effect/kavri_squares.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

const PF_Pixel kOpaqueBlack = {255, 0, 0, 0};
const PF_Pixel kOpaqueWhite = {255, 255, 255, 255};

class SquaresRender : public ::testing::Test {
protected:
    void SetUp() override { host = cwtest::startedHost(); }
    // Renders a uniform input of the given pixel into a guarded output.
    void render(GuardedWorld& out, PF_Pixel input_pixel, int32_t in_w = -1, int32_t in_h = -1) {
        GuardedWorld in(in_w < 0 ? out.width() : in_w, in_h < 0 ? out.height() : in_h, 5);
        in.fill(input_pixel);
        out.fill(PF_Pixel{0, 0, 0, 0});
        ASSERT_EQ(host->render(in.def(), out.def()), PF_Err_NONE);
        ASSERT_TRUE(out.intact()) << "a write outside the output world";
        ASSERT_TRUE(in.intact());
    }
    // Sum of red / 255 along a row or a column of the output, between two bounds.
    static double rowCoverage(GuardedWorld& w, int y, int x0, int x1) {
        double s = 0;
        for (int x = x0; x < x1; ++x) s += w.at(x, y).red / 255.0;
        return s;
    }
    static double columnCoverage(GuardedWorld& w, int x, int y0, int y1) {
        double s = 0;
        for (int y = y0; y < y1; ++y) s += w.at(x, y).red / 255.0;
        return s;
    }
    static double rowCentroid(GuardedWorld& w, int y, int x0, int x1) {
        double s = 0, m = 0;
        for (int x = x0; x < x1; ++x) {
            s += w.at(x, y).red;
            m += w.at(x, y).red * (x + 0.5);
        }
        return m / s;
    }
    static double columnCentroid(GuardedWorld& w, int x, int y0, int y1) {
        double s = 0, m = 0;
        for (int y = y0; y < y1; ++y) {
            s += w.at(x, y).red;
            m += w.at(x, y).red * (y + 0.5);
        }
        return m / s;
    }
    std::unique_ptr<refhost::Host> host;
};

TEST_F(SquaresRender, DefaultsDrawSquaresSizedByTheCellsColour) {
    GuardedWorld out(240, 240);
    render(out, PF_Pixel{255, 100, 150, 200});
    // Cells are 20 x 20 with a corner at (110, 110). Premultiplied averages of an
    // even count: (v + 0.5) * 255.5 / 255.
    const double blue = 200.5 * 255.5 / 255, red = 100.5 * 255.5 / 255, green = 150.5 * 255.5 / 255;
    const double width = 20 * blue / 255;
    const double height = 20 * ((127 * red + 128 * green) / 255) / 255;
    EXPECT_NEAR(rowCoverage(out, 120, 110, 130), width, 0.03);
    EXPECT_NEAR(columnCoverage(out, 120, 110, 130), height, 0.03);
    EXPECT_NEAR(rowCentroid(out, 120, 110, 130), 120.0, 0.01);
    EXPECT_NEAR(columnCentroid(out, 120, 110, 130), 120.0, 0.01);
    EXPECT_EQ(out.at(111, 111), kOpaqueBlack) << "the background is black with the input's alpha";
    EXPECT_EQ(out.at(120, 120), kOpaqueWhite);
    EXPECT_EQ(out.at(9, 9), kOpaqueBlack) << "a cell corner lies between squares";
}

TEST_F(SquaresRender, BackgroundColourTakesTheInputsAlpha) {
    cwtest::setColor(*host, "background color", 10, 20, 30);
    cwtest::setPopup(*host, "squares fill", kFillSourceOrNone);
    GuardedWorld out(30, 20);
    render(out, PF_Pixel{77, 1, 2, 3});
    EXPECT_EQ(out.at(29, 19), (PF_Pixel{77, 10, 20, 30}));
}

TEST_F(SquaresRender, TileMosaicCoversTheOutputWithoutGaps) {
    cwtest::setPopup(*host, "background fill", kFillTile);
    cwtest::setPopup(*host, "squares fill", kFillSourceOrNone);
    cwtest::setColor(*host, "background color", 255, 255, 255);
    GuardedWorld out(240, 180);
    render(out, PF_Pixel{255, 100, 150, 200});
    for (int y = 0; y < 180; ++y)
        for (int x = 0; x < 240; ++x) ASSERT_EQ(out.at(x, y), (PF_Pixel{255, 100, 150, 200})) << x << "," << y;
    // Fractional cell edges: tiles still meet, blended edges stay opaque.
    cwtest::setFloat(*host, "squares across", 7.3);
    GuardedWorld odd(251, 97);
    render(odd, PF_Pixel{255, 100, 150, 200});
    for (int y = 0; y < 97; ++y)
        for (int x = 0; x < 251; ++x) {
            ASSERT_GE(odd.at(x, y).alpha, 254) << x << "," << y;
            ASSERT_NEAR(odd.at(x, y).blue, 200, 1) << x << "," << y;
        }
}

TEST_F(SquaresRender, NearWhiteTilesAreClampedNotWrapped) {
    cwtest::setPopup(*host, "background fill", kFillTile);
    cwtest::setPopup(*host, "squares fill", kFillTile);
    cwtest::setColor(*host, "background color", 255, 255, 255);
    GuardedWorld out(48, 48);
    render(out, kOpaqueWhite);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x) ASSERT_EQ(out.at(x, y), kOpaqueWhite) << x << "," << y;
}

TEST_F(SquaresRender, KnockoutLeavesAlphaZero) {
    cwtest::setPopup(*host, "background fill", kFillKnockout);
    cwtest::setColor(*host, "background color", 9, 8, 7);
    GuardedWorld out(96, 64);
    render(out, PF_Pixel{255, 128, 128, 128});
    EXPECT_EQ(out.at(12, 12), (PF_Pixel{0, 9, 8, 7}));
    EXPECT_EQ(out.at(48, 32), kOpaqueWhite) << "colour squares stay opaque";
    cwtest::setPopup(*host, "squares fill", kFillKnockout);
    render(out, PF_Pixel{255, 128, 128, 128});
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x) ASSERT_EQ(out.at(x, y).alpha, 0) << x << "," << y;
    EXPECT_EQ(out.at(48, 32), (PF_Pixel{0, 255, 255, 255})) << "knockout squares keep their colour";
}

TEST_F(SquaresRender, TintedSourceBackground) {
    cwtest::setPopup(*host, "background fill", kFillSourceOrNone);
    cwtest::setPopup(*host, "squares fill", kFillSourceOrNone);
    cwtest::setColor(*host, "background color", 128, 255, 0);
    GuardedWorld out(20, 10);
    render(out, PF_Pixel{200, 255, 128, 90});
    EXPECT_EQ(out.at(3, 3), (PF_Pixel{200, 128, 128, 0}));
    render(out, PF_Pixel{200, 255, 128, 90}, 21, 10);
    EXPECT_EQ(out.at(3, 3), (PF_Pixel{0, 0, 0, 0})) << "a differently sized input leaves the output as it was";
}

TEST_F(SquaresRender, TiledSquaresAreTintedByTheCellsColour) {
    cwtest::setPopup(*host, "squares fill", kFillTile);
    cwtest::setColor(*host, "squares color", 255, 0, 128);
    GuardedWorld out(240, 240);
    render(out, PF_Pixel{255, 100, 150, 200});
    const float blue = 200.5f * 255.5f / 255.0f;
    EXPECT_EQ(out.at(120, 120), (PF_Pixel{255, static_cast<A_u_char>(100.5f * 255.5f / 255.0f), 0,
                                          static_cast<A_u_char>(128.0f * blue / 255.0f)}));
}

TEST_F(SquaresRender, WibbleMovesSquaresAlongItsAngle) {
    cwtest::setFloat(*host, "wibble max", 1);
    cwtest::setAngle(*host, "wibble angle", 90);
    GuardedWorld out(240, 240);
    const PF_Pixel grey = {255, 128, 128, 128};
    render(out, grey);
    const double wdot = 85.0 * 3 * (128.5 * 255.5 / 255) / 65025;
    EXPECT_NEAR(rowCentroid(out, 120, 116, 144), 120 + 20 * wdot, 0.05);
    cwtest::setAngle(*host, "wibble angle", 0);
    render(out, grey);
    EXPECT_NEAR(columnCentroid(out, 120, 96, 124), 120 - 20 * wdot, 0.05) << "angle 0 points up";
    cwtest::setFloat(*host, "wibble max", 0);
    render(out, grey);
    EXPECT_NEAR(rowCentroid(out, 120, 110, 130), 120.0, 0.01);
}

TEST_F(SquaresRender, LowQualityDrawsOnlyWholePixels) {
    host->setQuality(PF_Quality_LO);
    cwtest::setFloat(*host, "squares across", 9.7);
    GuardedWorld out(101, 67);
    render(out, PF_Pixel{255, 128, 60, 190});
    for (int y = 0; y < 67; ++y)
        for (int x = 0; x < 101; ++x)
            ASSERT_TRUE(out.at(x, y) == kOpaqueBlack || out.at(x, y) == kOpaqueWhite) << x << "," << y;
}

TEST_F(SquaresRender, DegenerateSizesAndAspectRatiosDrawOnlyTheBackground) {
    for (auto size : {std::pair<int, int>{0, 0}, {0, 7}, {7, 0}, {1, 1}}) {
        GuardedWorld out(size.first, size.second);
        render(out, kOpaqueWhite);
    }
    host->setPixelAspect(0, 1);
    GuardedWorld out(16, 16);
    render(out, kOpaqueWhite);
    EXPECT_EQ(out.at(8, 8), kOpaqueBlack) << "no cell height: background only";
    host->setPixelAspect(1, 0);
    render(out, kOpaqueWhite);
    EXPECT_EQ(out.at(8, 8), kOpaqueBlack);
}

TEST_F(SquaresRender, FarCentresAndTinyCellsStillFinish) {
    cwtest::setPopup(*host, "brick rows", kBrickVertical);
    cwtest::setAngle(*host, "brick offset", 123);
    cwtest::setPointPixels(*host, "center", 32767, -32768);
    cwtest::setFloat(*host, "squares across", 255);
    GuardedWorld one(1, 1);
    render(one, kOpaqueWhite);
    cwtest::setPointPixels(*host, "center", -32768, 32767.5);
    GuardedWorld out(64, 48);
    render(out, kOpaqueWhite);
    // about 750,000 cells of 0.064 pixels, each wrapped from a far centre
    cwtest::setFloat(*host, "squares across", 1);
    cwtest::setFloat(*host, "x scale", 0.1f);
    cwtest::setFloat(*host, "y scale", 0.1f);
    render(out, kOpaqueWhite);
    EXPECT_EQ(out.at(10, 10).alpha, 255);
}

TEST_F(SquaresRender, EveryParameterAtItsEndsStaysInsideTheOutput) {
    struct End {
        const char* name;
        double low, high;
    };
    const End ends[] = {{"squares across", 1, 255}, {"x scale", 0.1f, 1000}, {"y scale", 0.1f, 1000},
                        {"wibble max", 0, 10},      {"horizontal min", 0, 10}, {"horizontal max", 0, 10},
                        {"vertical min", 0, 10},    {"vertical max", 0, 10}};
    for (const End& e : ends) {
        for (double v : {e.low, e.high}) {
            auto h = cwtest::startedHost();
            cwtest::setFloat(*h, e.name, v);
            cwtest::setPopup(*h, "background fill", kFillTile);
            cwtest::setAngle(*h, "wibble angle", 45);
            for (auto size : {std::pair<int, int>{1, 1}, {7, 5}, {33, 2}}) {
                GuardedWorld in(size.first, size.second), out(size.first, size.second);
                in.fill(PF_Pixel{200, 250, 10, 128});
                ASSERT_EQ(h->render(in.def(), out.def()), PF_Err_NONE);
                ASSERT_TRUE(out.intact()) << e.name << "=" << v << " at " << size.first << "x" << size.second;
            }
        }
    }
}

// ---- the grid walk ----

class SquaresWalk : public ::testing::Test {
protected:
    void SetUp() override { host = cwtest::startedHost(); }
    std::vector<std::vector<SquaresCell>> rows(int32_t w, int32_t h) {
        GuardedWorld in(w, h), out(w, h);
        kavri_ae_filter_context* context = getInstanceContext(&host->inData(), host->paramArray(&in.def()));
        std::vector<std::vector<SquaresCell>> result;
        squaresWalk(context, &host->inData(), &out.def(),
                    [](void* user, const SquaresCell* cell) {
                        auto* r = static_cast<std::vector<std::vector<SquaresCell>>*>(user);
                        if (r->empty() || r->back().front().top != cell->top - 0 ||
                            cell->left < r->back().back().left)
                            r->emplace_back();
                        r->back().push_back(*cell);
                    },
                    &result);
        return result;
    }
    std::unique_ptr<refhost::Host> host;
};

TEST_F(SquaresWalk, WorkedGeometryFor640By480) {
    auto walk = rows(640, 480);
    const float cell = 640.0f / 12.0f;
    EXPECT_EQ(cell, 53.333332f);
    ASSERT_EQ(walk.size(), 15u);
    EXPECT_NEAR(walk.front().front().top, -213.33, 0.01);
    EXPECT_NEAR(walk.back().front().top, 533.33, 0.01);
    ASSERT_EQ(walk[0].size(), 20u);
    EXPECT_NEAR(walk[0].front().left, -293.33, 0.01);
    EXPECT_NEAR(walk[0].back().left, 720.0, 0.01);
    for (size_t r = 1; r < walk.size(); ++r) {
        ASSERT_EQ(walk[r].size(), 21u) << r;
        EXPECT_NEAR(walk[r].front().left, -346.67, 0.01);
    }
    bool found = false;
    for (auto& row : walk)
        for (auto& c : row)
            if (c.left <= 320 && c.right > 320 && c.top <= 240 && c.bottom > 240) {
                found = true;
                EXPECT_NEAR(c.left, 293.33, 0.01);
                EXPECT_NEAR(c.right, 346.67, 0.01);
                EXPECT_NEAR(c.top, 213.33, 0.01);
                EXPECT_NEAR(c.bottom, 266.67, 0.01);
                EXPECT_NEAR(c.right - c.left, cell, 1e-4);
            }
    EXPECT_TRUE(found);
}

TEST_F(SquaresWalk, HorizontalBrickRowsShiftByTheOffset) {
    cwtest::setAngle(*host, "brick offset", 180);
    auto walk = rows(640, 480);
    const double cell = 640.0 / 12.0;
    for (size_t r = 1; r < walk.size(); ++r) {
        const double d = std::fmod(walk[r].front().left - walk[r - 1].front().left + 10 * cell, cell);
        EXPECT_NEAR(d, cell / 2, 0.01) << r;
    }
}

TEST_F(SquaresWalk, VerticalBrickRowsShiftEachColumnAndWrap) {
    cwtest::setPopup(*host, "brick rows", kBrickVertical);
    cwtest::setAngle(*host, "brick offset", 180);
    auto walk = rows(640, 480);
    const double cell = 640.0 / 12.0;
    // cells of one row step down half a cell at a time, wrapping after a whole one
    std::vector<SquaresCell> cells;
    for (auto& row : walk)
        for (auto& c : row) cells.push_back(c);
    int steps = 0;
    for (size_t i = 1; i < cells.size(); ++i) {
        if (cells[i].left < cells[i - 1].left) continue;  // next row
        const double d = cells[i].top - cells[i - 1].top;
        EXPECT_TRUE(std::fabs(d - cell / 2) < 0.01 || std::fabs(d + cell / 2) < 0.01) << d;
        ++steps;
    }
    EXPECT_GT(steps, 100);
}

TEST_F(SquaresWalk, OffsetsOfAFullTurnChangeNothingAndAQuarterMovesAQuarterCell) {
    auto base = rows(320, 240);
    cwtest::setAngle(*host, "x offset", 360);
    cwtest::setAngle(*host, "y offset", 360);
    auto same = rows(320, 240);
    ASSERT_EQ(base.size(), same.size());
    EXPECT_EQ(base[3][4].left, same[3][4].left);
    EXPECT_EQ(base[3][4].top, same[3][4].top);
    cwtest::setAngle(*host, "x offset", 90);
    cwtest::setAngle(*host, "y offset", 90);
    auto quarter = rows(320, 240);
    const double cell = 320.0 / 12.0;
    auto moved = [&](double a, double b) { return std::fmod(a - b + 100 * cell, cell); };
    EXPECT_NEAR(moved(quarter[3][4].left, base[3][4].left), cell / 4, 0.01);
    EXPECT_NEAR(moved(quarter[3][4].top, base[3][4].top), cell / 4, 0.01);
}

TEST_F(SquaresWalk, ACellIsCentredOnTheCentrePoint) {
    cwtest::setPointPixels(*host, "center", 101.5, 77.25);
    auto walk = rows(300, 200);
    bool found = false;
    for (auto& row : walk)
        for (auto& c : row)
            if (std::fabs((c.left + c.right) / 2 - 101.5) < 0.01 && std::fabs((c.top + c.bottom) / 2 - 77.25) < 0.01)
                found = true;
    EXPECT_TRUE(found);
}

TEST_F(SquaresWalk, PixelAspectRatioScalesTheCellHeight) {
    host->setPixelAspect(2, 1);
    auto walk = rows(640, 480);
    const SquaresCell& c = walk[2][3];
    EXPECT_NEAR(c.right - c.left, 53.333332f, 1e-4);
    EXPECT_NEAR(c.bottom - c.top, 106.666664, 1e-4);
    host->setPixelAspect(10, 11);
    walk = rows(640, 480);
    const float expected = static_cast<float>(static_cast<double>(53.333332f * (10.0f / 11.0f)) * 1.0);
    EXPECT_NEAR(walk[2][3].bottom - walk[2][3].top, expected, 1e-4);
}

}  // namespace
