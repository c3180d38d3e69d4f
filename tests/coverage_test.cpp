// Effects that say they write every output pixel (so that a host may skip
// clearing the output) really do: whatever the output held before, the frame
// comes out the same, for every background and squares fill.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host/world.h"
#include "tests/test_support.h"

namespace {

// The output of one render, the world before it cleared or full of noise.
refhost::World renderOver(refhost::Host& host, refhost::World& input, bool noise, unsigned seed) {
    refhost::World out;
    std::string error;
    EXPECT_TRUE(out.allocate(input.width(), input.height(), error)) << error;
    if (noise) {
        std::mt19937 rng(seed);
        for (int32_t y = 0; y < out.height(); ++y)
            for (int32_t x = 0; x < out.width(); ++x) {
                const uint32_t r = rng();
                out.at(x, y) = PF_Pixel{static_cast<A_u_char>(r), static_cast<A_u_char>(r >> 8),
                                        static_cast<A_u_char>(r >> 16), static_cast<A_u_char>(r >> 24)};
            }
    }
    EXPECT_EQ(host.renderFrame(input.def(), out.def()), PF_Err_NONE);
    return out;
}

refhost::World noisyInput(int32_t w, int32_t h, unsigned seed) {
    refhost::World in;
    std::string error;
    EXPECT_TRUE(in.allocate(w, h, error)) << error;
    std::mt19937 rng(seed);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t r = rng();
            in.at(x, y) = PF_Pixel{static_cast<A_u_char>(r % 3 == 0 ? 255 : r), static_cast<A_u_char>(r >> 8),
                                   static_cast<A_u_char>(r >> 16), static_cast<A_u_char>(r >> 24)};
        }
    return in;
}

void expectCovers(const std::string& effect, const std::vector<std::string>& settings, int32_t w, int32_t h,
                  PF_Quality quality = PF_Quality_HI) {
    SCOPED_TRACE(effect + " " + std::to_string(w) + " x " + std::to_string(h));
    auto host = cwtest::startedHost(cwtest::module(effect));
    host->setQuality(quality);
    cwtest::applySettings(*host, settings);
    refhost::World input = noisyInput(w, h, static_cast<unsigned>(w * 31 + h));
    const refhost::World clear = renderOver(*host, input, false, 0);
    for (unsigned seed : {1u, 2u}) {
        const refhost::World over = renderOver(*host, input, true, seed);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                ASSERT_TRUE(over.at(x, y) == clear.at(x, y))
                    << "pixel (" << x << ", " << y << ") keeps what the output held: "
                    << refhost::describePixel(over.at(x, y)) << " against " << refhost::describePixel(clear.at(x, y));
    }
}

TEST(OutputCoverage, TheEffectsThatWriteEveryPixelSaySo) {
    EXPECT_TRUE(cwtest::startedHost(cwtest::module("checkerwarp"))->coversOutput());
    EXPECT_TRUE(cwtest::startedHost(cwtest::module("pixelate"))->coversOutput());
    EXPECT_FALSE(cwtest::startedHost(cwtest::module("tint"))->coversOutput());
}

TEST(OutputCoverage, CheckerwarpWritesEveryPixelInEveryFill) {
    for (const char* background : {"color", "tile", "source (tinted)", "knockout"})
        for (const char* squares : {"color", "tile", "none", "knockout"})
            for (const char* quality : {"high", "low"}) {
                SCOPED_TRACE(std::string(background) + " / " + squares + " / " + quality);
                const std::vector<std::string> settings = {
                    std::string("background fill=") + background, std::string("squares fill=") + squares,
                    "squares across=7.3", "x offset=33", "brick offset=90", "wibble max=0.7",
                    "horizontal max=1.6", "vertical min=0.2", "background color=#30c0a0"};
                const PF_Quality q = std::string(quality) == "low" ? PF_Quality_LO : PF_Quality_HI;
                expectCovers("checkerwarp", settings, 61, 37, q);
                expectCovers("checkerwarp", settings, 1, 1, q);
            }
}

// Columns shifted as bricks: a cell's bottom and the top of the cell below it
// are worked out by different sums, and where they fall either side of a row's
// edge that row lies between two tiles' whole pixels (two frames found by a
// search over 400 random ones).
TEST(OutputCoverage, TilesInColumnsShiftedAsBricksLeaveNoRowUnwritten) {
    const std::vector<std::string> common = {"background fill=tile", "squares fill=none", "brick rows=vertical"};
    const struct {
        int32_t w, h;
        std::vector<std::string> settings;
    } frames[] = {
        {272, 224, {"squares across=110.72157", "y scale=22.9008", "brick offset=134.7444", "y offset=-238.8384"}},
        {330, 237, {"squares across=114.84849", "y scale=269.0404", "brick offset=127.1628", "y offset=131.5152"}},
    };
    for (const auto& f : frames) {
        std::vector<std::string> settings = common;
        settings.insert(settings.end(), f.settings.begin(), f.settings.end());
        expectCovers("checkerwarp", settings, f.w, f.h);
        if (HasFatalFailure()) return;
    }
}

TEST(OutputCoverage, PixelateWritesEveryPixel) {
    for (const char* keep : {"on", "off"})
        for (const char* size : {"1", "7.5", "4096"}) {
            SCOPED_TRACE(std::string(size) + " keep " + keep);
            expectCovers("pixelate", {std::string("cell size=") + size, std::string("keep alpha=") + keep}, 45, 29);
        }
}

}  // namespace
