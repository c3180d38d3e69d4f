// What the host application sees of checkerwarp, pinned: the About text, the
// registered parameter definitions byte for byte, the parameter listing, and
// the README's pictures, rendered again and compared with the committed files
// pixel for pixel.
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/cli_support.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

namespace {

TEST(Golden, AboutTextIsTheSameBytes) {
    refhost::Host host(cwtest::plugin().entry());
    std::string text;
    ASSERT_EQ(host.about(text), PF_Err_NONE);
    EXPECT_EQ(text,
              "checkerwarp, v1.4 build 383 2011.02.02-20:14:23\r\r"
              "an interesting and simple form of modulation\r\r"
              "kavri effect framework\r"
              "squares modulated by the colour beneath them\r"
              "written for the host's C effect interface");
}

// FNV-1a over bytes.
uint64_t fnv(const void* data, size_t size, uint64_t h = 1469598103934665603ull) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

TEST(Golden, RegisteredDefinitionsAreTheSameBytes) {
    auto host = cwtest::startedHost();
    const std::vector<PF_ParamDef>& defs = host->registered();
    ASSERT_EQ(defs.size(), 32u);
    uint64_t h = fnv(nullptr, 0);
    std::string texts;
    for (size_t i = 1; i < defs.size(); ++i) {
        PF_ParamDef d = defs[i];
        // the popup's and checkbox's texts by value: their addresses change from load to load
        if (d.param_type == PF_Param_POPUP) {
            texts += d.u.pd.u.namesptr;
            d.u.pd.u.namesptr = nullptr;
        }
        if (d.param_type == PF_Param_CHECKBOX) {
            texts += d.u.bd.u.nameptr ? d.u.bd.u.nameptr : "(null)";
            d.u.bd.u.nameptr = nullptr;
        }
        texts += "\n";
        h = fnv(&d, sizeof(d), h);
    }
    h = fnv(texts.data(), texts.size(), h);
    EXPECT_EQ(h, 0xe4686f7efd4faae1ull) << std::hex << "0x" << h << "\n" << texts;
}

std::string sourceFile(const std::string& relative) {
    std::ifstream in(std::string(CHECKERWARP_SOURCE_DIR) + "/" + relative);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The listing as it was when the parameters were fixed; what has been added
// since (each parameter's hint) is left out of the comparison.
TEST(Golden, ParamsJsonListsTheSameParameters) {
    cwtest::CommandRun r = cwtest::run({"params", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json now = nlohmann::json::parse(r.out);
    for (auto& p : now) p.erase("hint");
    EXPECT_EQ(now, nlohmann::json::parse(sourceFile("tests/golden/checkerwarp-params.json")));
}

struct Picture {
    const char* file;
    std::vector<std::string> settings;
    bool over_checkerboard;  // drawn over a grey board to show its transparency
    const char* effect = "checkerwarp";
};

const Picture kPictures[] = {
    {"demo-defaults.png", {}, false},
    {"demo-mosaic.png",
     {"background fill=tile", "squares fill=none", "background color=#ffffff", "squares across=32"},
     false},
    {"demo-bricks-wibble.png",
     {"background fill=tile", "background color=#606060", "squares fill=tile", "squares across=24",
      "brick offset=180", "wibble max=0.6", "wibble angle=45", "horizontal max=1.3", "vertical max=1.3"},
     false},
    {"demo-knockout.png", {"background fill=knockout", "squares fill=tile", "squares across=16"}, true},
    {"demo-pixelate.png", {"cell size=24", "keep alpha=on"}, false, "pixelate"},
};

// The picture as the README shows it: over 16-pixel squares of grey 200 and
// 140, each channel (c * a + board * (255 - a)) / 255 truncated, opaque.
void overCheckerboard(refhost::World& w) {
    for (int32_t y = 0; y < w.height(); ++y)
        for (int32_t x = 0; x < w.width(); ++x) {
            PF_Pixel& p = w.at(x, y);
            const int board = ((x / 16) + (y / 16)) % 2 ? 200 : 140;
            auto over = [&](int c) { return static_cast<A_u_char>((c * p.alpha + board * (255 - p.alpha)) / 255); };
            p = PF_Pixel{255, over(p.red), over(p.green), over(p.blue)};
        }
}

TEST(Golden, ReadmePicturesRenderTheSamePixels) {
    cwtest::TempDir dir;
    for (const Picture& picture : kPictures) {
        SCOPED_TRACE(picture.file);
        std::vector<std::string> args = {"render", "--demo", dir.path(picture.file), "--quiet", "--plugin", picture.effect};
        for (const std::string& s : picture.settings) args.insert(args.end(), {"--set", s});
        cwtest::CommandRun r = cwtest::run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        refhost::World rendered, committed;
        std::string error;
        ASSERT_TRUE(cwtool::readPng(dir.path(picture.file), rendered, error)) << error;
        ASSERT_TRUE(cwtool::readPng(std::string(CHECKERWARP_SOURCE_DIR) + "/docs/" + picture.file, committed, error))
            << error;
        if (picture.over_checkerboard) overCheckerboard(rendered);
        ASSERT_EQ(rendered.width(), committed.width());
        ASSERT_EQ(rendered.height(), committed.height());
        int64_t differing = 0;
        for (int32_t y = 0; y < rendered.height(); ++y)
            for (int32_t x = 0; x < rendered.width(); ++x)
                if (!(rendered.at(x, y) == committed.at(x, y))) {
                    if (differing++ == 0)
                        ADD_FAILURE() << "first differing pixel (" << x << ", " << y << ")";
                }
        EXPECT_EQ(differing, 0);
    }
}

}  // namespace
