// Time: keyed parameters in the reference host, and the command's sequences,
// videos, frame ranges and worker processes. Every frame of a timeline must be
// the bytes a still render with the interpolated values gives.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/animation.h"
#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

using cwtest::CommandRun;
using cwtest::expectOneLineError;
using cwtest::run;
using cwtest::TempDir;

namespace {

// ---- interpolation ----

refhost::ParamKey key(int64_t frame, PF_ParamDef def, refhost::KeyMode mode = refhost::KeyMode::kLinear) {
    return refhost::ParamKey{frame, def, mode};
}

TEST(Keys, EachTypeGoesFromKeyToKeyAsItShould) {
    PF_ParamDef f{};
    f.param_type = PF_Param_FLOAT_SLIDER;
    PF_ParamDef a = f, b = f;
    a.u.fs_d.value = 10;
    b.u.fs_d.value = 30;
    const std::vector<refhost::ParamKey> floats = {key(2, a), key(6, b)};
    EXPECT_EQ(refhost::valueAtFrame(floats, 0).u.fs_d.value, 10) << "before the first key, the first value";
    EXPECT_EQ(refhost::valueAtFrame(floats, 3).u.fs_d.value, 15);
    EXPECT_EQ(refhost::valueAtFrame(floats, 4.5).u.fs_d.value, 22.5) << "between frames too";
    EXPECT_EQ(refhost::valueAtFrame(floats, 9).u.fs_d.value, 30) << "after the last key, the last value";

    PF_ParamDef c{};
    c.param_type = PF_Param_COLOR;
    PF_ParamDef c0 = c, c1 = c;
    c0.u.cd.value = PF_Pixel{255, 0, 10, 255};
    c1.u.cd.value = PF_Pixel{255, 255, 13, 0};
    const PF_Pixel mid = refhost::valueAtFrame({key(0, c0), key(2, c1)}, 1).u.cd.value;
    EXPECT_EQ(mid, (PF_Pixel{255, 128, 12, 128})) << "each channel rounded to the nearest byte: 127.5, 11.5, 127.5";

    PF_ParamDef p{};
    p.param_type = PF_Param_POPUP;
    PF_ParamDef p0 = p, p1 = p;
    p0.u.pd.value = 1;
    p1.u.pd.value = 4;
    EXPECT_EQ(refhost::valueAtFrame({key(0, p0), key(4, p1)}, 3.9).u.pd.value, 1) << "popups change at the key";
    EXPECT_EQ(refhost::valueAtFrame({key(0, p0), key(4, p1)}, 4).u.pd.value, 4);

    PF_ParamDef pt{};
    pt.param_type = PF_Param_POINT;
    PF_ParamDef q0 = pt, q1 = pt;
    q0.u.td = {};
    q1.u.td = {};
    q1.u.td.x_value = 100 << 16;
    q1.u.td.y_value = -(50 << 16);
    const PF_ParamDef q = refhost::valueAtFrame({key(0, q0), key(4, q1)}, 1);
    EXPECT_EQ(q.u.td.x_value, 25 << 16);
    EXPECT_EQ(q.u.td.y_value, -(25 << 15));

    // held, and smooth: exact at the keys, the cubic between
    EXPECT_EQ(refhost::valueAtFrame({key(2, a, refhost::KeyMode::kHold), key(6, b)}, 5.9).u.fs_d.value, 10);
    std::vector<refhost::ParamKey> smooth;
    for (int k = 0; k < 4; ++k) {
        PF_ParamDef v = f;
        v.u.fs_d.value = 10 + 10 * k;  // 10, 20, 30, 40 at frames 0, 2, 4, 6
        smooth.push_back(key(2 * k, v, refhost::KeyMode::kSmooth));
    }
    EXPECT_EQ(refhost::valueAtFrame(smooth, 4).u.fs_d.value, 30);
    EXPECT_EQ(refhost::valueAtFrame(smooth, 3).u.fs_d.value, 25) << "on a straight line the cubic is the line";
    EXPECT_EQ(refhost::valueAtFrame(smooth, 1).u.fs_d.value, 14.375) << "at the ends the key is its own neighbour";
}

TEST(Keys, ThePluginsCheckoutAtAnyTimeSeesTheAnimation) {
    auto host = cwtest::startedHost();
    host->setFrameRate(25, 1);
    const int position = host->positionOfName("x offset");
    PF_ParamDef k0 = host->param(position), k1 = k0;
    k0.u.ad.value = 0;
    k1.u.ad.value = 360 << 16;
    host->params().animate(position, {key(0, k0), key(4, k1)});
    host->setFrame(3);
    EXPECT_EQ(host->inData().current_time, 3);
    EXPECT_EQ(host->inData().time_step, 1);
    EXPECT_EQ(host->inData().time_scale, 25u);
    PF_ParamDef out{};
    // frame 2 in another scale: 80 ms of 1000
    ASSERT_EQ(host->inData().inter.checkout_param(host->inData().effect_ref, position, 80, 40, 1000, &out), PF_Err_NONE);
    EXPECT_EQ(out.u.ad.value, 180 << 16);
    host->inData().inter.checkin_param(host->inData().effect_ref, &out);
    // and the render's array holds the value at its frame
    refhost::World in = cwtest::solidWorld(16, 16, PF_Pixel{255, 200, 100, 50});
    refhost::World a = cwtest::solidWorld(16, 16, PF_Pixel{0, 0, 0, 0});
    refhost::World b = cwtest::solidWorld(16, 16, PF_Pixel{0, 0, 0, 0});
    ASSERT_EQ(host->render(in.def(), a.def()), PF_Err_NONE);
    auto still = cwtest::startedHost();
    cwtest::setAngle(*still, "x offset", 270);
    ASSERT_EQ(still->render(in.def(), b.def()), PF_Err_NONE);
    EXPECT_TRUE(a.samePixels(b));
}

// ---- the command ----

class Motion : public ::testing::Test {
protected:
    void SetUp() override {
        input = cwtest::writeSamplePicture(dir.path("in.png"));
    }
    // The command's still render of the input with these --set values.
    std::vector<uint8_t> still(const std::vector<std::string>& sets) {
        std::vector<std::string> args = {"render", input, dir.path("still.png")};
        for (const std::string& s : sets) args.insert(args.end(), {"--set", s});
        const CommandRun r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return cwtest::readBytes(dir.path("still.png"));
    }
    std::vector<uint8_t> frame(const std::string& name) { return cwtest::readBytes(dir.path(name)); }
    TempDir dir;
    std::string input;
};

TEST_F(Motion, KeyedFramesEqualStillsWithTheInterpolatedValues) {
    CommandRun r = run({"render", input, dir.path("x_%d.png"), "--duration", "5", "--animate", "x offset", "0=0;4=360",
                        "--animate", "squares across", "0|=12;3=24", "--animate", "brick offset", "0~=0;2~=90;4~=180"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "no progress line off a terminal";
    const char* across[] = {"12", "12", "12", "24", "24"};
    for (int f = 0; f <= 4; ++f) {
        std::vector<std::string> sets = {"x offset=" + std::to_string(90 * f), std::string("squares across=") + across[f]};
        if (f % 2 == 0) {  // the smooth keys are exact at their frames
            sets.push_back("brick offset=" + std::to_string(45 * f));
            EXPECT_EQ(frame("x_" + std::to_string(f) + ".png"), still(sets)) << "frame " << f;
        }
    }
    // a still held for seconds at a rate
    ASSERT_EQ(run({"render", input, dir.path("s_%02d.png"), "--fps", "4", "--duration", "1s", "--animate", "x offset",
                   "00:00:00.000=0;00:00:00.500=180"})
                  .status,
              0);
    EXPECT_EQ(frame("s_01.png"), still({"x offset=90"}));
    EXPECT_EQ(frame("s_03.png"), still({"x offset=180"}));
    EXPECT_EQ(dir.files().size(), 2u + 5 + 4) << "in.png, still.png, 5 and 4 frames";
}

TEST_F(Motion, PiecesAndWorkersGiveTheWholeRendersFrames) {
    const std::vector<std::string> common = {"--duration", "9", "--animate", "x offset", "0=0;8=360", "--set",
                                             "background fill=tile"};
    auto render = [&](const std::string& out, std::vector<std::string> extra) {
        std::vector<std::string> args = {"render", input, dir.path(out)};
        args.insert(args.end(), common.begin(), common.end());
        args.insert(args.end(), extra.begin(), extra.end());
        const CommandRun r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    render("one_%d.png", {"-j", "1"});
    render("two_%d.png", {"-j", "2"});
    render("piece_%d.png", {"--frames", "0-3", "-j", "2"});
    render("piece_%d.png", {"--frames", "4-8"});
    for (int f = 0; f <= 8; ++f) {
        const std::string n = std::to_string(f) + ".png";
        EXPECT_EQ(frame("two_" + n), frame("one_" + n)) << f;
        EXPECT_EQ(frame("piece_" + n), frame("one_" + n)) << f;
    }
}

TEST_F(Motion, ASequenceKeepsItsNumbersAndCountsKeysFromItsFirstFrame) {
    ASSERT_EQ(mkdir(dir.path("shots").c_str(), 0755), 0);
    for (int n = 5; n <= 7; ++n)
        ASSERT_EQ(std::system(("cp " + input + " " + dir.path("shots/in_00" + std::to_string(n) + ".png")).c_str()), 0);
    CommandRun r = run({"render", dir.path("shots/in_%03d.png"), dir.path("out_%04d.png"), "--animate", "x offset",
                        "0=0;2=180"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(frame("out_0005.png"), still({"x offset=0"}));
    EXPECT_EQ(frame("out_0006.png"), still({"x offset=90"}));
    EXPECT_EQ(frame("out_0007.png"), still({"x offset=180"}));
    ASSERT_EQ(run({"render", dir.path("shots/in_%03d.png"), dir.path("part_%04d.png"), "--frames", "6-6", "--animate",
                   "x offset", "0=0;2=180"})
                  .status,
              0);
    EXPECT_EQ(frame("part_0006.png"), frame("out_0006.png"));
    // a frame missing in the middle, and one of another size
    std::remove(dir.path("shots/in_006.png").c_str());
    expectOneLineError(run({"render", dir.path("shots/in_%03d.png"), dir.path("bad_%d.png")}), 1,
                       "frame 6 of " + dir.path("shots/in_%03d.png") + " is missing");
    cwtest::PngSpec other;
    other.width = 20;
    other.height = 10;
    cwtest::writeTestPng(dir.path("shots/in_006.png"), other);
    expectOneLineError(run({"render", dir.path("shots/in_%03d.png"), dir.path("bad_%d.png")}), 1, "differ in size");
    for (const std::string& f : dir.files()) EXPECT_EQ(f.rfind("bad_", 0), std::string::npos) << f;
}

TEST_F(Motion, BadRequestsAreOneLineAndWriteNothing) {
    const std::string out = dir.path("bad_%d.png");
    auto bad = [&](std::vector<std::string> extra, int status, const std::string& says) {
        std::vector<std::string> args = {"render", input, out, "--duration", "5"};
        args.insert(args.end(), extra.begin(), extra.end());
        expectOneLineError(run(args), status, says);
    };
    bad({"--animate", "x ofset", "0=0"}, 2, "unknown parameter \"x ofset\"; did you mean \"x offset\"");
    bad({"--animate", "x offset", "0=0;4x=1"}, 2, "key 2 (\"4x=1\"): its time \"4x\" is not a frame number");
    bad({"--animate", "x offset", "0=0;three"}, 2, "key 2 (\"three\") is not TIME=VALUE");
    bad({"--animate", "x offset", "2=0;2=1"}, 2, "its time (frame 2) is not after the key before it (frame 2)");
    bad({"--animate", "squares across", "0=1;4=300"}, 2, "\"squares across\" (float slider) must be from 1 to 255");
    bad({"--animate", "x offset"}, 2, "--animate needs NAME and KEYS");
    bad({"--frames", "3-9"}, 2, "--frames 3-9 is outside the timeline, frames 0 to 4");
    bad({"--frames", "3-1"}, 2, "--frames 3-1 is reversed");
    bad({"--frames", "x"}, 2, "--frames takes A-B");
    bad({"--fps", "0"}, 2, "--fps takes frames a second");
    // one rule for both forms: at most 1000 frames a second
    bad({"--fps", "1000.5"}, 2, "--fps takes frames a second up to 1000");
    bad({"--fps", "2000/1"}, 2, "--fps takes frames a second up to 1000");
    bad({"--duration", "-2"}, 2, "--duration takes a number of frames");
    bad({"-j", "0"}, 2, "from 1 to 256");
    expectOneLineError(run({"render", input, dir.path("one.png"), "--duration", "3"}), 2, "a PNG output takes one frame");
    expectOneLineError(run({"render", dir.path("none_%d.png"), out}), 1, "no frames match");
    expectOneLineError(run({"render", input, dir.path("x.avi"), "--duration", "2"}), 2,
                       ".avi is not a kind this program writes; name a .png, a pattern of them (out_%04d.png) or a "
                       "video (.mp4, .mov, .mkv, .webm, .gif)");
    expectOneLineError(run({"render", input, dir.path("x.jpg")}), 2, ".jpg is not a kind this program writes");
    expectOneLineError(run({"render", input, dir.path("x_%04294967297d.png"), "--duration", "2"}), 2,
                       "a frame number is at most 18 digits wide (%018d), not %04294967297d");
    expectOneLineError(run({"render", input, dir.path("x_%02147483648d.png"), "--duration", "2"}), 2,
                       "at most 18 digits wide");
    expectOneLineError(run({"render", input, dir.path("x_%d_%d.png"), "--duration", "2"}), 2,
                       "a pattern holds one frame number");
    expectOneLineError(run({"render", input, out, "--frames", "0-9223372036854775807"}), 2,
                       "--frames takes A-B, two frame numbers from 0 to 999999999999999");
    expectOneLineError(run({"render", input, dir.path("nofolder/x_%d.png"), "--duration", "2"}), 1,
                       "does not exist (make it with mkdir -p)");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"in.png"}));
}

// ---- video, through ffmpeg ----

using cwtest::haveFfmpeg;

TEST_F(Motion, ALosslessVideoGivesBackTheSequencesFrames) {
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: skipped (scripts/test installs it)";
    const std::vector<std::string> keys = {"--duration", "4", "--animate", "x offset", "0=0;3=270", "--quiet"};
    auto render = [&](const std::string& out, const std::string& j) {
        std::vector<std::string> args = {"render", input, dir.path(out), "-j", j};
        args.insert(args.end(), keys.begin(), keys.end());
        const CommandRun r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    render("f_%d.png", "1");
    render("v.mkv", "2");
    // the video's frames, decoded by ffmpeg alone
    ASSERT_EQ(std::system(("ffmpeg -v error -i " + dir.path("v.mkv") + " -pix_fmt rgba " + dir.path("back_%d.png") +
                           " -start_number 0")
                              .c_str()),
              0);
    for (int f = 0; f < 4; ++f) {
        refhost::World a, b;
        std::string error;
        ASSERT_TRUE(cwtool::readPng(dir.path("f_" + std::to_string(f) + ".png"), a, error)) << error;
        ASSERT_TRUE(cwtool::readPng(dir.path("back_" + std::to_string(f + 1) + ".png"), b, error)) << error;
        EXPECT_TRUE(a.samePixels(b)) << "frame " << f;
    }
    // the video as an input: its frames numbered from 0, and the same again
    const CommandRun r = run({"render", dir.path("v.mkv"), dir.path("again_%d.png"), "--frames", "2-3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.files().size(), 1u + 4 + 1 + 4 + 2);
}

TEST_F(Motion, WorkersGiveAVideosFramesAsOneProcessDoes) {
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: skipped (scripts/test installs it)";
    // a lossless video in; its frames through two workers (decoded into their
    // shared inputs, delivered from their shared outputs) and through one
    const std::string in = dir.path("in.mkv");
    ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i testsrc2=size=70x40:rate=25:duration=0.28 -c:v ffv1 " + in)
                              .c_str()),
              0);
    const std::vector<std::string> keys = {"--animate", "x offset", "0=0;6=90", "--quiet"};
    auto render = [&](const std::string& out, const char* jobs) {
        std::vector<std::string> args = {"render", in, dir.path(out), "-j", jobs};
        args.insert(args.end(), keys.begin(), keys.end());
        const CommandRun r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    render("one_%d.png", "1");
    render("two_%d.png", "2");
    render("one.mkv", "1");
    render("two.mkv", "2");
    for (int f = 0; f < 7; ++f) {
        refhost::World a, b;
        std::string error;
        ASSERT_TRUE(cwtool::readPng(dir.path("one_" + std::to_string(f) + ".png"), a, error)) << error;
        ASSERT_TRUE(cwtool::readPng(dir.path("two_" + std::to_string(f) + ".png"), b, error)) << error;
        EXPECT_TRUE(a.samePixels(b)) << "frame " << f;
    }
    auto frames = [&](const std::string& video) {
        std::string text;
        FILE* p = popen(("ffmpeg -v error -i " + dir.path(video) + " -f framemd5 -").c_str(), "r");
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) text.append(buffer, n);
        pclose(p);
        return text;
    };
    const std::string one = frames("one.mkv");
    int lines = 0;  // a frame's line starts with its stream, 0
    for (size_t at = 0; (at = one.find("\n0,", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 7);
    EXPECT_EQ(one, frames("two.mkv"));
}

TEST_F(Motion, EveryVideoFormatIsWrittenWhole) {
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: skipped (scripts/test installs it)";
    for (const char* ext : {"mp4", "mov", "mkv", "webm", "gif"}) {
        const std::string out = dir.path(std::string("v.") + ext);
        const CommandRun r = run({"render", "--demo", out, "--duration", "3", "--fps", "30000/1001", "--quiet"});
        ASSERT_EQ(r.status, 0) << ext << ": " << r.err;
        FILE* p = popen(("ffprobe -v error -count_frames -select_streams v -show_entries "
                         "stream=nb_read_frames,width,height -of csv=p=0 " + out).c_str(), "r");
        char text[128] = {};
        const size_t n = fread(text, 1, sizeof(text) - 1, p);
        pclose(p);
        EXPECT_EQ(std::string(text, n), "960,540,3\n") << ext;
        std::remove(out.c_str());
    }
}

TEST_F(Motion, AVideosAudioIsCarriedOver) {
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: skipped (scripts/test installs it)";
    const std::string in = dir.path("in.mp4");
    ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=25:duration=1 -f lavfi -i "
                           "sine=duration=1 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest " +
                           in)
                              .c_str()),
              0);
    CommandRun r = run({"render", in, dir.path("out.mp4"), "--set", "squares across=20"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"render", in, dir.path("out.mkv"), "--frames", "5-14"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string probe = "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 ";
    FILE* p = popen((probe + dir.path("out.mp4")).c_str(), "r");
    char text[256] = {};
    const size_t n = fread(text, 1, sizeof(text) - 1, p);
    pclose(p);
    EXPECT_NE(std::string(text, n).find("audio"), std::string::npos) << text;
    // the decoder's end is the video's end: found when it comes, and nothing is written
    expectOneLineError(run({"render", in, dir.path("x.mp4"), "--frames", "20-30"}), 1,
                       in + " ends before frame 25 (its last frame is 24)");
    EXPECT_NE(access(dir.path("x.mp4").c_str(), F_OK), 0);
    for (const std::string& f : dir.files()) EXPECT_EQ(f.find(".checkerwarp-"), std::string::npos) << f;
}

TEST_F(Motion, FfmpegMissingOrFailingIsOneLineAndLeavesNothing) {
    if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: skipped (scripts/test installs it)";
    // a video H.264 cannot take: an odd width for 4:2:0, said before anything is rendered
    expectOneLineError(run({"render", input, dir.path("odd.mp4"), "--duration", "2"}), 1,
                       "cannot write " + dir.path("odd.mp4") + ": H.264 in .mp4 takes only even widths and heights, "
                       "and the frames are 97 x 61; crop or pad the input to even sides, or write .mov, .mkv or .webm");
    // the video is written in this process; a video's audio is carried by
    // ffmpeg, and an ffmpeg that fails is one line, its last
    const std::string with_audio = dir.path("sound.mkv");
    ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i testsrc=size=32x16:rate=25:duration=0.2 -f lavfi -i "
                           "sine=duration=0.2 -c:v ffv1 -c:a flac " + with_audio).c_str()),
              0);
    const std::string fake = dir.path("bin");
    ASSERT_EQ(mkdir(fake.c_str(), 0755), 0);
    const std::string script = "#!/bin/sh\necho 'first line' >&2\necho 'the encoder broke' >&2\nexit 3\n";
    cwtest::writeBytes(fake + "/ffmpeg", std::vector<uint8_t>(script.begin(), script.end()));
    ASSERT_EQ(chmod((fake + "/ffmpeg").c_str(), 0755), 0);
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (fake + ":" + saved).c_str(), 1);
    const CommandRun failed = run({"render", with_audio, dir.path("x.mkv")});
    // a PNG's video needs no ffmpeg at all
    const CommandRun silent = run({"render", input, dir.path("y.mkv"), "--duration", "2"});
    setenv("PATH", "/nonexistent", 1);
    const CommandRun missing = run({"render", with_audio, dir.path("x.mkv")});
    setenv("PATH", saved.c_str(), 1);
    expectOneLineError(failed, 1, "cannot write " + dir.path("x.mkv") + ": ffmpeg failed: the encoder broke");
    expectOneLineError(missing, 1, "ffmpeg is not installed: install it with 'apt-get install ffmpeg'");
    EXPECT_EQ(silent.status, 0) << silent.err;
    ASSERT_EQ(std::remove(dir.path("y.mkv").c_str()), 0);
    std::vector<std::string> left = dir.files();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"bin", "in.png", "sound.mkv"}));
}

}  // namespace
