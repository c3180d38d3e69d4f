// The checkerwarp command end to end, run as a person runs it.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <zlib.h>

#include <array>
#include <iterator>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/param_values.h"
#include "tools/png_io.h"

using cwtest::TempDir;

using cwtest::CommandRun;
using cwtest::expectOneLineError;
using cwtest::run;
using cwtest::shellQuote;

namespace {

TEST(Cli, AboutShowsCarriageReturnsAsLineBreaks) {
    CommandRun r = run({"about"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("checkerwarp, v1.4 build 383 2011.02.02-20:14:23\n\nan interesting", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST(Cli, EveryOptionTakesItsValueInEveryForm) {
    TempDir dir;
    const std::vector<std::vector<std::string>> forms = {
        {"--quality=low", "--jobs=2", "--compression=small", "--set=squares across=30", "--plugin=checkerwarp"},
        {"--quality", "low", "-j2", "--compression", "small", "--set", "squares across=30"},
        {"-j", "2", "--quality", "low", "--compression=small", "--set", "squares across=30", "--plugin", "checkerwarp"},
    };
    std::vector<uint8_t> first;
    for (size_t i = 0; i < forms.size(); ++i) {
        std::vector<std::string> args = {"render", "--demo", dir.path("f.png")};
        args.insert(args.begin() + (i == 2 ? 1 : 3), forms[i].begin(), forms[i].end());  // options before the files too
        const CommandRun r = run(args);
        ASSERT_EQ(r.status, 0) << i << ": " << r.err;
        const std::vector<uint8_t> bytes = cwtest::readBytes(dir.path("f.png"));
        if (i == 0)
            first = bytes;
        else
            EXPECT_EQ(bytes, first) << "form " << i;
    }
    expectOneLineError(run({"render", "--demo", dir.path("x.png"), "--quality=medium"}), 2, "--quality is high or low");
    expectOneLineError(run({"render", "--demo", dir.path("x.png"), "-j0"}), 2, "--jobs takes a number of worker processes from 1 to 256");
    expectOneLineError(run({"params", "--quality=low"}), 2, "'params' takes no option --quality (it takes only --json)");
    expectOneLineError(run({"render", "--demo", dir.path("x.png"), "--animate", "x offset"}), 2, "--animate needs NAME and KEYS");
}

// The options --help lists are the ones the README's tables give, written the same way.
TEST(Cli, HelpAndTheReadmeListTheSameOptions) {
    std::set<std::string> help, readme;
    std::istringstream lines(run({"--help"}).out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("  -", 0) == 0) help.insert(line.substr(2, line.find("  ", 2) - 2));
    std::ifstream file(std::string(CHECKERWARP_SOURCE_DIR) + "/README.md");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("| `-", 0) != 0) continue;
        std::string option = line.substr(3, line.find("` |") - 3);
        for (size_t at; (at = option.find("\\|")) != std::string::npos;) option.replace(at, 2, "|");
        readme.insert(option);
    }
    EXPECT_EQ(help, readme);
    EXPECT_GE(help.size(), 13u);
}

TEST(Cli, HelpVersionAndUsageErrors) {
    EXPECT_EQ(run({"--help"}).status, 0);
    EXPECT_NE(run({"--help"}).out.find("render --demo OUTPUT.png"), std::string::npos);
    const std::string version = run({"--version"}).out;
    EXPECT_EQ(version.rfind("checkerwarp 1.4.0\n", 0), 0u) << version;
    EXPECT_NE(version.find(": version 1.4.0, checkerwarp, v1.4 build 383 2011.02.02-20:14:23\n"), std::string::npos)
        << "the plug-in's own numbers: " << version;
    expectOneLineError(run({}), 2, "no command");
    expectOneLineError(run({"paint"}), 2, "unknown command 'paint'");
    expectOneLineError(run({"render", "only-one.png"}), 2, "INPUT.png and OUTPUT.png");
    expectOneLineError(run({"render", "--demo", "x.png", "--quality", "medium"}), 2, "high or low");
    expectOneLineError(run({"render", "--demo", "x.png", "--pixel-aspect", "0/1"}), 2, "N/D");
    expectOneLineError(run({"render", "--demo", "x.png", "--frobnicate"}), 2, "unknown option");
}

TEST(Cli, ParamsJsonDescribesEveryRegisteredDefinition) {
    CommandRun r = run({"params", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto host = cwtest::startedHost();
    const auto& defs = host->registered();
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(defs.size() - 1 + 2));
    for (size_t p = 1; p < defs.size(); ++p) {
        std::ostringstream head;
        head << "{\"position\": " << p << ", \"id\": " << defs[p].uu.id << ", \"name\": \"" << defs[p].name
             << "\", \"type\": \"" << cwtool::typeName(defs[p].param_type) << "\"";
        EXPECT_NE(r.out.find(head.str()), std::string::npos) << head.str();
    }
    EXPECT_NE(r.out.find("\"name\": \"x scale\", \"type\": \"float slider\", \"valid_min\": 0.1, \"valid_max\": 1000, "
                         "\"slider_min\": 0.1, \"slider_max\": 1000, \"default\": 100, \"flags\": 32, \"ui_flags\": 0, "
                         "\"hint\": \"stretches the cells across\"}"),
              std::string::npos);
    EXPECT_NE(r.out.find("\"default\": 1, \"choices\": [\"color\", \"tile\", \"source (tinted)\", \"knockout\"]"),
              std::string::npos);
    EXPECT_NE(r.out.find("\"name\": \"center\", \"type\": \"point\", \"default\": {\"x_percent\": 50, \"y_percent\": 50}"),
              std::string::npos);
    EXPECT_NE(r.out.find("\"name\": \"vertical influence\", \"type\": \"color\", \"default\": \"#7f8000\""),
              std::string::npos);
    CommandRun text = run({"params"});
    EXPECT_NE(text.out.find("    x scale"), std::string::npos) << "group members are indented";
}

class CliRender : public ::testing::Test {
protected:
    void SetUp() override {
        input = cwtest::writeSamplePicture(dir.path("in.png"));
        output = dir.path("out.png");
    }
    // The command failed and left no file behind.
    void expectNoOutput() {
        for (const std::string& f : dir.files()) EXPECT_TRUE(f == "in.png" || f == "keep.png") << f;
    }
    TempDir dir;
    std::string input, output;
};

TEST_F(CliRender, EveryFillModeRenders) {
    for (const char* background : {"color", "tile", "source (tinted)", "knockout"})
        for (const char* squares : {"color", "tile", "none", "knockout"}) {
            CommandRun r = run({"render", input, output, "--set", std::string("background fill=") + background, "--set",
                         std::string("squares fill=") + squares, "--set", "background color=#336699"});
            ASSERT_EQ(r.status, 0) << background << "/" << squares << ": " << r.err;
            refhost::World w;
            std::string error;
            ASSERT_TRUE(cwtool::readPng(output, w, error)) << error;
            EXPECT_EQ(w.width(), 97);
            EXPECT_EQ(w.height(), 61);
        }
    EXPECT_EQ(dir.files().size(), 2u) << "no temporary files are left";
}

TEST_F(CliRender, MatchesARenderThroughTheReferenceHost) {
    CommandRun r = run({"render", input, output, "--set", "squares across=17.5", "--set", "center=30.25,20", "--set",
                 "brick offset=90", "--set", "wibble max=2", "--set", "wibble angle=33", "--set",
                 "squares fill=2", "--set", "stamp params=on", "--pixel-aspect", "10/11", "--quality", "low"});
    ASSERT_EQ(r.status, 0) << r.err;
    refhost::World in, expected, actual;
    std::string error;
    ASSERT_TRUE(cwtool::readPng(input, in, error));
    ASSERT_TRUE(expected.allocate(in.width(), in.height(), error));
    auto host = cwtest::startedHost();
    cwtest::setFloat(*host, "squares across", 17.5);
    cwtest::setPointPixels(*host, "center", 30.25, 20);
    cwtest::setAngle(*host, "brick offset", 90);
    cwtest::setFloat(*host, "wibble max", 2);
    cwtest::setAngle(*host, "wibble angle", 33);
    cwtest::setPopup(*host, "squares fill", 2);
    cwtest::setCheckbox(*host, "stamp params", true);
    host->setPixelAspect(10, 11);
    host->setQuality(PF_Quality_LO);
    ASSERT_EQ(host->render(in.def(), expected.def()), PF_Err_NONE);
    ASSERT_TRUE(cwtool::readPng(output, actual, error));
    EXPECT_TRUE(actual.samePixels(expected));
}

TEST_F(CliRender, TheDemoPictureRendersWithNoInput) {
    CommandRun r = run({"render", "--demo", output});
    ASSERT_EQ(r.status, 0) << r.err;
    refhost::World w;
    std::string error;
    ASSERT_TRUE(cwtool::readPng(output, w, error));
    EXPECT_EQ(w.width(), 960);
    EXPECT_EQ(w.height(), 540);
}

TEST_F(CliRender, BadValuesAreUsageErrorsAndLeaveNoFile) {
    expectOneLineError(run({"render", input, output, "--set", "squares acros=3"}), 2, "did you mean \"squares across\"");
    expectOneLineError(run({"render", input, output, "--set", "squares across=300"}), 2, "from 1 to 255");
    expectOneLineError(run({"render", input, output, "--set", "squares across=lots"}), 2, "decimal number");
    expectOneLineError(run({"render", input, output, "--set", "squares across"}), 2, "NAME=VALUE");
    expectOneLineError(run({"render", input, output, "--set", "background fill=plaid"}), 2,
                       "\"color\", \"tile\", \"source (tinted)\", \"knockout\"");
    expectOneLineError(run({"render", input, output, "--set", "background fill=5"}), 2, "1 to 4");
    expectOneLineError(run({"render", input, output, "--set", "center=1;2"}), 2, "X,Y");
    expectOneLineError(run({"render", input, output, "--set", "squares color=#12345"}), 2, "#RRGGBB");
    expectOneLineError(run({"render", input, output, "--set", "squares color=1,2,256"}), 2, "R,G,B");
    expectOneLineError(run({"render", input, output, "--set", "stamp time=maybe"}), 2, "on or off");
    expectOneLineError(run({"render", input, output, "--set", "futz=1"}), 2, "unknown parameter");
    expectNoOutput();
}

TEST_F(CliRender, RangeChecksUseTheStoredSinglePrecisionBounds) {
    EXPECT_EQ(run({"render", input, output, "--set", "x scale=0.1", "--set", "y scale=1000"}).status, 0);
    expectOneLineError(run({"render", input, output, "--set", "x scale=0.0999"}), 2, "from 0.1 to 1000");
    EXPECT_EQ(run({"render", input, output, "--set", "background fill=source (tinted)", "--set", "brick rows=vertical",
                   "--set", "squares color=10,20,30", "--set", "stamp time=1"})
                  .status,
              0);
}

TEST_F(CliRender, BadFilesAndModulesAreFailuresAndLeaveNoFile) {
    expectOneLineError(run({"render", dir.path("missing.png"), output}), 1, "cannot open");
    std::vector<uint8_t> bytes = cwtest::readBytes(input);
    cwtest::writeBytes(dir.path("keep.png"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 60));
    expectOneLineError(run({"render", dir.path("keep.png"), output}), 1, "cannot read");
    cwtest::writeBytes(dir.path("keep.png"), {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0});
    expectOneLineError(run({"render", dir.path("keep.png"), output}), 1, "not a PNG");
    expectOneLineError(run({"render", input, output, "--plugin", "/no/such.so"}), 1, "cannot load plug-in module");
    expectOneLineError(run({"render", input, output, "--plugin", std::string(BROKEN_MODULE_DIR) + "/broken_no_entry.so"}),
                       1, "has no EntryPointFunc");
    expectOneLineError(run({"render", input, output, "--plugin", std::string(BROKEN_MODULE_DIR) + "/broken_render.so"}),
                       1, "could not render this frame");
    expectOneLineError(run({"render", input, dir.path("no/folder/out.png")}), 1, "cannot write");
    expectNoOutput();
}

TEST_F(CliRender, AnExistingOutputIsReplacedOnlyOnSuccess) {
    cwtest::writeBytes(dir.path("keep.png"), {1, 2, 3});
    EXPECT_EQ(run({"render", input, dir.path("keep.png"), "--set", "squares across=0"}).status, 2);
    EXPECT_EQ(cwtest::readBytes(dir.path("keep.png")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(run({"render", input, dir.path("keep.png")}).status, 0);
    EXPECT_GT(cwtest::readBytes(dir.path("keep.png")).size(), 100u);
}

}  // namespace

namespace {

class CliBadInput : public CliRender {};

TEST_F(CliBadInput, DamagedPngsAreRefusedWithOneLine) {
    std::vector<uint8_t> bytes = cwtest::readBytes(input);
    std::vector<uint8_t> bad_crc = bytes;
    bad_crc[29] ^= 0x01;
    cwtest::writeBytes(dir.path("keep.png"), bad_crc);
    expectOneLineError(run({"render", dir.path("keep.png"), output}), 1, "cannot read");
    std::vector<uint8_t> bad_ihdr = bytes;
    bad_ihdr[24] = 7;  // bit depth 7 does not exist
    const uint32_t crc = static_cast<uint32_t>(crc32(0, bad_ihdr.data() + 12, 17));
    for (int i = 0; i < 4; ++i) bad_ihdr[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    cwtest::writeBytes(dir.path("keep.png"), bad_ihdr);
    expectOneLineError(run({"render", dir.path("keep.png"), output}), 1, "cannot read");
    std::vector<uint8_t> huge = bytes;
    for (int i = 0; i < 4; ++i) huge[16 + i] = huge[20 + i] = static_cast<uint8_t>(60000u >> (24 - 8 * i));
    const uint32_t crc2 = static_cast<uint32_t>(crc32(0, huge.data() + 12, 17));
    for (int i = 0; i < 4; ++i) huge[29 + i] = static_cast<uint8_t>(crc2 >> (24 - 8 * i));
    cwtest::writeBytes(dir.path("keep.png"), huge);
    expectOneLineError(run({"render", dir.path("keep.png"), output}), 1, "too large");
    expectNoOutput();
}

TEST_F(CliBadInput, AOnePixelWideHundredThousandRowImageRenders) {
    cwtest::PngSpec tall;
    tall.width = 1;
    tall.height = 100000;
    cwtest::writeTestPng(dir.path("tall.png"), tall);
    CommandRun r = run({"render", dir.path("tall.png"), output});
    ASSERT_EQ(r.status, 0) << r.err;
    refhost::World w;
    std::string error;
    ASSERT_TRUE(cwtool::readPng(output, w, error));
    EXPECT_EQ(w.height(), 100000);
}

TEST_F(CliBadInput, AFolderThatTakesNoFilesFailsCleanly) {
    expectOneLineError(run({"render", input, "/proc/checkerwarp-out.png"}), 1, "cannot write /proc/checkerwarp-out.png");
}

TEST_F(CliBadInput, AFullDiskLeavesNoPartialFile) {
    // A file-size limit of 4 KiB stands in for a full disk: writes past it fail.
    const std::string command = "trap '' XFSZ; ulimit -f 4; exec " + shellQuote(CHECKERWARP_CLI_PATH) +
                                " render " + shellQuote(input) + " " + shellQuote(dir.path("big.png")) +
                                " --set 'squares across=255' --set 'background fill=tile' 2>" +
                                shellQuote(dir.path("err.txt"));
    const int raw = std::system(("bash -c " + shellQuote(command)).c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    std::ifstream e(dir.path("err.txt"));
    std::string message((std::istreambuf_iterator<char>(e)), {});
    std::remove(dir.path("err.txt").c_str());
    if (WEXITSTATUS(raw) == 0) GTEST_SKIP() << "the render fitted in the limit";
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_EQ(message.rfind("checkerwarp: cannot write", 0), 0u) << message;
    expectNoOutput();
}

}  // namespace
