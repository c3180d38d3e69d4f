// The README's render command lines, run as a reader would type them (with
// small inputs in place of their photos, videos and shots): each must succeed
// and show something, never a picture of one colour.
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

namespace {

// The words of a command line as a shell splits it (double quotes only, as the README writes them).
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) out.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) out.push_back(word);
    return out;
}

// Every `checkerwarp render` line of the README's shell blocks, continuation lines joined.
std::vector<std::string> renderLines() {
    std::ifstream in(std::string(CHECKERWARP_SOURCE_DIR) + "/README.md");
    std::vector<std::string> lines;
    bool in_shell = false;
    std::string pending;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("```", 0) == 0) {
            in_shell = line == "```sh";
            continue;
        }
        if (!in_shell) continue;
        if (!pending.empty()) line = pending + " " + line.substr(line.find_first_not_of(' '));
        pending.clear();
        if (!line.empty() && line.back() == '\\') {
            pending = line.substr(0, line.size() - 1);
            continue;
        }
        const size_t at = line.find("checkerwarp render ");
        if (at == std::string::npos || line.find("{}") != std::string::npos) continue;
        lines.push_back(line.substr(at));
    }
    return lines;
}

bool uniform(const refhost::World& w) {
    for (int32_t y = 0; y < w.height(); ++y)
        for (int32_t x = 0; x < w.width(); ++x)
            if (!(w.at(x, y) == w.at(0, 0))) return false;
    return true;
}

TEST(Readme, EveryRenderLineShowsSomething) {
    cwtest::TempDir dir;
    const std::string photo = cwtest::writeSamplePicture(dir.path("photo.png"));
    const bool ffmpeg = cwtest::haveFfmpeg();
    if (ffmpeg) {
        ASSERT_EQ(cwtest::shell("ffmpeg -v error -y -f lavfi -i testsrc2=s=96x64:r=25:d=0.4 -pix_fmt yuv420p " +
                                cwtest::shellQuote(dir.path("holiday.mp4"))),
                  0);
        ASSERT_EQ(cwtest::shell("mkdir -p " + cwtest::shellQuote(dir.path("shots")) + " " +
                                cwtest::shellQuote(dir.path("out"))),
                  0);
        for (int n = 1; n <= 3; ++n) {
            char name[64];
            std::snprintf(name, sizeof(name), "shots/in_%04d.png", n);
            cwtest::writeSamplePicture(dir.path(name));
        }
    }
    const std::vector<std::string> lines = renderLines();
    ASSERT_GE(lines.size(), 10u);
    int ran = 0;
    for (const std::string& line : lines) {
        std::vector<std::string> args = words(line);
        args.erase(args.begin());  // "checkerwarp"
        std::string output;
        bool video = false;
        for (size_t i = 1; i < args.size(); ++i) {
            std::string& a = args[i];
            if (a.empty() || a[0] == '-') {
                if (a != "--demo") ++i;  // (its value)
                if (a == "--animate") ++i;
                continue;
            }
            // a file: into the scratch folder, by its own name
            const std::string name = a.substr(a.rfind('/') == std::string::npos ? 0 : a.rfind('/') + 1);
            const std::string folder = a.find("shots/") == 0 ? "shots/" : a.find("out/") == 0 ? "out/" : "";
            a = dir.path(folder + name);
            output = a;
            video = video || name.find(".png") == std::string::npos;
        }
        if (video && !ffmpeg) continue;
        SCOPED_TRACE(line);
        const cwtest::CommandRun r = cwtest::run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string first = output;
        if (output.find('%') != std::string::npos) first = dir.path("out/fx_0001.png");
        else if (video) {
            first = dir.path("first.png");
            ASSERT_EQ(cwtest::shell("ffmpeg -v error -y -i " + cwtest::shellQuote(output) + " -frames:v 1 " +
                                    cwtest::shellQuote(first)),
                      0);
        }
        refhost::World w;
        std::string error;
        ASSERT_TRUE(cwtool::readPng(first, w, error)) << error;
        EXPECT_FALSE(uniform(w)) << "a picture of one colour";
        ++ran;
    }
    EXPECT_GE(ran, ffmpeg ? static_cast<int>(lines.size()) : 6);
}

}  // namespace
