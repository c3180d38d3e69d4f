// Footage as users have it, made with ffmpeg's own sources: phone videos that
// carry a rotation, variable frame rates, pictures far larger than their files,
// videos with no frames, keys that overshoot, and renders ended by a kill or a
// closed terminal. Each result is held against ffmpeg's own decode of the file
// or against a still render with the value the keys must give.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

using cwtest::CommandRun;
using cwtest::expectOneLineError;
using cwtest::run;
using cwtest::shell;
using cwtest::shellQuote;
using cwtest::TempDir;

namespace {

// Settings under which the effect gives its input back: the source tinted by white, no squares.
const std::vector<std::string> kIdentity = {"--set", "background fill=source (tinted)", "--set",
                                            "background color=#FFFFFF", "--set", "squares fill=none"};

class Footage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cwtest::haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed: skipped (scripts/test installs it)";
    }
    std::string make(const std::string& name, const std::string& ffmpeg_args) {
        const std::string path = dir.path(name);
        EXPECT_EQ(shell("ffmpeg -v error -nostdin -y " + ffmpeg_args + " " + shellQuote(path)), 0) << name;
        return path;
    }
    int framesFfmpegDelivers(const std::string& video) {
        const std::string pattern = dir.path("count_%05d.png");
        EXPECT_EQ(shell("ffmpeg -v error -nostdin -i " + shellQuote(video) + " -map 0:v:0 " + shellQuote(pattern)), 0);
        int n = 0;
        for (const std::string& f : dir.files())
            if (f.rfind("count_", 0) == 0) ++n, std::remove(dir.path(f).c_str());
        return n;
    }
    TempDir dir;
};

refhost::World readPicture(const std::string& path) {
    refhost::World w;
    std::string error;
    EXPECT_TRUE(cwtool::readPng(path, w, error)) << error;
    return w;
}

// The largest difference of any channel of any pixel; -1 for another size.
int largestDifference(const refhost::World& a, const refhost::World& b) {
    if (a.width() != b.width() || a.height() != b.height()) return -1;
    int most = 0;
    for (int32_t y = 0; y < a.height(); ++y)
        for (int32_t x = 0; x < a.width(); ++x) {
            const PF_Pixel p = a.at(x, y), q = b.at(x, y);
            for (int d : {p.alpha - q.alpha, p.red - q.red, p.green - q.green, p.blue - q.blue}) most = std::max(most, std::abs(d));
        }
    return most;
}

TEST_F(Footage, ARotatedVideoRendersUprightAsPlayersShowIt) {
    const std::string stored = make("v.mp4", "-f lavfi -i testsrc2=s=64x48:r=25:d=0.4 -c:v libx264 -pix_fmt yuv420p");
    for (const char* rotation : {"90", "270"}) {
        const std::string phone = dir.path(std::string("rotated") + rotation + ".mp4");
        ASSERT_EQ(shell("ffmpeg -v error -nostdin -y -i " + shellQuote(stored) + " -c copy -metadata:s:v:0 rotate=" +
                        rotation + " " + shellQuote(phone)),
                  0);
        ASSERT_EQ(shell("ffmpeg -v error -nostdin -y -i " + shellQuote(phone) + " -frames:v 1 -pix_fmt rgba " +
                        shellQuote(dir.path("ffmpeg.png"))),
                  0);
        std::vector<std::string> args = {"render", phone, dir.path("ours.png"), "--frames", "0-0"};
        args.insert(args.end(), kIdentity.begin(), kIdentity.end());
        const CommandRun r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const refhost::World ours = readPicture(dir.path("ours.png")), theirs = readPicture(dir.path("ffmpeg.png"));
        EXPECT_EQ(ours.width(), 48) << rotation;
        EXPECT_EQ(ours.height(), 64) << rotation;
        EXPECT_LE(largestDifference(ours, theirs), 1) << "rotated by " << rotation;
        EXPECT_GE(largestDifference(ours, theirs), 0) << "rotated by " << rotation << ": sizes differ";
    }
}

TEST_F(Footage, AVariableRateVideoRendersItsWholeDuration) {
    // 25 frames spread over 2.6 s, as a phone or screen recorder writes them
    const std::string vfr = make("vfr.mp4",
                                 "-f lavfi -i testsrc2=s=64x48:r=25:d=1 -f lavfi -i sine=d=3 -vf "
                                 "\"setpts='if(lt(N,12),N*0.04,0.44+(N-11)*0.19)/TB'\" -fps_mode vfr -c:v libx264 "
                                 "-pix_fmt yuv420p -c:a aac");
    const int delivered = framesFfmpegDelivers(vfr);
    EXPECT_GT(delivered, 60) << "ffmpeg gives the clip at its constant rate";
    CommandRun r = run({"render", vfr, dir.path("f_%03d.png"), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    int written = 0;
    for (const std::string& f : dir.files()) written += f.rfind("f_", 0) == 0;
    EXPECT_EQ(written, delivered);
    char last[32];
    std::snprintf(last, sizeof(last), "f_%03d.png", delivered - 1);
    EXPECT_TRUE(std::ifstream(dir.path(last)).good()) << last;
    // the video out is as long, with its audio
    r = run({"render", vfr, dir.path("out.mp4"), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(framesFfmpegDelivers(dir.path("out.mp4")), delivered);
    // a range ending past the decoder's end says where the video ends
    expectOneLineError(run({"render", vfr, dir.path("g_%03d.png"), "--frames", "60-200"}), 1,
                       "ends before frame " + std::to_string(delivered) + " (its last frame is " +
                           std::to_string(delivered - 1) + ")");
}

TEST_F(Footage, OvershootingSmoothKeysGiveTheClampedValue) {
    // Catmull-Rom through 255, 1, 1, 255 dips far below 1 between the middle keys
    auto keyed = [&](const std::string& name, const std::string& keys, const std::string& out) {
        const CommandRun r = run({"render", "--demo", dir.path(out), "--duration", "102", "--frames", "50-50",
                                  "--animate", name, keys, "--quiet"});
        EXPECT_EQ(r.status, 0) << r.err;
        return cwtest::readBytes(dir.path(out.substr(0, out.find('%')) + "50.png"));
    };
    auto still = [&](const std::string& setting) {
        const CommandRun r = run({"render", "--demo", dir.path("still.png"), "--set", setting});
        EXPECT_EQ(r.status, 0) << r.err;
        return cwtest::readBytes(dir.path("still.png"));
    };
    EXPECT_EQ(keyed("squares across", "0~=255;1~=1;100~=1;101~=255", "a_%d.png"), still("squares across=1"));
    EXPECT_EQ(keyed("x scale", "0~=1000;1~=0.1;100~=0.1;101~=1000", "b_%d.png"), still("x scale=0.1"));
    EXPECT_EQ(keyed("wibble max", "0~=0;1~=10;100~=10;101~=0", "c_%d.png"), still("wibble max=10"));
}

TEST_F(Footage, AHugeVideoIsRefusedBeforeAnythingIsDecoded) {
    const std::string huge =
        make("huge.mkv", "-f lavfi -i color=black:s=16000x16000:d=0.04:r=25 -c:v mjpeg -pix_fmt yuvj420p");
    const CommandRun r = run({"render", huge, dir.path("out.png"), "--max-pixels", "1000000"});
    expectOneLineError(r, 1,
                       "cannot read " + huge + ": image too large: 16000 x 16000 pixels is over the limit of 1000000 "
                       "pixels (--max-pixels raises it)");
    EXPECT_LT(r.peak_memory_kb, 300 * 1024);
    EXPECT_LT(r.seconds, 10);
}

TEST_F(Footage, AVideoWithNoFramesFailsAndWritesNothing) {
    const std::string empty = make("empty.mkv", "-f lavfi -i testsrc2=s=64x48:r=25 -frames:v 0 -c:v ffv1");
    CommandRun r = run({"render", empty, dir.path("out.mkv")});
    EXPECT_EQ(r.status, 1) << r.err;
    // a file whose index promises frames that were never written: the header
    // reads, the decoder gets nothing
    const std::string whole = make("v.mp4", "-f lavfi -i testsrc2=s=64x48:r=25:d=0.2 -c:v libx264 -pix_fmt yuv420p "
                                            "-movflags +faststart");
    std::ifstream in(whole, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = 0, cut = 0;
    while (at + 8 <= bytes.size() && cut == 0) {
        const size_t size = (size_t{bytes[at]} << 24) | (size_t{bytes[at + 1]} << 16) | (size_t{bytes[at + 2]} << 8) | bytes[at + 3];
        if (std::string(bytes.begin() + static_cast<long>(at) + 4, bytes.begin() + static_cast<long>(at) + 8) == "mdat")
            cut = at + 8;
        if (size < 8) break;
        at += size;
    }
    ASSERT_GT(cut, 0u) << "the video's data box";
    bytes.resize(cut);
    const std::string video = dir.path("cut.mp4");
    cwtest::writeBytes(video, bytes);
    r = run({"render", video, dir.path("out.mkv")});
    expectOneLineError(r, 1, "cannot read " + video + ": it has no video frames");
    for (const std::string& f : dir.files()) EXPECT_EQ(f.rfind("out", 0), std::string::npos) << f;
}

TEST_F(Footage, AVideoWhoseSizeChangesIsRefusedAtTheFrameThatChanges) {
    // two H.264 streams of different sizes, one after the other in one file
    const std::string a = make("a.ts", "-f lavfi -i testsrc2=s=64x48:r=25:d=0.4 -c:v libx264 -pix_fmt yuv420p");
    const std::string b = make("b.ts", "-f lavfi -i testsrc2=s=80x48:r=25:d=0.4 -c:v libx264 -pix_fmt yuv420p");
    const std::string both = dir.path("both.ts");
    ASSERT_EQ(shell("cat " + shellQuote(a) + " " + shellQuote(b) + " > " + shellQuote(both)), 0);
    const CommandRun r = run({"render", both, dir.path("f_%02d.png"), "--quiet"});
    expectOneLineError(r, 1, "is 80 x 48, the first is 64 x 48 (a video whose size changes is not taken)");
}

TEST_F(Footage, AudioShorterThanTheVideoCutsNoFrame) {
    const std::string in = make("short_sound.mkv", "-f lavfi -i testsrc2=s=64x48:r=25:d=1 -f lavfi -i sine=d=0.3 "
                                                   "-c:v ffv1 -c:a flac");
    const CommandRun r = run({"render", in, dir.path("out.mp4"), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(framesFfmpegDelivers(dir.path("out.mp4")), 25);
    FILE* p = popen(("ffprobe -v error -select_streams a -show_entries stream=duration -of csv=p=0 " +
                     shellQuote(dir.path("out.mp4"))).c_str(), "r");
    char text[64] = {};
    const size_t n = fread(text, 1, sizeof(text) - 1, p);
    pclose(p);
    const double seconds = std::atof(std::string(text, n).c_str());
    EXPECT_GT(seconds, 0.25) << "the audio is there, as long as it is";
    EXPECT_LT(seconds, 0.4);
}

TEST_F(Footage, AVideoWithAlphaKeepsItsTransparency) {
    // VP9 keeps alpha only through libvpx: ffmpeg's own decoder would make it opaque
    CommandRun r = run({"render", "--demo", dir.path("cut.webm"), "--duration", "2", "--set",
                        "background fill=knockout", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> args = {"render", dir.path("cut.webm"), dir.path("back.png"), "--frames", "0-0"};
    args.insert(args.end(), kIdentity.begin(), kIdentity.end());
    r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const refhost::World back = readPicture(dir.path("back.png"));
    int transparent = 0, opaque = 0;
    for (int32_t y = 0; y < back.height(); ++y)
        for (int32_t x = 0; x < back.width(); ++x) {
            transparent += back.at(x, y).alpha == 0;
            opaque += back.at(x, y).alpha == 255;
        }
    EXPECT_GT(transparent, back.width() * back.height() / 2) << "the knocked-out background";
    EXPECT_GT(opaque, 0) << "the squares";
}

// ---- renders ended from outside ----

// The processes whose parent is `pid`.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> children;
    pid_t c;
    while (in >> c) children.push_back(c);
    return children;
}

bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

TEST_F(Footage, AKilledOrHungUpVideoRenderLeavesNothingAnywhere) {
    const std::string tmp = dir.path("tmp"), out = dir.path("out");
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    const std::string input = make("in.mp4", "-f lavfi -i testsrc2=s=320x240:r=25:d=30 -f lavfi -i sine=d=30 "
                                   "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac");
    for (int sig : {SIGKILL, SIGHUP, SIGTERM, SIGQUIT}) {
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", tmp.c_str(), 1);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0), dup2(null, 1), dup2(null, 2);
            execl(CHECKERWARP_CLI_PATH, CHECKERWARP_CLI_PATH, "render", input.c_str(), (out + "/o.mp4").c_str(), "-j",
                  "2", "--quiet", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        // in the middle: the workers and the ffmpeg that carries the audio are running
        std::vector<pid_t> children;
        for (int i = 0; i < 200 && children.size() < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            children = childrenOf(pid);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        children = childrenOf(pid);
        ASSERT_GE(children.size(), 3u) << "two workers and the audio's ffmpeg";
        ASSERT_EQ(kill(pid, sig), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status)) << strsignal(sig);
        for (pid_t c : children)
            for (int i = 0; i < 400 && running(c); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        for (pid_t c : children) EXPECT_FALSE(running(c)) << "child " << c << " outlives the command (" << strsignal(sig) << ")";
        std::vector<std::string> left;
        if (DIR* d = opendir(out.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") left.push_back(e->d_name);
            closedir(d);
        }
        if (DIR* d = opendir(tmp.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name).find("checkerwarp") != std::string::npos) left.push_back(e->d_name);
            closedir(d);
        }
        EXPECT_TRUE(left.empty()) << strsignal(sig) << " left " << left.front();
    }
}

TEST_F(Footage, AWorkerThatDiesIsNamedWithItsFrameAndSignal) {
    // a worker killed inside a frame: said with the frame and the signal, not a hang
    const std::string input = cwtest::writeSamplePicture(dir.path("in.png"));
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(dir.path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        // frames that take a while: tiny cells
        execl(CHECKERWARP_CLI_PATH, CHECKERWARP_CLI_PATH, "render", input.c_str(), dir.path("o_%d.png").c_str(),
              "--duration", "4", "-j", "2", "--quiet", "--set", "squares across=255", "--set", "x scale=0.1",
              "--set", "y scale=0.1", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::vector<pid_t> workers;
    for (int i = 0; i < 200 && workers.size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        workers = childrenOf(pid);
    }
    ASSERT_EQ(workers.size(), 2u);
    kill(workers[0], SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // the other worker, mid-frame, is stopped with the command, not waited for
    for (int i = 0; i < 200 && running(workers[1]); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_FALSE(running(workers[1]));
    std::ifstream in(dir.path("err"));
    std::string message((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) GTEST_SKIP() << "the frames finished before the kill";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string last_line = message.substr(message.rfind('\n', message.size() - 2) + 1);
    EXPECT_EQ(last_line.rfind("checkerwarp: the worker process rendering frame ", 0), 0u) << message;
    EXPECT_NE(message.find(" killed by signal 9 (Killed) before it finished the frame"), std::string::npos) << message;
}

}  // namespace
