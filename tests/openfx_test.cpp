// The OpenFX bundles, loaded and driven by the test host the way the standard
// says a host drives a plug-in: what they describe, and whole frames that must
// equal `checkerwarp render` byte for byte (after the documented conversions
// where the depth or the alpha state is not the effect's own).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <thread>

#include <unistd.h>

#include "bridges/openfx/ofx_api.h"
#include "bridges/openfx/ofx_params.h"
#include "bridges/openfx/ofx_pixels.h"
#include "host/host_pixels.h"
#include "host/world.h"
#include "tests/cli_support.h"
#include "tests/ofx_test_host.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

namespace {

using ofxtest::Picture;
using ofxtest::RenderSpec;
using ofxtest::SourceSpec;
using ofxtest::TestHost;

std::string bundleOf(const std::string& effect) {
    return std::string(CHECKERWARP_BUILD_DIR) + "/ofx/" + effect + ".ofx.bundle";
}

// A folder of this process's own (ctest runs the tests side by side), gone
// when the process ends.
struct ScratchFolder {
    std::string path = testing::TempDir() + "openfx_test." + std::to_string(getpid());
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

std::string scratch(const std::string& name) {
    static ScratchFolder folder;
    std::filesystem::create_directories(folder.path);
    return folder.path + "/" + name;
}

// A noisy picture with every kind of alpha, the same for a seed.
Picture noisy(int32_t w, int32_t h, unsigned seed) {
    Picture p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
    std::mt19937 rng(seed);
    for (size_t i = 0; i < p.rgba.size(); ++i) {
        const unsigned r = rng() % 300;
        p.rgba[i] = static_cast<uint8_t>(r >= 256 ? (r & 1 ? 255 : 0) : r);  // biased toward 0 and 255
    }
    return p;
}

void savePng(const Picture& p, const std::string& path) {
    refhost::World w;
    std::string error;
    ASSERT_TRUE(w.allocate(p.width, p.height, error)) << error;
    for (int32_t y = 0; y < p.height; ++y)
        refhost::pixelsFromRgba(p.rgba.data() + static_cast<size_t>(y) * p.width * 4, w.row(y),
                                static_cast<size_t>(p.width));
    ASSERT_TRUE(cwtool::writePng(path, w, error)) << error;
}

Picture loadPng(const std::string& path) {
    refhost::World w;
    std::string error;
    EXPECT_TRUE(cwtool::readPng(path, w, error)) << error;
    Picture p{w.width(), w.height(), std::vector<uint8_t>(static_cast<size_t>(w.width()) * w.height() * 4)};
    for (int32_t y = 0; y < p.height; ++y)
        refhost::pixelsToRgba(w.row(y), p.rgba.data() + static_cast<size_t>(y) * p.width * 4,
                              static_cast<size_t>(p.width));
    return p;
}

// The command's render of a picture.
Picture commandRender(const std::string& effect, const Picture& input, const std::vector<std::string>& args) {
    static int n = 0;
    const std::string in = scratch("in" + std::to_string(++n) + ".png"), out = scratch("out" + std::to_string(n) + ".png");
    savePng(input, in);
    std::vector<std::string> all = {"render", in, out, "--plugin", effect, "--quiet", "-j", "1"};
    all.insert(all.end(), args.begin(), args.end());
    const cwtest::CommandRun r = cwtest::run(all);
    EXPECT_EQ(r.status, 0) << r.err;
    return loadPng(out);
}

// Where two pictures first differ, or "".
std::string firstDifference(const Picture& got, const Picture& want) {
    if (got.width != want.width || got.height != want.height)
        return "size " + std::to_string(got.width) + " x " + std::to_string(got.height) + ", want " +
               std::to_string(want.width) + " x " + std::to_string(want.height);
    for (size_t i = 0; i < got.rgba.size(); ++i)
        if (got.rgba[i] != want.rgba[i]) {
            const size_t pixel = i / 4;
            return "pixel (" + std::to_string(pixel % got.width) + ", " + std::to_string(pixel / got.width) +
                   ") channel " + std::to_string(i % 4) + ": " + std::to_string(got.rgba[i]) + ", want " +
                   std::to_string(want.rgba[i]);
        }
    return "";
}

// A host with the effect's bundle loaded, described and one instance made,
// its project the size of `w` x `h` canonical pixels.
std::unique_ptr<TestHost> readyHost(const std::string& effect, double w, double h,
                                    const char* context = kOfxImageEffectContextFilter) {
    auto host = std::make_unique<TestHost>();
    std::string error;
    EXPECT_TRUE(host->open(bundleOf(effect), error)) << error;
    if (!host->plugin()) return host;
    EXPECT_EQ(host->loadAndDescribe(context), kOfxStatOK);
    host->setProjectSize(w, h);
    EXPECT_EQ(host->createInstance(), kOfxStatOK);
    return host;
}

// The documented conversions of premultiplied bytes, worked independently.
uint8_t unpremultiplied(uint8_t c, uint8_t a) {
    return a == 0 ? 0 : static_cast<uint8_t>(std::min(255, static_cast<int>(std::lround(c * 255.0 / a + 1e-9))));
}
uint8_t premultiplied(uint8_t c, uint8_t a) {
    return static_cast<uint8_t>(std::lround(c * a / 255.0));
}

// ---- the bundle and what it describes ----

TEST(OfxBundle, EveryEffectHasTheStandardsLayoutAndOnePlugin) {
    for (const std::string& effect : cwtest::effectNames()) {
        SCOPED_TRACE(effect);
        const std::string binary = ofxtest::bundleBinary(bundleOf(effect));
        EXPECT_TRUE(std::filesystem::is_regular_file(binary)) << binary;
        TestHost host;
        std::string error;
        ASSERT_TRUE(host.open(bundleOf(effect), error)) << error;
        EXPECT_EQ(std::string(host.plugin()->pluginIdentifier), "org.kavri." + effect);
        EXPECT_EQ(host.plugin()->apiVersion, 1);
        ASSERT_EQ(host.loadAndDescribe(), kOfxStatOK);
        const ofxtest::PropertySet& d = host.descriptor().props;
        EXPECT_EQ(d.getString(kOfxPropLabel), effect);
        EXPECT_EQ(d.getString(kOfxImageEffectPropSupportedContexts, 0), kOfxImageEffectContextFilter);
        EXPECT_EQ(d.getString(kOfxImageEffectPropSupportedContexts, 1), kOfxImageEffectContextGeneral);
        EXPECT_EQ(d.getString(kOfxImageEffectPropSupportedPixelDepths, 2), kOfxBitDepthFloat);
        EXPECT_EQ(d.getString(kOfxImageEffectPluginRenderThreadSafety), kOfxImageEffectRenderInstanceSafe);
        EXPECT_EQ(d.getInt(kOfxImageEffectPropSupportsTiles, 0, -1), 0);
        EXPECT_EQ(d.getInt(kOfxImageEffectPluginPropHostFrameThreading, 0, -1), 0);
        EXPECT_NE(d.getString(kOfxPropPluginDescription).find("8 bits"), std::string::npos);
        EXPECT_EQ(static_cast<unsigned>(d.getInt(kOfxPropVersion, 0)), host.plugin()->pluginVersionMajor);
        ASSERT_NE(host.contextDescriptor().clip("Source"), nullptr);
        ASSERT_NE(host.contextDescriptor().clip("Output"), nullptr);
    }
}

// A bundle copied anywhere with the module inside it loads; without the module
// it offers no plug-in (and says why) instead of failing later.
TEST(OfxBundle, AMovedBundleFindsTheModuleInsideIt) {
    namespace fs = std::filesystem;
    const fs::path moved = scratch("moved") + "/checkerwarp.ofx.bundle";
    const fs::path binary_dir = moved / "Contents" / "Linux-x86-64";
    fs::remove_all(moved.parent_path());
    fs::create_directories(binary_dir);
    fs::copy_file(ofxtest::bundleBinary(bundleOf("checkerwarp")), binary_dir / "checkerwarp.ofx");
    {
        TestHost host;
        std::string error;
        EXPECT_FALSE(host.open(moved.string(), error));
        EXPECT_NE(error.find("has no plug-in"), std::string::npos) << error;
    }
    const fs::path other = scratch("moved2") + "/checkerwarp.ofx.bundle";
    fs::remove_all(other.parent_path());
    fs::create_directories(other / "Contents" / "Linux-x86-64");
    fs::copy_file(ofxtest::bundleBinary(bundleOf("checkerwarp")), other / "Contents" / "Linux-x86-64" / "checkerwarp.ofx");
    fs::copy_file(cwtest::modulePath("checkerwarp"), other / "Contents" / "Linux-x86-64" / "checkerwarp.so");
    TestHost host;
    std::string error;
    ASSERT_TRUE(host.open(other.string(), error)) << error;
    EXPECT_EQ(host.loadAndDescribe(), kOfxStatOK);
}

// The parameters the host is told of, against `checkerwarp params --json`.
TEST(OfxBundle, ParametersMatchTheCommandsListing) {
    for (const std::string& effect : {std::string("checkerwarp"), std::string("tint")}) {
        SCOPED_TRACE(effect);
        const cwtest::CommandRun r = cwtest::run({"params", "--json", "--plugin", effect});
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json listing = nlohmann::json::parse(r.out);
        TestHost host;
        std::string error;
        ASSERT_TRUE(host.open(bundleOf(effect), error)) << error;
        ASSERT_EQ(host.loadAndDescribe(), kOfxStatOK);
        ofxtest::ParamSet& described = host.contextDescriptor().params;
        size_t expected = 0;
        std::string group;
        for (const auto& entry : listing) {
            const std::string type = entry["type"], name = entry["name"];
            if (type == "group end") {
                group.clear();
                continue;
            }
            if (type == "layer" || type == "path") continue;
            ++expected;
            SCOPED_TRACE(name);
            ofxtest::Param* p = described.findLabel(name);
            ASSERT_NE(p, nullptr);
            const ofxtest::PropertySet& props = p->props;
            // the OpenFX name: letters, digits and '_', as scripting hosts want
            const std::string ofx_name = props.getString(kOfxPropName);
            EXPECT_EQ(ofx_name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"),
                      std::string::npos);
            EXPECT_EQ(props.getString(kOfxParamPropScriptName), ofx_name);
            EXPECT_EQ(props.getString(kOfxParamPropParent), type == "group start" ? "" : group);
            if (entry.contains("hint")) {
                EXPECT_EQ(props.getString(kOfxParamPropHint), entry["hint"]);
            }
            if (type == "float slider") {
                EXPECT_EQ(p->type, kOfxParamTypeDouble);
                EXPECT_EQ(props.getDouble(kOfxParamPropMin), entry["valid_min"].get<float>());
                EXPECT_EQ(props.getDouble(kOfxParamPropMax), entry["valid_max"].get<float>());
                EXPECT_EQ(props.getDouble(kOfxParamPropDisplayMin), entry["slider_min"].get<float>());
                EXPECT_EQ(props.getDouble(kOfxParamPropDisplayMax), entry["slider_max"].get<float>());
                EXPECT_EQ(props.getDouble(kOfxParamPropDefault), entry["default"].get<float>());
            } else if (type == "angle") {
                EXPECT_EQ(props.getString(kOfxParamPropDoubleType), kOfxParamDoubleTypeAngle);
                EXPECT_EQ(props.getDouble(kOfxParamPropDefault), entry["default"].get<double>());
            } else if (type == "color") {
                EXPECT_EQ(p->type, kOfxParamTypeRGB);
                const std::string hex = entry["default"];
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(props.getDouble(kOfxParamPropDefault, c),
                              std::stoi(hex.substr(1 + 2 * c, 2), nullptr, 16) / 255.0);
            } else if (type == "popup") {
                EXPECT_EQ(p->type, kOfxParamTypeChoice);
                EXPECT_EQ(props.getInt(kOfxParamPropDefault), entry["default"].get<int>() - 1);
                const auto& choices = entry["choices"];
                ASSERT_EQ(props.props.at(kOfxParamPropChoiceOption).strings.size(), choices.size());
                for (size_t c = 0; c < choices.size(); ++c)
                    EXPECT_EQ(props.getString(kOfxParamPropChoiceOption, static_cast<int>(c)), choices[c]);
            } else if (type == "checkbox") {
                EXPECT_EQ(p->type, kOfxParamTypeBoolean);
                EXPECT_EQ(props.getInt(kOfxParamPropDefault), entry["default"].get<bool>() ? 1 : 0);
            } else if (type == "point") {
                EXPECT_EQ(p->type, kOfxParamTypeDouble2D);
                EXPECT_EQ(props.getString(kOfxParamPropDefaultCoordinateSystem), kOfxParamCoordinatesNormalised);
                EXPECT_EQ(props.getDouble(kOfxParamPropDefault, 0), entry["default"]["x_percent"].get<double>() / 100);
                EXPECT_EQ(props.getDouble(kOfxParamPropDefault, 1),
                          1 - entry["default"]["y_percent"].get<double>() / 100);
            } else if (type == "group start") {
                EXPECT_EQ(p->type, kOfxParamTypeGroup);
                EXPECT_EQ(props.getInt(kOfxParamPropGroupOpen, 0, -1), name == "debug" ? 0 : 1);
                group = ofx_name;
            } else {
                ADD_FAILURE() << "a type the test does not know: " << type;
            }
        }
        EXPECT_EQ(described.params.size(), expected);
    }
}

TEST(OfxBundle, ALifeRunsTheActionsInTheStandardsOrder) {
    auto host = readyHost("tint", 4, 4);
    Picture got;
    ASSERT_EQ(host->renderFrame(noisy(4, 4, 1), SourceSpec{}, RenderSpec{}, got), kOfxStatOK);
    EXPECT_EQ(host->destroyInstance(), kOfxStatOK);
    EXPECT_EQ(host->unload(), kOfxStatOK);
    const std::vector<std::string> want = {
        kOfxActionLoad, kOfxActionDescribe, kOfxImageEffectActionDescribeInContext, kOfxActionCreateInstance,
        kOfxImageEffectActionGetClipPreferences, kOfxImageEffectActionGetRegionOfDefinition,
        kOfxImageEffectActionGetRegionsOfInterest, kOfxImageEffectActionBeginSequenceRender,
        kOfxImageEffectActionRender, kOfxImageEffectActionEndSequenceRender, kOfxActionDestroyInstance,
        kOfxActionUnload};
    EXPECT_EQ(host->actions, want);
    // after the unload, nothing but another load
    EXPECT_EQ(host->action(kOfxActionDescribe, &host->descriptor(), nullptr, nullptr), kOfxStatFailed);
}

// ---- the conversions, value by value ----

TEST(OfxConversions, DepthsRoundToNearestAndComeBackExactly) {
    EXPECT_EQ(ofxbridge::byteOfShort(0), 0);
    EXPECT_EQ(ofxbridge::byteOfShort(128), 0);      // 0.498 of a step
    EXPECT_EQ(ofxbridge::byteOfShort(129), 1);      // 0.502
    EXPECT_EQ(ofxbridge::byteOfShort(32896), 128);  // 128 x 257
    EXPECT_EQ(ofxbridge::byteOfShort(65535), 255);
    EXPECT_EQ(ofxbridge::byteOfFloat(0.5f), 128);   // 127.5 rounds up
    EXPECT_EQ(ofxbridge::byteOfFloat(-0.25f), 0);
    EXPECT_EQ(ofxbridge::byteOfFloat(7.0f), 255);
    EXPECT_EQ(ofxbridge::byteOfFloat(std::nanf("")), 0);
    EXPECT_EQ(ofxbridge::byteOfFloat(std::numeric_limits<float>::infinity()), 255);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(ofxbridge::byteOfShort(ofxbridge::shortOfByte(static_cast<uint8_t>(b))), b);
        EXPECT_EQ(ofxbridge::byteOfFloat(ofxbridge::floatOfByte(static_cast<uint8_t>(b))), b);
    }
}

TEST(OfxConversions, PremultipliedBytes) {
    EXPECT_EQ(ofxbridge::unpremultipliedByte(64, 128), 128);  // 64 x 255 / 128 = 127.5, halves up
    EXPECT_EQ(ofxbridge::unpremultipliedByte(200, 100), 255); // more than its alpha: held to 255
    EXPECT_EQ(ofxbridge::unpremultipliedByte(9, 0), 0);
    EXPECT_EQ(ofxbridge::premultipliedByte(255, 128), 128);
    EXPECT_EQ(ofxbridge::premultipliedByte(100, 51), 20);
    EXPECT_EQ(ofxbridge::premultipliedByte(1, 127), 0);       // 0.498
    EXPECT_EQ(ofxbridge::premultipliedByte(1, 128), 1);       // 0.502
    for (int c = 0; c < 256; ++c) {  // opaque colours pass both ways unchanged
        const uint8_t b = static_cast<uint8_t>(c);
        EXPECT_EQ(ofxbridge::premultipliedByte(b, 255), c);
        EXPECT_EQ(ofxbridge::unpremultipliedByte(b, 255), c);
    }
}

// The float rows go four values at a time; every value must come out as the
// one-value conversion gives it, tails and strange floats included.
TEST(OfxConversions, FloatRowsEqualTheValueByValueConversion) {
    std::mt19937 rng(99);
    const float specials[] = {std::nanf(""), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), -0.0f, 0.0f, 1.0f, 1.5f, -2.0f,
                              0.5f / 255, std::nextafter(0.5f / 255, 0.0f), 127.5f / 255, 1e-40f, 254.5f / 255};
    for (int width : {1, 3, 4, 5, 37}) {
        SCOPED_TRACE(width);
        std::vector<float> row(static_cast<size_t>(width) * 4);
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = i % 3 == 0 ? specials[rng() % 13] : static_cast<float>(rng() % 2600) / 2400.0f - 0.05f;
        ofxbridge::ImageView view;
        view.data = row.data();
        view.bounds = {0, 0, width, 1};
        view.rowbytes = width * 16;
        view.depth = ofxbridge::Depth::kFloat;
        refhost::World world;
        std::string error;
        ASSERT_TRUE(world.allocate(width, 1, error));
        for (auto alpha : {ofxbridge::Alpha::kStraight, ofxbridge::Alpha::kPremultiplied}) {
            ofxbridge::imageToWorld(view, alpha, OfxRectI{0, 0, width, 1}, world);
            for (int x = 0; x < width; ++x) {
                const float* f = &row[static_cast<size_t>(x) * 4];
                uint8_t want[4];  // a, r, g, b
                if (alpha == ofxbridge::Alpha::kStraight) {
                    want[0] = ofxbridge::byteOfFloat(f[3]);
                    for (int k = 0; k < 3; ++k) want[k + 1] = ofxbridge::byteOfFloat(f[k]);
                } else {
                    want[0] = f[3] > 0 ? ofxbridge::byteOfFloat(f[3]) : 0;
                    for (int k = 0; k < 3; ++k) want[k + 1] = f[3] > 0 ? ofxbridge::byteOfFloat(f[k] / f[3]) : 0;
                }
                const PF_Pixel p = world.at(x, 0);
                ASSERT_EQ(p.alpha, want[0]) << "pixel " << x;
                ASSERT_EQ(p.red, want[1]) << "pixel " << x;
                ASSERT_EQ(p.green, want[2]) << "pixel " << x;
                ASSERT_EQ(p.blue, want[3]) << "pixel " << x;
            }
        }
        // and back: every byte b as b / 255
        ofxbridge::worldToImage(world, OfxRectI{0, 0, width, 1}, ofxbridge::Alpha::kStraight, OfxRectI{0, 0, width, 1},
                                view);
        for (int x = 0; x < width; ++x) {
            const PF_Pixel p = world.at(x, 0);
            const float* f = &row[static_cast<size_t>(x) * 4];
            ASSERT_EQ(f[0], ofxbridge::floatOfByte(p.red));
            ASSERT_EQ(f[1], ofxbridge::floatOfByte(p.green));
            ASSERT_EQ(f[2], ofxbridge::floatOfByte(p.blue));
            ASSERT_EQ(f[3], ofxbridge::floatOfByte(p.alpha));
        }
    }
}

TEST(OfxConversions, ColoursAndFixedPoint) {
    EXPECT_EQ(ofxbridge::byteOfUnit(0.5), 128);
    EXPECT_EQ(ofxbridge::byteOfUnit(127.4 / 255), 127);
    EXPECT_EQ(ofxbridge::byteOfUnit(-1), 0);
    EXPECT_EQ(ofxbridge::byteOfUnit(2), 255);
    EXPECT_EQ(ofxbridge::byteOfUnit(std::nan("")), 0);
    EXPECT_EQ(ofxbridge::fixedOf(1.5), 98304);
    EXPECT_EQ(ofxbridge::fixedOf(-0.25), -16384);
    EXPECT_EQ(ofxbridge::fixedOf(1.0 / 131072), 1);  // half a step rounds away from zero
    EXPECT_EQ(ofxbridge::fixedOf(1e12), INT32_MAX);
    EXPECT_EQ(ofxbridge::fixedOf(-1e12), INT32_MIN);
}

// ---- whole frames ----

struct FrameCase {
    const char* name;
    const char* effect;
    int32_t width, height;
    bool negative_rowbytes;
};

class OfxFrames : public testing::TestWithParam<FrameCase> {};

TEST_P(OfxFrames, ByteFramesEqualTheCommand) {
    const FrameCase& c = GetParam();
    const Picture source = noisy(c.width, c.height, 7);
    const bool squares = std::string(c.effect) == "checkerwarp";
    std::vector<std::string> settings;
    auto host = readyHost(c.effect, c.width, c.height);
    ASSERT_NE(host->instance(), nullptr);
    if (squares) {
        settings = {"--set", "squares across=5.5", "--set", "background fill=tile", "--set", "squares color=#20a0ff",
                    "--set", "wibble max=0.5", "--set", "center=3,2"};
        host->setParam("squares across", {5.5});
        host->setParam("background fill", {1});
        host->setParam("squares color", {0x20 / 255.0, 0xa0 / 255.0, 1.0});
        host->setParam("wibble max", {0.5});
        host->setParam("center", {3, c.height - 2.0});  // canonical: y up
    }
    const Picture want = commandRender(c.effect, source, settings);
    SourceSpec spec;
    spec.negative_rowbytes = c.negative_rowbytes;
    Picture got;
    ASSERT_EQ(host->renderFrame(source, spec, RenderSpec{}, got), kOfxStatOK);
    EXPECT_EQ(firstDifference(got, want), "");
    EXPECT_TRUE(host->messages.empty()) << host->messages.front();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, OfxFrames,
    testing::Values(FrameCase{"CheckerwarpOnePixel", "checkerwarp", 1, 1, false},
                    FrameCase{"CheckerwarpOdd", "checkerwarp", 37, 23, true},
                    FrameCase{"CheckerwarpHd", "checkerwarp", 1920, 1080, true},
                    FrameCase{"TintOnePixel", "tint", 1, 1, true}, FrameCase{"TintOdd", "tint", 37, 23, false},
                    FrameCase{"TintHd", "tint", 1920, 1080, false}),
    [](const testing::TestParamInfo<FrameCase>& c) { return std::string(c.param.name); });

TEST(OfxRender, FloatAndShortFramesEqualTheCommandAfterTheDocumentedRounding) {
    const Picture source = noisy(29, 17, 11);
    const Picture want = commandRender("checkerwarp", source, {"--set", "background fill=source (tinted)"});
    for (const char* depth : {kOfxBitDepthFloat, kOfxBitDepthShort}) {
        SCOPED_TRACE(depth);
        auto host = readyHost("checkerwarp", 29, 17);
        host->setParam("background fill", {2});
        SourceSpec spec;
        spec.depth = depth;
        Picture got;
        ASSERT_EQ(host->renderFrame(source, spec, RenderSpec{}, got), kOfxStatOK);
        EXPECT_EQ(firstDifference(got, want), "");
        // a byte b comes back as b / 255 in floats and b x 257 in 16 bits, exactly
        for (size_t i = 0; i < want.rgba.size(); ++i) {
            if (std::string(depth) == kOfxBitDepthFloat)
                ASSERT_EQ(host->floatOutput()[i], static_cast<float>(want.rgba[i]) / 255.0f) << i;
            else
                ASSERT_EQ(host->shortOutput()[i], want.rgba[i] * 257) << i;
        }
    }
}

TEST(OfxRender, PremultipliedFramesAreUnpremultipliedForTheEffectAndPremultipliedAgain) {
    Picture straight = noisy(31, 19, 5);
    Picture pre = straight;
    for (size_t i = 0; i < pre.rgba.size(); i += 4)
        for (int c = 0; c < 3; ++c) pre.rgba[i + c] = premultiplied(straight.rgba[i + c], straight.rgba[i + 3]);
    // what the effect sees: the premultiplied picture unpremultiplied
    Picture seen = pre;
    for (size_t i = 0; i < seen.rgba.size(); i += 4)
        for (int c = 0; c < 3; ++c) seen.rgba[i + c] = unpremultiplied(pre.rgba[i + c], pre.rgba[i + 3]);
    Picture want = commandRender("checkerwarp", seen, {"--set", "background fill=source (tinted)",
                                                       "--set", "background color=#ffffff"});
    for (size_t i = 0; i < want.rgba.size(); i += 4)
        for (int c = 0; c < 3; ++c) want.rgba[i + c] = premultiplied(want.rgba[i + c], want.rgba[i + 3]);
    auto host = readyHost("checkerwarp", 31, 19);
    host->setParam("background fill", {2});
    host->setParam("background color", {1, 1, 1});
    SourceSpec spec;
    spec.premultiplication = kOfxImagePreMultiplied;
    Picture got;
    ASSERT_EQ(host->renderFrame(pre, spec, RenderSpec{}, got), kOfxStatOK);
    EXPECT_EQ(firstDifference(got, want), "");
}

TEST(OfxRender, AHalfScaleRenderEqualsTheCommandsDownsampledRender) {
    const Picture full = noisy(64, 48, 3);
    const Picture want = commandRender("checkerwarp", full, {"--downsample", "2", "--set", "center=20,10",
                                                             "--set", "squares across=7", "--set", "x scale=60"});
    // the host hands the proxy: the picture box-averaged to half size
    refhost::World world, half;
    std::string error;
    ASSERT_TRUE(world.allocate(full.width, full.height, error));
    for (int32_t y = 0; y < full.height; ++y)
        refhost::pixelsFromRgba(full.rgba.data() + static_cast<size_t>(y) * full.width * 4, world.row(y), 64);
    ASSERT_TRUE(refhost::downsampleWorld(world, 2, half, error));
    Picture proxy{32, 24, std::vector<uint8_t>(32 * 24 * 4)};
    for (int32_t y = 0; y < 24; ++y) refhost::pixelsToRgba(half.row(y), proxy.rgba.data() + y * 32 * 4, 32);

    auto host = readyHost("checkerwarp", 64, 48);
    host->setParam("center", {20, 48 - 10});  // canonical: full-resolution pixels, y up
    host->setParam("squares across", {7});
    host->setParam("x scale", {60});
    RenderSpec render;
    render.scale = 0.5;
    Picture got;
    ASSERT_EQ(host->renderFrame(proxy, SourceSpec{}, render, got), kOfxStatOK);
    EXPECT_EQ(firstDifference(got, want), "");
}

TEST(OfxRender, PixelAspectIsTheCommands) {
    const Picture source = noisy(40, 30, 9);
    const Picture want = commandRender("checkerwarp", source, {"--pixel-aspect", "10/11", "--set", "center=12,9"});
    auto host = readyHost("checkerwarp", 40 * 10.0 / 11, 30);
    host->setParam("center", {12 * 10.0 / 11, 30 - 9.0});  // canonical x is pixels times the aspect
    SourceSpec spec;
    spec.pixel_aspect = 10.0 / 11;
    Picture got;
    ASSERT_EQ(host->renderFrame(source, spec, RenderSpec{}, got), kOfxStatOK);
    EXPECT_EQ(firstDifference(got, want), "");
}

TEST(OfxRender, OnlyTheRenderWindowIsWritten) {
    const Picture source = noisy(30, 20, 2);
    const Picture full = commandRender("checkerwarp", source, {});
    auto host = readyHost("checkerwarp", 30, 20);
    RenderSpec render;
    render.whole_window = false;
    render.window = {4, 3, 19, 11};  // y up: rows 3 to 10 from the bottom
    Picture got;
    ASSERT_EQ(host->renderFrame(source, SourceSpec{}, render, got), kOfxStatOK);
    for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 30; ++x) {
            const int32_t up = 19 - y;
            const bool inside = x >= 4 && x < 19 && up >= 3 && up < 11;
            for (int c = 0; c < 4; ++c) {
                const size_t i = (static_cast<size_t>(y) * 30 + x) * 4 + c;
                ASSERT_EQ(got.rgba[i], inside ? full.rgba[i] : 0xAB) << x << "," << y;
            }
        }
}

TEST(OfxRender, ParametersAreReadAtTheRendersTime) {
    const Picture source = noisy(24, 24, 4);
    const Picture want = commandRender("checkerwarp", source, {"--set", "squares across=9"});
    auto host = readyHost("checkerwarp", 24, 24);
    host->setParamKey("squares across", 0, {4});
    host->setParamKey("squares across", 10, {14});
    RenderSpec render;
    render.time = 5;
    Picture got;
    ASSERT_EQ(host->renderFrame(source, SourceSpec{}, render, got), kOfxStatOK);
    EXPECT_EQ(firstDifference(got, want), "");
}

TEST(OfxRender, TheGeneralContextRendersAsTheFilterDoes) {
    const Picture source = noisy(16, 12, 8);
    const Picture want = commandRender("checkerwarp", source, {});
    auto host = readyHost("checkerwarp", 16, 12, kOfxImageEffectContextGeneral);
    Picture got;
    ASSERT_EQ(host->renderFrame(source, SourceSpec{}, RenderSpec{}, got), kOfxStatOK);
    EXPECT_EQ(firstDifference(got, want), "");
}

// ---- a host that does not play by the rules ----

TEST(OfxHostile, ActionsOutOfOrderGetAStatusNeverACrash) {
    TestHost host;
    std::string error;
    ASSERT_TRUE(host.open(bundleOf("checkerwarp"), error)) << error;
    int dummy = 0;
    // before the load
    EXPECT_EQ(host.action(kOfxActionDescribe, &host.descriptor(), nullptr, nullptr), kOfxStatFailed);
    EXPECT_EQ(host.action(kOfxImageEffectActionRender, &dummy, nullptr, nullptr), kOfxStatFailed);
    ASSERT_EQ(host.loadAndDescribe(), kOfxStatOK);
    // a descriptor is no instance; null handles and actions
    ofxtest::PropertySet args;
    args.setInt(kOfxImageEffectPropRenderWindow, {0, 0, 1, 1});
    EXPECT_EQ(host.action(kOfxImageEffectActionRender, &host.descriptor(), &args, nullptr), kOfxStatErrBadHandle);
    EXPECT_EQ(host.action(kOfxImageEffectActionRender, nullptr, &args, nullptr), kOfxStatErrBadHandle);
    EXPECT_EQ(host.action(kOfxActionDestroyInstance, &host.descriptor(), nullptr, nullptr), kOfxStatErrBadHandle);
    EXPECT_EQ(host.plugin()->mainEntry(nullptr, nullptr, nullptr, nullptr), kOfxStatErrUnknown);
    // what the plug-in does not trap gets the standard's default
    EXPECT_EQ(host.action("OfxActionNobodyHasHeardOf", &host.descriptor(), nullptr, nullptr), kOfxStatReplyDefault);
    EXPECT_EQ(host.action(kOfxImageEffectActionIsIdentity, &host.descriptor(), nullptr, nullptr), kOfxStatReplyDefault);
    // an unknown context is refused
    ofxtest::PropertySet context;
    context.setString(kOfxImageEffectPropContext, {kOfxImageEffectContextTransition});
    EXPECT_EQ(host.action(kOfxImageEffectActionDescribeInContext, &host.contextDescriptor(), &context, nullptr),
              kOfxStatErrMissingHostFeature);
    // an instance destroyed twice, then rendered
    host.setProjectSize(8, 8);
    ASSERT_EQ(host.createInstance(), kOfxStatOK);
    ofxtest::Effect* instance = host.instance();
    EXPECT_EQ(host.action(kOfxActionDestroyInstance, instance, nullptr, nullptr), kOfxStatOK);
    EXPECT_EQ(host.action(kOfxActionDestroyInstance, instance, nullptr, nullptr), kOfxStatErrBadHandle);
    EXPECT_EQ(host.action(kOfxImageEffectActionRender, instance, &args, nullptr), kOfxStatErrBadHandle);
}

TEST(OfxHostile, AMissingSuiteFailsTheLoad) {
    for (const char* suite : {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite}) {
        SCOPED_TRACE(suite);
        TestHost host;
        std::string error;
        ASSERT_TRUE(host.open(bundleOf("checkerwarp"), error)) << error;
        host.hideSuite(suite);
        EXPECT_EQ(host.loadAndDescribe(), kOfxStatErrMissingHostFeature);
        EXPECT_EQ(host.action(kOfxActionDescribe, &host.descriptor(), nullptr, nullptr), kOfxStatFailed);
    }
    // the message suite is optional
    TestHost host;
    std::string error;
    ASSERT_TRUE(host.open(bundleOf("checkerwarp"), error)) << error;
    host.hideSuite(kOfxMessageSuite);
    EXPECT_EQ(host.loadAndDescribe(), kOfxStatOK);
}

TEST(OfxHostile, FailedImageFetches) {
    const Picture source = noisy(12, 10, 6);
    {
        // a source that is not there is transparent black, as the standard says
        Picture clear = source;
        std::fill(clear.rgba.begin(), clear.rgba.end(), 0);
        const Picture want = commandRender("checkerwarp", clear, {});
        auto host = readyHost("checkerwarp", 12, 10);
        host->fail_source_fetch = true;
        Picture got;
        ASSERT_EQ(host->renderFrame(source, SourceSpec{}, RenderSpec{}, got), kOfxStatOK);
        EXPECT_EQ(firstDifference(got, want), "");
    }
    {
        auto host = readyHost("checkerwarp", 12, 10);
        host->fail_output_fetch = true;
        Picture got;
        EXPECT_EQ(host->renderFrame(source, SourceSpec{}, RenderSpec{}, got), kOfxStatFailed);
    }
}

TEST(OfxHostile, ImagesThatCannotBeReadAreRefusedWithAMessage) {
    const Picture source = noisy(12, 10, 6);
    for (int claim = 0; claim < 2; ++claim) {
        auto host = readyHost("checkerwarp", 12, 10);
        if (claim == 0)
            host->source_rowbytes_claim = 12;  // shorter than a row of 12 pixels
        else
            host->source_depth_claim = kOfxBitDepthHalf;  // a depth it never asked for
        Picture got;
        EXPECT_EQ(host->renderFrame(source, SourceSpec{}, RenderSpec{}, got), kOfxStatErrFormat);
        ASSERT_EQ(host->messages.size(), 1u);
        EXPECT_NE(host->messages[0].find("source image cannot be read"), std::string::npos) << host->messages[0];
    }
}

TEST(OfxHostile, TheHostsAbortStopsTheRender) {
    const Picture source = noisy(64, 64, 1);
    auto host = readyHost("checkerwarp", 64, 64);
    host->setParam("squares across", {255});
    host->abort_after = 0;
    Picture got;
    EXPECT_EQ(host->renderFrame(source, SourceSpec{}, RenderSpec{}, got), kOfxStatFailed);
    EXPECT_TRUE(host->messages.empty());  // a stop the user asked for is no error
    host->abort_after = -1;
    EXPECT_EQ(host->renderFrame(source, SourceSpec{}, RenderSpec{}, got), kOfxStatOK);
}

// ---- threads ----

TEST(OfxThreads, TwoInstancesRenderAtOnceEachAsAlone) {
    const Picture source = noisy(160, 90, 12);
    auto a = readyHost("checkerwarp", 160, 90);
    auto b = readyHost("checkerwarp", 160, 90);
    a->setParam("squares across", {9});
    b->setParam("squares across", {23});
    b->setParam("background fill", {1});
    Picture alone_a, alone_b;
    ASSERT_EQ(a->renderFrame(source, SourceSpec{}, RenderSpec{}, alone_a), kOfxStatOK);
    ASSERT_EQ(b->renderFrame(source, SourceSpec{}, RenderSpec{}, alone_b), kOfxStatOK);
    ASSERT_NE(firstDifference(alone_a, alone_b), "");
    bool same_a = true, same_b = true;
    auto loop = [&source](TestHost& host, const Picture& alone, bool& same) {
        for (int i = 0; i < 20; ++i) {
            Picture got;
            same = same && host.renderFrame(source, SourceSpec{}, RenderSpec{}, got) == kOfxStatOK &&
                   firstDifference(got, alone).empty();
        }
    };
    std::thread ta(loop, std::ref(*a), std::cref(alone_a), std::ref(same_a));
    std::thread tb(loop, std::ref(*b), std::cref(alone_b), std::ref(same_b));
    ta.join();
    tb.join();
    EXPECT_TRUE(same_a);
    EXPECT_TRUE(same_b);
}

}  // namespace
