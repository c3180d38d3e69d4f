// The frei0r filters inside the real video tools: ffmpeg, melt (MLT) and
// GStreamer each render a picture with the filter, and every frame must equal
// the command's render of it with the same settings, byte for byte. A tool
// that is not installed is skipped with a note (scripts/test installs them).
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

using cwtest::shellQuote;

namespace {

bool installed(const char* tool) {
    return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0;
}

#define NEEDS(tool)                                                                                   \
    do {                                                                                              \
        if (CHECKERWARP_SANITIZED) GTEST_SKIP() << "the video tools cannot load a sanitized module"; \
        if (!installed(tool)) GTEST_SKIP() << tool << " is not installed: skipped (scripts/test installs it)"; \
    } while (0)

#ifdef CHECKERWARP_SANITIZED_BUILD
constexpr bool CHECKERWARP_SANITIZED = true;
#else
constexpr bool CHECKERWARP_SANITIZED = false;
#endif

// Runs a shell command with the build's frei0r folder on FREI0R_PATH.
int shell(const std::string& command) {
    return std::system(("FREI0R_PATH=" + shellQuote(cwtest::frei0rFolder()) + " " + command + " >/dev/null 2>&1").c_str());
}

class Frei0rHosts : public ::testing::Test {
protected:
    void SetUp() override {
        input = dir.path("in.png");
        cwtest::PngSpec s;
        s.width = 101;  // odd sizes: the hosts pass any size
        s.height = 75;
        cwtest::writeTestPng(input, s);
    }
    // The command's render of the input with these options.
    refhost::World command(const std::vector<std::string>& options) {
        std::vector<std::string> args = {"render", input, dir.path("command.png")};
        args.insert(args.end(), options.begin(), options.end());
        const cwtest::CommandRun r = cwtest::run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return picture(dir.path("command.png"));
    }
    // A melt profile of the picture's own size, so that melt hands its RGBA through unscaled.
    void writeProfile() {
        const std::string p = "description=picture\nframe_rate_num=25\nframe_rate_den=1\nwidth=101\nheight=75\n"
                              "progressive=1\nsample_aspect_num=1\nsample_aspect_den=1\ndisplay_aspect_num=101\n"
                              "display_aspect_den=75\ncolorspace=709\n";
        cwtest::writeBytes(dir.path("profile"), std::vector<uint8_t>(p.begin(), p.end()));
    }
    refhost::World picture(const std::string& path) {
        refhost::World w;
        std::string error;
        EXPECT_TRUE(cwtool::readPng(path, w, error)) << error;
        return w;
    }
    cwtest::TempDir dir;
    std::string input;
};

TEST_F(Frei0rHosts, FfmpegRendersWhatTheCommandRenders) {
    NEEDS("ffmpeg");
    // ffmpeg 5.1 (Debian 12) hands a frei0r filter its frames with rows padded
    // to 64 bytes, which frei0r cannot describe: widths that are a multiple of
    // 16 pixels arrive unpadded
    cwtest::PngSpec s;
    s.width = 96;
    s.height = 75;
    cwtest::writeTestPng(input, s);
    const std::string out = dir.path("ffmpeg.png");
    auto ffmpeg = [&](const std::string& filter) {
        return shell("ffmpeg -v error -y -i " + shellQuote(input) + " -vf " + shellQuote(filter) + " -pix_fmt rgba " +
                     shellQuote(out));
    };
    ASSERT_EQ(ffmpeg("frei0r=checkerwarp"), 0);
    EXPECT_TRUE(picture(out).samePixels(command({}))) << "defaults";
    // values by position: squares across, center x, center y, background color, background fill
    ASSERT_EQ(ffmpeg("frei0r=checkerwarp:0.5|0.25|0.75|0.2/0.4/0.6|tile"), 0);
    EXPECT_TRUE(picture(out).samePixels(command({"--set", "squares across=127.5", "--set", "center=24,56.25", "--set",
                                                 "background color=51,102,153", "--set", "background fill=tile"})));
    // the example effect too: color, amount
    ASSERT_EQ(ffmpeg("frei0r=tint:0/1/1|1"), 0);
    EXPECT_TRUE(picture(out).samePixels(
        command({"--plugin", cwtest::modulePath("tint"), "--set", "color=0,255,255", "--set", "amount=100"})));
    // and pixelate: cell size (0.001 is 4.096 pixels), offset x, offset y, keep alpha
    ASSERT_EQ(ffmpeg("frei0r=pixelate"), 0);
    EXPECT_TRUE(picture(out).samePixels(command({"--plugin", cwtest::modulePath("pixelate")}))) << "pixelate's defaults";
    ASSERT_EQ(ffmpeg("frei0r=pixelate:0.001|0.25|0.5|y"), 0);
    EXPECT_TRUE(picture(out).samePixels(command({"--plugin", cwtest::modulePath("pixelate"), "--set", "cell size=4.096",
                                                 "--set", "offset=24,37.5", "--set", "keep alpha=on"})));
}

TEST_F(Frei0rHosts, MeltKeyframesGiveTheCommandsFrames) {
    NEEDS("melt");
    writeProfile();
    // melt 7.12 on a loaded machine now and then ends with status 0 before its
    // consumer has written a frame (with or without a filter, from a picture or
    // a video): it writes every frame or none, so a run that wrote none is run again
    for (int attempt = 0; attempt < 5 && access(dir.path("melt_1.png").c_str(), F_OK) != 0; ++attempt)
        ASSERT_EQ(shell("melt -quiet -profile " + shellQuote(dir.path("profile")) + " " + shellQuote(input) +
                        " out=4 -filter frei0r.checkerwarp 'x offset=0=0;4=1' 'background fill=tile' -consumer "
                        "avformat:" + shellQuote(dir.path("melt_%d.png")) +
                        " vcodec=png mlt_image_format=rgba pix_fmt=rgba real_time=0"),
                  0);
    // x offset from 0 to 360 degrees over frames 0 to 4 (melt numbers its files from 1)
    for (int frame = 0; frame <= 4; ++frame)
        EXPECT_TRUE(picture(dir.path("melt_" + std::to_string(frame + 1) + ".png"))
                        .samePixels(command({"--set", "x offset=" + std::to_string(90 * frame), "--set",
                                             "background fill=tile"})))
            << "frame " << frame;
}

// ffmpeg 5.1 pads the rows of frames whose width is not a multiple of 16: the
// filter says so once, naming the width and what to do; a width that is a
// multiple of 16, and melt at any width, hear nothing.
TEST_F(Frei0rHosts, FfmpegThatPadsRowsIsToldOnce) {
    NEEDS("ffmpeg");
    NEEDS("melt");
    const std::string err = dir.path("err.txt");
    auto ffmpeg = [&](const std::string& filter) {
        std::system(("FREI0R_PATH=" + shellQuote(cwtest::frei0rFolder()) + " ffmpeg -v error -y -i " + shellQuote(input) +
                     " -vf " + shellQuote(filter) + " -frames:v 1 " + shellQuote(dir.path("o.png")) + " 2>" +
                     shellQuote(err))
                        .c_str());
        const std::vector<uint8_t> bytes = cwtest::readBytes(err);
        return std::string(bytes.begin(), bytes.end());
    };
    const unsigned avfilter = [] {
        FILE* p = popen("ffmpeg -hide_banner -version 2>/dev/null | grep -o 'libavfilter *[0-9]*' | grep -o '[0-9]*$'", "r");
        char line[32] = {};
        if (p && std::fgets(line, sizeof(line), p)) pclose(p);
        return static_cast<unsigned>(std::atoi(line));
    }();
    const std::string odd = ffmpeg("scale=100:50,frei0r=checkerwarp,frei0r=checkerwarp");
    if (avfilter < 9) {
        EXPECT_NE(odd.find("checkerwarp frei0r: this ffmpeg (libavfilter " + std::to_string(avfilter) + "."),
                  std::string::npos)
            << odd;
        EXPECT_NE(odd.find("frames of width 100 with padded rows"), std::string::npos) << odd;
        EXPECT_EQ(odd.find("padded rows"), odd.rfind("padded rows")) << "once: " << odd;
    } else {
        EXPECT_EQ(odd.find("padded rows"), std::string::npos) << "this ffmpeg copies such frames: " << odd;
    }
    EXPECT_EQ(ffmpeg("scale=96:50,frei0r=checkerwarp").find("padded rows"), std::string::npos);
    ASSERT_EQ(std::system(("FREI0R_PATH=" + shellQuote(cwtest::frei0rFolder()) + " melt -quiet " + shellQuote(input) +
                           " out=0 -filter frei0r.checkerwarp -consumer avformat:" + shellQuote(dir.path("m.png")) +
                           " vcodec=png real_time=0 2>" + shellQuote(err))
                              .c_str()),
              0);
    const std::vector<uint8_t> melt = cwtest::readBytes(err);
    EXPECT_EQ(std::string(melt.begin(), melt.end()).find("padded rows"), std::string::npos) << "melt passes packed rows";
}

// As an editor saves a project: parameters by name, values written with 6
// significant digits of frei0r's [0, 1], keyframes in clock time. melt's
// frames must be the command's with the values the user typed.
TEST_F(Frei0rHosts, MeltRendersAProjectSavedWithSixDigitsAsTheUserSetIt) {
    NEEDS("melt");
    writeProfile();
    // typed: 12.3 squares across, 37.5 % x scale, wibble max 0.45 cells, wibble
    // angle 22.5 degrees; x offset keyed 0 at 0 s and 90 degrees at 0.16 s
    // (frame 4); a tile mosaic tinted white
    auto saved = [](double v) {
        char text[32];
        std::snprintf(text, sizeof(text), "%g", v);
        return std::string(text);
    };
    const std::string filter = "'squares across=" + saved(12.3 / 255) + "' 'x scale=" + saved(37.5 / 1000) +
                               "' 'wibble max=" + saved(0.45 / 10) + "' 'wibble angle=" + saved(22.5 / 360) +
                               "' 'x offset=00:00:00.000=0;00:00:00.160=" + saved(90.0 / 360) +
                               "' 'background fill=2' 'background color=#ffffff' 'squares fill=1'";
    for (int attempt = 0; attempt < 5 && access(dir.path("melt_1.png").c_str(), F_OK) != 0; ++attempt)
        ASSERT_EQ(shell("melt -quiet -profile " + shellQuote(dir.path("profile")) + " " + shellQuote(input) +
                        " out=4 -filter frei0r.checkerwarp " + filter + " -consumer avformat:" +
                        shellQuote(dir.path("melt_%d.png")) + " vcodec=png mlt_image_format=rgba pix_fmt=rgba real_time=0"),
                  0);
    for (int frame = 0; frame <= 4; ++frame)
        EXPECT_TRUE(picture(dir.path("melt_" + std::to_string(frame + 1) + ".png"))
                        .samePixels(command({"--set", "squares across=12.3", "--set", "x scale=37.5", "--set",
                                             "wibble max=0.45", "--set", "wibble angle=22.5", "--set",
                                             "x offset=" + std::to_string(22.5 * frame), "--set", "background fill=tile",
                                             "--set", "background color=#ffffff"})))
            << "frame " << frame;
    // and what MLT reports as the defaults renders the command's defaults
    cwtest::TempDir again;
    for (int attempt = 0; attempt < 5 && access(again.path("melt_1.png").c_str(), F_OK) != 0; ++attempt)
        ASSERT_EQ(shell("melt -quiet -profile " + shellQuote(dir.path("profile")) + " " + shellQuote(input) +
                        " out=0 -filter frei0r.checkerwarp 'squares across=" + saved(12.0 / 255) + "' 'x scale=" +
                        saved(100.0 / 1000) + "' 'y scale=" + saved(100.0 / 1000) + "' -consumer avformat:" +
                        shellQuote(again.path("melt_%d.png")) + " vcodec=png mlt_image_format=rgba pix_fmt=rgba real_time=0"),
                  0);
    EXPECT_TRUE(picture(again.path("melt_1.png")).samePixels(command({}))) << "the defaults";
}

// A project file as Shotcut saves it (MLT XML: the filter's properties by
// name, colours as #AARRGGBB, keys in clock time), rendered by melt.
TEST_F(Frei0rHosts, MeltRendersAShotcutProjectAsTheUserSetIt) {
    NEEDS("melt");
    const std::string project =
        "<?xml version=\"1.0\" standalone=\"no\"?>\n"
        "<mlt LC_NUMERIC=\"C\" version=\"7.12.0\" title=\"Shotcut version 22.12.21\" producer=\"main_bin\">\n"
        "  <profile description=\"picture\" width=\"101\" height=\"75\" progressive=\"1\" sample_aspect_num=\"1\" "
        "sample_aspect_den=\"1\" display_aspect_num=\"101\" display_aspect_den=\"75\" frame_rate_num=\"25\" "
        "frame_rate_den=\"1\" colorspace=\"709\"/>\n"
        "  <producer id=\"producer0\" in=\"00:00:00.000\" out=\"00:00:00.160\">\n"
        "    <property name=\"length\">00:00:00.200</property>\n"
        "    <property name=\"resource\">" + input + "</property>\n"
        "    <filter id=\"filter0\" out=\"00:00:00.160\">\n"
        "      <property name=\"mlt_service\">frei0r.checkerwarp</property>\n"
        "      <property name=\"squares across\">0.0482353</property>\n"       // 12.3 typed
        "      <property name=\"y scale\">0.1375</property>\n"                  // 137.5 %
        "      <property name=\"brick offset\">00:00:00.000=0;00:00:00.160=0.5</property>\n"  // 0 to 180 degrees
        "      <property name=\"background fill\">2</property>\n"
        "      <property name=\"background color\">#ff336699</property>\n"
        "    </filter>\n"
        "  </producer>\n"
        "  <playlist id=\"main_bin\"><entry producer=\"producer0\" in=\"00:00:00.000\" out=\"00:00:00.160\"/></playlist>\n"
        "</mlt>\n";
    cwtest::writeBytes(dir.path("project.mlt"), std::vector<uint8_t>(project.begin(), project.end()));
    for (int attempt = 0; attempt < 5 && access(dir.path("shot_1.png").c_str(), F_OK) != 0; ++attempt)
        ASSERT_EQ(shell("melt -quiet " + shellQuote(dir.path("project.mlt")) + " -consumer avformat:" +
                        shellQuote(dir.path("shot_%d.png")) + " vcodec=png mlt_image_format=rgba pix_fmt=rgba real_time=0"),
                  0);
    for (int frame = 0; frame <= 4; ++frame)
        EXPECT_TRUE(picture(dir.path("shot_" + std::to_string(frame + 1) + ".png"))
                        .samePixels(command({"--set", "squares across=12.3", "--set", "y scale=137.5", "--set",
                                             "brick offset=" + std::to_string(45 * frame), "--set",
                                             "background fill=tile", "--set", "background color=51,102,153"})))
            << "frame " << frame;
}

TEST_F(Frei0rHosts, GStreamerRendersWhatTheCommandRenders) {
    NEEDS("gst-launch-1.0");
    const std::string out = dir.path("gst.png");
    ASSERT_EQ(shell("gst-launch-1.0 -q filesrc location=" + shellQuote(input) +
                    " ! pngdec ! videoconvert ! video/x-raw,format=RGBA ! frei0r-filter-checkerwarp squares-across=0.5 "
                    "background-fill=tile x-offset=0.25 ! videoconvert ! video/x-raw,format=RGBA ! pngenc ! filesink "
                    "location=" +
                    shellQuote(out)),
              0);
    EXPECT_TRUE(picture(out).samePixels(
        command({"--set", "squares across=127.5", "--set", "background fill=tile", "--set", "x offset=90"})));
}

}  // namespace

namespace {

// A video's frames through the command equal the same module's inside ffmpeg:
// both decode H.264 to the same RGBA, and the same settings render the same
// bytes.
TEST_F(Frei0rHosts, AVideoRendersAsTheSameModuleInsideFfmpeg) {
    NEEDS("ffmpeg");
    const std::string video = dir.path("in.mp4");
    ASSERT_EQ(shell("ffmpeg -v error -y -f lavfi -i testsrc2=s=96x64:r=25:d=0.2 -c:v libx264 -pix_fmt yuv420p " +
                    shellQuote(video)),
              0);
    ASSERT_EQ(shell("ffmpeg -v error -y -i " + shellQuote(video) +
                    " -vf 'frei0r=checkerwarp:0.2|0.5|0.5|1/1/1|tile' -pix_fmt rgba " +
                    shellQuote(dir.path("ffmpeg_%d.png"))),
              0);
    const cwtest::CommandRun r = cwtest::run({"render", video, dir.path("command_%d.png"), "--set", "squares across=51",
                                              "--set", "center=48,32", "--set", "background color=#FFFFFF", "--set",
                                              "background fill=tile", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int frame = 0; frame < 5; ++frame)
        EXPECT_TRUE(picture(dir.path("command_" + std::to_string(frame) + ".png"))
                        .samePixels(picture(dir.path("ffmpeg_" + std::to_string(frame + 1) + ".png"))))
            << "frame " << frame;
}

}  // namespace
