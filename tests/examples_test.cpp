// The example effect: its own module built from the framework, driven through
// the command exactly as the squares effect is.
#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

namespace {

TEST(TintExample, ListsItsParametersAndTheFrameworksDebugGroup) {
    cwtest::CommandRun r = cwtest::run({"params", "--plugin", cwtest::modulePath("tint")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  1    1  color                      color"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("#ff8000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  2    2  amount                     float slider  0 .. 100          0 .. 100          50%"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("how far each pixel moves towards its tinted self"), std::string::npos) << "its hint";
    EXPECT_EQ(r.out.find("stamp params"), std::string::npos) << "tint leaves out the debug group";
    r = cwtest::run({"about", "--plugin", cwtest::modulePath("tint")});
    EXPECT_EQ(r.out, "tint, v1.0 build 383 2011.02.02-20:14:23\n\nmixes the layer towards itself tinted by a colour\n\n"
                     "kavri effect framework\nevery pixel mixed towards the layer tinted by one colour; alpha stays\n"
                     "an example effect on the framework\n");
}

TEST(TintExample, RendersThroughTheCommandWithWorkedPixels) {
    cwtest::TempDir dir;
    refhost::World in = cwtest::solidWorld(5, 3, PF_Pixel{255, 200, 100, 50});
    in.at(4, 2) = PF_Pixel{7, 255, 255, 255};
    std::string error;
    ASSERT_TRUE(cwtool::writePng(dir.path("in.png"), in, error)) << error;
    cwtest::CommandRun r = cwtest::run({"render", dir.path("in.png"), dir.path("out.png"), "--plugin", cwtest::modulePath("tint")});
    ASSERT_EQ(r.status, 0) << r.err;
    refhost::World out;
    ASSERT_TRUE(cwtool::readPng(dir.path("out.png"), out, error)) << error;
    // orange (255, 128, 0) at 50%: red 200 stays; green 100 towards 100 * 128 / 255
    // = 50 gives 75.5, so 75; blue 50 towards 0 gives 25.5, so 25
    EXPECT_EQ(out.at(0, 0), (PF_Pixel{255, 200, 75, 25}));
    // white: green towards 128 gives 191.5, blue towards 0 gives 127.5, each rounded
    // up; alpha stays
    EXPECT_EQ(out.at(4, 2), (PF_Pixel{7, 255, 192, 128}));
    r = cwtest::run({"render", dir.path("in.png"), dir.path("out.png"), "--plugin", cwtest::modulePath("tint"), "--set",
                     "amount=100", "--set", "color=0,255,255"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(cwtool::readPng(dir.path("out.png"), out, error)) << error;
    EXPECT_EQ(out.at(0, 0), (PF_Pixel{255, 0, 100, 50}));
    cwtest::expectOneLineError(cwtest::run({"render", dir.path("in.png"), dir.path("x.png"), "--plugin", cwtest::modulePath("tint"),
                                            "--set", "amount=101"}),
                               2, "\"amount\" (float slider) must be from 0 to 100");
}

}  // namespace
