// The command against hostile files and users: memory bombs, output paths
// that are not plain files, renders interrupted by signals or time limits, and
// pictures through pipes.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

using cwtest::CommandRun;
using cwtest::expectOneLineError;
using cwtest::run;
using cwtest::TempDir;

namespace {

void putBig32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
}

void putChunk(std::vector<uint8_t>& b, const char* type, const std::vector<uint8_t>& data) {
    putBig32(b, static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    b.insert(b.end(), body.begin(), body.end());
    putBig32(b, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// A PNG that declares side x side RGBA pixels and holds almost no data.
std::vector<uint8_t> memoryBomb(uint32_t side) {
    std::vector<uint8_t> b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    putBig32(ihdr, side);
    putBig32(ihdr, side);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    putChunk(b, "IHDR", ihdr);
    putChunk(b, "IDAT", {0x78, 0x9C, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
    putChunk(b, "IEND", {});
    return b;
}

class CliOutput : public ::testing::Test {
protected:
    void SetUp() override {
        input = cwtest::writeSamplePicture(dir.path("in.png"));
    }
    // Renders the input to `path` and returns the bytes a render to a plain file gives.
    std::vector<uint8_t> expectedBytes() {
        const std::string reference = dir.path("reference.png");
        EXPECT_EQ(run({"render", input, reference}).status, 0);
        std::vector<uint8_t> bytes = cwtest::readBytes(reference);
        std::remove(reference.c_str());
        return bytes;
    }
    TempDir dir;
    std::string input;
};

TEST_F(CliOutput, TheMemoryBombIsRefusedAtOnceWithTheLimitNamed) {
    const std::vector<uint8_t> bomb = memoryBomb(23150);
    EXPECT_LT(bomb.size(), 80u);
    cwtest::writeBytes(dir.path("bomb.png"), bomb);
    CommandRun r = run({"render", dir.path("bomb.png"), dir.path("out.png")});
    expectOneLineError(r, 1, "23150 x 23150 pixels is over the limit of 268435456 pixels (--max-pixels raises it)");
    EXPECT_LT(r.seconds, 2.0);
    EXPECT_LT(r.peak_memory_kb, 100 * 1024);
    // Allowed past the limit, the frame is mapped on demand: the missing data is
    // found before memory is spent on it.
    r = run({"render", dir.path("bomb.png"), dir.path("out.png"), "--max-pixels", "1000000000"});
    expectOneLineError(r, 1, "cannot read");
    EXPECT_LT(r.seconds, 2.0);
    EXPECT_LT(r.peak_memory_kb, 100 * 1024);
    // an ancillary chunk that claims 1.9 GB in a 110-byte file (found by the fuzzer)
    std::vector<uint8_t> sneaky = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    putBig32(ihdr, 2);
    putBig32(ihdr, 2);
    ihdr.insert(ihdr.end(), {8, 3, 0, 0, 0});
    putChunk(sneaky, "IHDR", ihdr);
    putBig32(sneaky, 0x73737373);
    sneaky.insert(sneaky.end(), {'s', 'P', 'L', 'T', 0, 0, 0, 0});
    cwtest::writeBytes(dir.path("splt.png"), sneaky);
    r = run({"render", dir.path("splt.png"), dir.path("out.png")});
    expectOneLineError(r, 1, "cannot read");
    EXPECT_LT(r.peak_memory_kb, 100 * 1024);
    expectOneLineError(run({"render", input, dir.path("out.png"), "--max-pixels", "5000"}), 1,
                       "97 x 61 pixels is over the limit of 5000 pixels");
    expectOneLineError(run({"render", input, dir.path("out.png"), "--max-pixels", "lots"}), 2, "whole number");
    EXPECT_EQ(run({"render", input, dir.path("out.png"), "--max-pixels", "5917"}).status, 0) << "97 x 61 is 5917";
}

TEST_F(CliOutput, ADeviceStaysADevice) {
    const std::string null_copy = dir.path("null");
    if (mknod(null_copy.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "mknod needs root";
    ASSERT_EQ(run({"render", input, null_copy}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(null_copy.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(1, 3));
}

TEST_F(CliOutput, ASymbolicLinkIsFollowedAndStaysALink) {
    const std::vector<uint8_t> expected = expectedBytes();
    ASSERT_EQ(mkdir(dir.path("sub").c_str(), 0755), 0);
    cwtest::writeBytes(dir.path("sub/target.png"), {1, 2, 3});
    ASSERT_EQ(symlink("sub/target.png", dir.path("link.png").c_str()), 0);
    ASSERT_EQ(run({"render", input, dir.path("link.png")}).status, 0);
    struct stat st;
    ASSERT_EQ(lstat(dir.path("link.png").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(cwtest::readBytes(dir.path("sub/target.png")), expected);
    // a dangling link makes its target
    ASSERT_EQ(symlink("sub/new.png", dir.path("dangling.png").c_str()), 0);
    ASSERT_EQ(run({"render", input, dir.path("dangling.png")}).status, 0);
    EXPECT_EQ(cwtest::readBytes(dir.path("sub/new.png")), expected);
    ASSERT_EQ(lstat(dir.path("dangling.png").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // a loop of links is an error, not a hang
    ASSERT_EQ(symlink("loop-b.png", dir.path("loop-a.png").c_str()), 0);
    ASSERT_EQ(symlink("loop-a.png", dir.path("loop-b.png").c_str()), 0);
    expectOneLineError(run({"render", input, dir.path("loop-a.png")}), 1, "cannot write");
    expectOneLineError(run({"render", input, dir.path("sub")}), 1, "Is a directory");
}

TEST_F(CliOutput, AReplacedFileKeepsItsMode) {
    const std::string out = dir.path("kept.png");
    cwtest::writeBytes(out, {1, 2, 3});
    ASSERT_EQ(chmod(out.c_str(), 0400), 0);
    ASSERT_EQ(run({"render", input, out}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0400u);
    EXPECT_EQ(cwtest::readBytes(out), expectedBytes());
    // a new file gets the usual mode: 0666 less the umask
    const mode_t mask = umask(022);
    ASSERT_EQ(run({"render", input, dir.path("new.png")}).status, 0);
    umask(mask);
    ASSERT_EQ(stat(dir.path("new.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(CliOutput, ALongNameThatFitsIsWritten) {
    const std::string name = std::string(246, 'n') + ".png";  // 250 characters, the folder's limit is 255
    EXPECT_EQ(run({"render", input, dir.path(name)}).status, 0);
    EXPECT_EQ(cwtest::readBytes(dir.path(name)), expectedBytes());
}

// A picture whose output keeps its noise, so that writing it takes a while.
std::string noisyPicture(const TempDir& dir) {
    refhost::World w;
    std::string error;
    EXPECT_TRUE(w.allocate(2400, 2400, error));
    std::mt19937 rng(7);
    for (int32_t y = 0; y < w.height(); ++y)
        for (int32_t x = 0; x < w.width(); ++x) {
            const uint32_t v = rng();
            std::memcpy(&w.at(x, y), &v, 4);
        }
    const std::string path = dir.path("noise.png");
    EXPECT_TRUE(cwtool::writePng(path, w, error)) << error;
    return path;
}

// True once the process has a file open in `folder` other than `except`.
bool writingInto(pid_t pid, const std::string& folder, const std::string& except) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        const std::string t(target, static_cast<size_t>(n));
        if (t.rfind(folder + "/", 0) == 0 && t != except) found = true;
    }
    closedir(d);
    return found;
}

TEST_F(CliOutput, ARenderKilledWhileWritingLeavesNoFile) {
    const std::string noise = noisyPicture(dir);
    std::remove(input.c_str());
    for (int signal_number : {SIGTERM, SIGKILL, SIGINT}) {
        const pid_t pid = fork();
        if (pid == 0) {
            execl(CHECKERWARP_CLI_PATH, CHECKERWARP_CLI_PATH, "render", noise.c_str(), dir.path("out.png").c_str(),
                  "--set", "background fill=source (tinted)", "--set", "background color=#ffffff", "--set",
                  "squares fill=none", static_cast<char*>(nullptr));
            _exit(127);
        }
        bool caught = false;
        for (int i = 0; i < 60000 && !caught; ++i) {
            if (writingInto(pid, dir.dir(), noise)) {
                caught = true;
                break;
            }
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!caught) GTEST_SKIP() << "the render finished before it could be interrupted";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(pid, signal_number);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << signal_number;
        EXPECT_EQ(dir.files(), std::vector<std::string>{"noise.png"}) << "after signal " << signal_number;
    }
}

TEST_F(CliOutput, ATimeLimitStopsAnEndlessFrame) {
    // about 5 x 10^10 cells: 25 minutes without the limit
    CommandRun r = run({"render", input, dir.path("out.png"), "--time-limit", "1", "--set", "squares across=255", "--set",
                        "x scale=0.1", "--set", "y scale=0.1"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("checkerwarp: note: this frame will take about "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("checkerwarp: the render took longer than --time-limit 1 s and was stopped\n"), std::string::npos)
        << r.err;
    EXPECT_LT(r.seconds, 10.0);
    EXPECT_EQ(dir.files(), std::vector<std::string>{"in.png"});
    expectOneLineError(run({"render", input, dir.path("out.png"), "--time-limit", "0"}), 2, "greater than 0");
    EXPECT_EQ(run({"render", input, dir.path("out.png"), "--time-limit", "60"}).status, 0) << "a quick frame is kept";
}

TEST_F(CliOutput, PicturesGoThroughStandardInputAndOutput) {
    const std::vector<uint8_t> expected = expectedBytes();
    CommandRun r = run({"render", "-", "-"}, input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), expected);
    r = run({"render", "/dev/stdin", dir.path("piped.png")}, input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cwtest::readBytes(dir.path("piped.png")), expected);
    // a pipe that is not a file: the reader never seeks
    const std::string command = "cat " + cwtest::shellQuote(input) + " | " + cwtest::shellQuote(CHECKERWARP_CLI_PATH) +
                                " render - " + cwtest::shellQuote(dir.path("from-pipe.png"));
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(cwtest::readBytes(dir.path("from-pipe.png")), expected);
    expectOneLineError(run({"render", "-", dir.path("x.png")}), 1, "standard input is not a PNG file");
}

TEST_F(CliOutput, SmallMendsToTheOptions) {
    // a control character in a value is shown escaped, so the message is one line
    expectOneLineError(run({"render", input, dir.path("x.png"), "--set", "squares across=1\n2"}), 2, "\"1\\n2\"");
    expectOneLineError(run({"render", input, dir.path("x.png"), "--set", "squ\tares=1"}), 2, "\"squ\\tares\"");
    // --plugin anywhere; an empty one is refused
    CommandRun r = run({"params", "--plugin", cwtest::modulePath("checkerwarp")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run({"about", "--plugin=" + cwtest::modulePath("checkerwarp")}).status, 0);
    expectOneLineError(run({"params", "--plugin", ""}), 2, "--plugin needs a path");
    expectOneLineError(run({"render", input, dir.path("x.png"), "--plugin"}), 2, "--plugin needs a path");
}

TEST_F(CliOutput, APictureFollowedByHundredsOfMegabytesOnAPipeIsReadToItsEnd) {
    // the reader stops at the picture's IEND: what follows is never read, let alone held
    const std::string fifo = dir.path("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<uint8_t> png = cwtest::readBytes(input);
    std::thread writer([&] {
        signal(SIGPIPE, SIG_IGN);
        FILE* f = std::fopen(fifo.c_str(), "wb");
        if (!f) return;
        std::fwrite(png.data(), 1, png.size(), f);
        const std::vector<uint8_t> zeros(1 << 20, 0);
        for (int i = 0; i < 300 && std::fwrite(zeros.data(), 1, zeros.size(), f) == zeros.size(); ++i) {
        }
        std::fclose(f);
    });
    const CommandRun r = run({"render", "-", dir.path("out.png")}, fifo);
    writer.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cwtest::readBytes(dir.path("out.png")), expectedBytes());
    EXPECT_LT(r.peak_memory_kb, 100 * 1024);
}

TEST_F(CliOutput, AFileTheUserMayNotWriteIsRefusedNotReplaced) {
    const std::string locked = dir.path("locked.png");
    cwtest::writeBytes(locked, {1, 2, 3});
    ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.dir().c_str(), 0777), 0);
    // as a user who is not root (root may write anything, as cp and ffmpeg do)
    const std::string err = dir.path("err");
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(fd, 2);
        execl(CHECKERWARP_CLI_PATH, CHECKERWARP_CLI_PATH, "render", input.c_str(), locked.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 99) << "cannot become another user";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::vector<uint8_t> said = cwtest::readBytes(err);
    const std::string message(said.begin(), said.end());
    EXPECT_NE(message.find("cannot write " + locked + ": it is read-only to you (Permission denied); remove it or "
                           "make it writable first"),
              std::string::npos)
        << message;
    EXPECT_EQ(cwtest::readBytes(locked), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(CliOutput, WhatANewUserTriesIsAnsweredPlainly) {
    // a huge bad value is cut in the message, which stays one short line
    const CommandRun r = run({"render", input, dir.path("x.png"), "--set", "squares across=" + std::string(130000, 'x')});
    expectOneLineError(r, 2, "x\"... (130000 characters)");
    EXPECT_LT(r.err.size(), 400u);
    // a video output that is a folder, found before anything is rendered
    ASSERT_EQ(mkdir(dir.path("out.mp4").c_str(), 0755), 0);
    expectOneLineError(run({"render", input, dir.path("out.mp4"), "--duration", "3"}), 1,
                       "cannot write " + dir.path("out.mp4") + ": Is a directory");
    // --plugin NAME without a slash is a file in this folder, not a library on the loader's path
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    ASSERT_EQ(chdir(dir.dir().c_str()), 0);
    const CommandRun lib = run({"params", "--plugin", "libm.so.6"});
    const std::vector<uint8_t> module = cwtest::readBytes(cwtest::modulePath("checkerwarp"));
    cwtest::writeBytes(dir.path("mine.so"), module);
    const CommandRun mine = run({"params", "--plugin", "mine.so"});
    ASSERT_EQ(chdir(here), 0);
    expectOneLineError(lib, 1, "cannot load plug-in module libm.so.6: ./libm.so.6: cannot open shared object file");
    EXPECT_EQ(mine.status, 0) << mine.err;
    // a sequence frame that is a folder or a loop of links says so
    ASSERT_EQ(mkdir(dir.path("shots").c_str(), 0755), 0);
    cwtest::writeBytes(dir.path("shots/in_1.png"), cwtest::readBytes(input));
    ASSERT_EQ(symlink("in_2.png", dir.path("shots/in_2.png").c_str()), 0);
    expectOneLineError(run({"render", dir.path("shots/in_%d.png"), dir.path("o_%d.png")}), 1,
                       "cannot read " + dir.path("shots/in_2.png") + ": Too many levels of symbolic links");
    ASSERT_EQ(unlink(dir.path("shots/in_2.png").c_str()), 0);
    ASSERT_EQ(mkdir(dir.path("shots/in_2.png").c_str(), 0755), 0);
    expectOneLineError(run({"render", dir.path("shots/in_%d.png"), dir.path("o_%d.png")}), 1,
                       "cannot read " + dir.path("shots/in_2.png") + ": Is a directory");
}

}  // namespace
