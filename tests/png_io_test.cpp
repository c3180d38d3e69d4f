// PNG files in and out of the host's worlds.
#include <png.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/host_pixels.h"
#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/png_io.h"

using cwtest::PngSpec;
using cwtest::TempDir;

namespace {

struct Format {
    const char* name;
    PngSpec spec;
};

class PngRead : public ::testing::TestWithParam<Format> {};

TEST_P(PngRead, DecodesEveryPixelAsEightBitArgb) {
    TempDir dir;
    const PngSpec& s = GetParam().spec;
    const std::string path = dir.path("in.png");
    cwtest::writeTestPng(path, s);
    refhost::World w;
    std::string error;
    ASSERT_TRUE(cwtool::readPng(path, w, error)) << error;
    ASSERT_EQ(w.width(), s.width);
    ASSERT_EQ(w.height(), s.height);
    EXPECT_GT(w.def().rowbytes, 4 * w.width()) << "rows are padded";
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            uint8_t e[4];
            cwtest::expectedPixel(s, x, y, e);
            const PF_Pixel want = {e[0], e[1], e[2], e[3]};
            ASSERT_EQ(w.at(x, y), want) << GetParam().name << " at " << x << "," << y;
        }
}

PngSpec spec(int type, int depth, bool interlaced = false, bool alpha = false, int w = 13, int h = 11) {
    PngSpec s;
    s.color_type = type;
    s.bit_depth = depth;
    s.interlaced = interlaced;
    s.palette_alpha = alpha;
    s.width = w;
    s.height = h;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PngRead,
    ::testing::Values(Format{"rgba8", spec(PNG_COLOR_TYPE_RGBA, 8)}, Format{"rgb8", spec(PNG_COLOR_TYPE_RGB, 8)},
                      Format{"rgba16", spec(PNG_COLOR_TYPE_RGBA, 16)}, Format{"rgb16", spec(PNG_COLOR_TYPE_RGB, 16)},
                      Format{"gray8", spec(PNG_COLOR_TYPE_GRAY, 8)}, Format{"gray16", spec(PNG_COLOR_TYPE_GRAY, 16)},
                      Format{"gray1", spec(PNG_COLOR_TYPE_GRAY, 1)}, Format{"gray2", spec(PNG_COLOR_TYPE_GRAY, 2)},
                      Format{"gray4", spec(PNG_COLOR_TYPE_GRAY, 4)},
                      Format{"grayalpha8", spec(PNG_COLOR_TYPE_GRAY_ALPHA, 8)},
                      Format{"grayalpha16", spec(PNG_COLOR_TYPE_GRAY_ALPHA, 16)},
                      Format{"palette", spec(PNG_COLOR_TYPE_PALETTE, 8)},
                      Format{"palette2", spec(PNG_COLOR_TYPE_PALETTE, 2)},
                      Format{"paletteAlpha", spec(PNG_COLOR_TYPE_PALETTE, 8, false, true)},
                      Format{"interlacedRgba", spec(PNG_COLOR_TYPE_RGBA, 8, true, false, 37, 29)},
                      Format{"interlacedPalette", spec(PNG_COLOR_TYPE_PALETTE, 4, true, true, 9, 17)},
                      Format{"onePixel", spec(PNG_COLOR_TYPE_RGB, 8, false, false, 1, 1)}),
    [](const ::testing::TestParamInfo<Format>& p) { return std::string(p.param.name); });

class PngDamage : public ::testing::Test {
protected:
    void SetUp() override {
        good = dir.path("good.png");
        cwtest::writeTestPng(good, spec(PNG_COLOR_TYPE_RGBA, 8, false, false, 64, 48));
        bytes = cwtest::readBytes(good);
    }
    std::string readError(const std::vector<uint8_t>& b) {
        const std::string path = dir.path("bad.png");
        cwtest::writeBytes(path, b);
        refhost::World w;
        std::string error;
        EXPECT_FALSE(cwtool::readPng(path, w, error));
        return error;
    }
    TempDir dir;
    std::string good;
    std::vector<uint8_t> bytes;
};

TEST_F(PngDamage, TruncatedFilesAreRefused) {
    for (size_t keep : {size_t(0), size_t(5), size_t(8), size_t(20), size_t(40), bytes.size() / 2, bytes.size() - 13}) {
        std::vector<uint8_t> b(bytes.begin(), bytes.begin() + static_cast<long>(keep));
        EXPECT_FALSE(readError(b).empty()) << keep;
    }
}

TEST_F(PngDamage, ABadChecksumIsRefused) {
    std::vector<uint8_t> b = bytes;
    b[8 + 8 + 13] ^= 0xFF;  // the IHDR chunk's CRC
    EXPECT_NE(readError(b).find("IHDR"), std::string::npos) << readError(b);
}

TEST_F(PngDamage, AbsurdDimensionsAreRefused) {
    // width 0 and width 2^31-1 in IHDR, with its CRC fixed up
    for (uint32_t width : {0u, 0x7FFFFFFFu, 2000000u}) {
        std::vector<uint8_t> b = bytes;
        for (int i = 0; i < 4; ++i) b[16 + i] = static_cast<uint8_t>(width >> (24 - 8 * i));
        const uint32_t crc = static_cast<uint32_t>(crc32(0, b.data() + 12, 17));
        for (int i = 0; i < 4; ++i) b[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        EXPECT_FALSE(readError(b).empty()) << width;
    }
}

TEST_F(PngDamage, FramesTooLargeForTheHostAreRefusedBeforeDecoding) {
    std::vector<uint8_t> b = bytes;
    const uint32_t side = 40000;  // 40000^2 * 4 bytes is over 2 GiB
    for (int i = 0; i < 4; ++i) b[16 + i] = b[20 + i] = static_cast<uint8_t>(side >> (24 - 8 * i));
    const uint32_t crc = static_cast<uint32_t>(crc32(0, b.data() + 12, 17));
    for (int i = 0; i < 4; ++i) b[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    EXPECT_NE(readError(b).find("too large"), std::string::npos) << readError(b);
}

TEST_F(PngDamage, NotAPngAndMissingFilesSaySo) {
    EXPECT_NE(readError({'h', 'e', 'l', 'l', 'o', ' ', 'p', 'n', 'g', '!'}).find("not a PNG"), std::string::npos);
    refhost::World w;
    std::string error;
    EXPECT_FALSE(cwtool::readPng(dir.path("missing.png"), w, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

// PNG's and frei0r's byte order (red, green, blue, alpha) and the host's
// pixels, both ways, out of place and in place, with lengths that leave a part
// of a vector over.
TEST(RgbaBytes, TurnIntoTheHostsPixelsAndBack) {
    for (size_t count : {size_t{1}, size_t{7}, size_t{33}}) {
        std::vector<uint8_t> rgba(4 * count);
        for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<uint8_t>(i * 37 + 11);
        std::vector<PF_Pixel> pixels(count);
        refhost::pixelsFromRgba(rgba.data(), pixels.data(), count);
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(pixels[i], (PF_Pixel{rgba[4 * i + 3], rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2]})) << i;
        std::vector<uint8_t> back(4 * count);
        refhost::pixelsToRgba(pixels.data(), back.data(), count);
        EXPECT_EQ(back, rgba);
        std::vector<uint8_t> same = rgba;  // in place
        refhost::pixelsFromRgba(same.data(), reinterpret_cast<PF_Pixel*>(same.data()), count);
        EXPECT_EQ(std::memcmp(same.data(), pixels.data(), same.size()), 0);
        refhost::pixelsToRgba(reinterpret_cast<PF_Pixel*>(same.data()), same.data(), count);
        EXPECT_EQ(same, rgba);
    }
}

TEST(PngWrite, RoundTripsStraightAlphaAndLeavesNoTemporaryFile) {
    TempDir dir;
    refhost::World w;
    std::string error;
    ASSERT_TRUE(w.allocate(5, 4, error));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) w.at(x, y) = PF_Pixel{static_cast<A_u_char>(x * 60), 10, static_cast<A_u_char>(y), 200};
    ASSERT_TRUE(cwtool::writePng(dir.path("out.png"), w, error)) << error;
    EXPECT_EQ(dir.files(), std::vector<std::string>{"out.png"});
    struct stat st;
    ASSERT_EQ(stat(dir.path("out.png").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0044, 0u) << "created with the usual permissions";
    refhost::World back;
    ASSERT_TRUE(cwtool::readPng(dir.path("out.png"), back, error)) << error;
    EXPECT_TRUE(back.samePixels(w));
}

TEST(PngWrite, AnUnwritableFolderFailsWithoutAFile) {
    TempDir dir;
    refhost::World w;
    std::string error;
    ASSERT_TRUE(w.allocate(2, 2, error));
    EXPECT_FALSE(cwtool::writePng(dir.path("no/such/folder/out.png"), w, error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
    EXPECT_TRUE(dir.files().empty());
}

}  // namespace

// ---- the quick decoder, held to libpng ----

namespace quick {

bool readWith(bool libpng_only, const std::vector<uint8_t>& bytes, refhost::World& w, std::string& error) {
    FILE* f = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
    const bool ok = libpng_only ? cwtool::readPngStreamWithLibpng(f, "input", w, error)
                                : cwtool::readPngStream(f, "input", w, error);
    std::fclose(f);
    return ok;
}

void setBig32(std::vector<uint8_t>& data, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) data[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

}  // namespace quick

// Found by the differential fuzzer: a Huffman table whose code lengths run
// past their count. zlib (libpng's inflater) refuses it; so must the quick
// decoder, whose answer may never depend on which decoder a file reaches.
TEST(PngQuickDecoder, RefusesTheDeflateStreamsLibpngRefuses) {
    const std::vector<uint8_t> bytes =
        cwtest::readBytes(std::string(CHECKERWARP_SOURCE_DIR) + "/fuzz/corpus/png/code-lengths-overrun.png");
    ASSERT_FALSE(bytes.empty());
    refhost::World quick_world, libpng_world;
    std::string quick_error, libpng_error;
    EXPECT_FALSE(quick::readWith(true, bytes, libpng_world, libpng_error));
    EXPECT_FALSE(quick::readWith(false, bytes, quick_world, quick_error));
    EXPECT_NE(quick_error.find("invalid bit length repeat"), std::string::npos) << quick_error;
}

TEST(PngQuickDecoder, EveryRowFilterOfRgbAndRgbaDecodesAsLibpngDoes) {
    TempDir dir;
    for (int colour : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGBA}) {
        for (int filter = 0; filter <= 4; ++filter) {
            PngSpec s = spec(colour, 8, false, false, 37, 23);
            s.filter = filter;
            s.idat_bytes = 97;  // the data over many IDATs
            const std::string path = dir.path("f.png");
            cwtest::writeTestPng(path, s);
            const std::vector<uint8_t> bytes = cwtest::readBytes(path);
            refhost::World quick_world, libpng_world;
            std::string error;
            ASSERT_TRUE(quick::readWith(false, bytes, quick_world, error)) << error;
            ASSERT_TRUE(quick::readWith(true, bytes, libpng_world, error)) << error;
            EXPECT_TRUE(quick_world.samePixels(libpng_world)) << "colour " << colour << ", filter " << filter;
            for (int y = 0; y < s.height; ++y)
                for (int x = 0; x < s.width; ++x) {
                    uint8_t e[4];
                    cwtest::expectedPixel(s, x, y, e);
                    const PF_Pixel p = quick_world.at(x, y);
                    ASSERT_EQ(p, (PF_Pixel{e[0], e[1], e[2], e[3]})) << x << "," << y << " filter " << filter;
                }
            // the padding past each row stays zero, as a world's does
            for (int32_t y = 0; y < quick_world.height(); ++y) {
                const uint8_t* row = reinterpret_cast<const uint8_t*>(quick_world.row(y));
                for (int32_t i = quick_world.width() * 4; i < quick_world.def().rowbytes; ++i)
                    ASSERT_EQ(row[i], 0) << "row " << y << " byte " << i;
            }
        }
    }
}

TEST(PngQuickDecoder, RefusesWhatLibpngRefuses) {
    TempDir dir;
    PngSpec s = spec(PNG_COLOR_TYPE_RGBA, 8, false, false, 16, 12);
    s.idat_bytes = 64;
    cwtest::writeTestPng(dir.path("good.png"), s);
    const std::vector<cwtest::PngChunk> good = cwtest::pngChunks(cwtest::readBytes(dir.path("good.png")));
    ASSERT_EQ(good.front().type, "IHDR");
    ASSERT_GT(good.size(), 4u) << "several IDATs";
    auto withHeader = [&](size_t at, uint8_t v) {
        std::vector<cwtest::PngChunk> c = good;
        c[0].data[at] = v;
        return c;
    };
    auto inserted = [&](size_t before, cwtest::PngChunk chunk) {
        std::vector<cwtest::PngChunk> c = good;
        c.insert(c.begin() + static_cast<long>(before), chunk);
        return c;
    };
    cwtest::PngChunk wider = good[0];
    quick::setBig32(wider.data, 0, 17);
    cwtest::PngChunk huge_width = good[0];
    quick::setBig32(huge_width.data, 0, 134217727);
    quick::setBig32(huge_width.data, 4, 1);
    const size_t last_idat = good.size() - 1;  // IEND follows the IDATs
    const struct {
        const char* what;
        std::vector<cwtest::PngChunk> chunks;
    } cases[] = {
        {"a second IHDR of another size", inserted(1, wider)},
        {"IHDR after IDAT", inserted(last_idat, good[0])},
        {"an unknown critical chunk", inserted(1, {"ABCD", {1, 2, 3}})},
        {"compression method 1", withHeader(10, 1)},
        {"filter method 1", withHeader(11, 1)},
        {"filter method 64", withHeader(11, 64)},
        {"a chunk type that is not letters", inserted(1, {"a1b2", {}})},
        {"IDATs split by another chunk", inserted(2, {"tEXt", {'a', 0, 'b'}})},
        {"134217727 x 1", {huge_width, good[1], good.back()}},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes = cwtest::pngFile(c.chunks);
        refhost::World w;
        std::string quick_error, libpng_error;
        EXPECT_FALSE(quick::readWith(false, bytes, w, quick_error)) << c.what;
        EXPECT_FALSE(quick::readWith(true, bytes, w, libpng_error)) << c.what << ": libpng takes it too";
        EXPECT_EQ(quick_error.find('\n'), std::string::npos) << c.what;
        EXPECT_EQ(quick_error.rfind("cannot read input: ", 0), 0u) << c.what << ": " << quick_error;
    }
}

TEST(PngQuickDecoder, ReadsUpToIendAndNoFurther) {
    TempDir dir;
    cwtest::writeTestPng(dir.path("p.png"), spec(PNG_COLOR_TYPE_RGBA, 8, false, false, 9, 7));
    std::vector<uint8_t> bytes = cwtest::readBytes(dir.path("p.png"));
    const size_t png_size = bytes.size();
    bytes.resize(png_size + (1 << 20), 0);  // a megabyte of anything after it
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    refhost::World w;
    std::string error;
    ASSERT_TRUE(cwtool::readPngStream(f, "input", w, error)) << error;
    EXPECT_EQ(std::ftell(f), static_cast<long>(png_size));
    std::fclose(f);
    // an endless run of chunks is refused once it holds more than its picture can need
    std::vector<cwtest::PngChunk> chunks = cwtest::pngChunks(cwtest::readBytes(dir.path("p.png")));
    chunks.pop_back();
    for (int i = 0; i < 70; ++i) chunks.push_back({"tEXt", std::vector<uint8_t>(1 << 20, 'x')});
    const std::vector<uint8_t> flood = cwtest::pngFile(chunks);
    EXPECT_FALSE(quick::readWith(false, flood, w, error));
    EXPECT_NE(error.find("holds more data than a 9 x 7 picture needs"), std::string::npos) << error;
}

// A picture large enough to be filtered in ranges of rows and deflated in
// pieces on several threads: the joined stream is one zlib stream libpng reads
// back exactly, for noisy rows, repeated rows and flat rows alike, at every
// compression (Sub, none and Paeth rows).
TEST(PngWrite, APictureDeflatedInPiecesReadsBackExactly) {
    refhost::World w;
    std::string error;
    ASSERT_TRUE(w.allocate(1500, 1700, error)) << error;  // about 10 MB of filtered rows
    uint32_t state = 12345;
    for (int32_t y = 0; y < w.height(); ++y)
        for (int32_t x = 0; x < w.width(); ++x) {
            PF_Pixel& p = w.at(x, y);
            if (y < 600) {  // noise
                state = state * 1664525u + 1013904223u;
                p = PF_Pixel{static_cast<A_u_char>(state >> 24), static_cast<A_u_char>(state >> 16),
                             static_cast<A_u_char>(state >> 8), static_cast<A_u_char>(state)};
            } else if (y < 1200) {  // a mosaic: rows repeated, runs of one colour
                p = PF_Pixel{255, static_cast<A_u_char>(x / 60 * 7), static_cast<A_u_char>(y / 60 * 11), 40};
            } else {
                p = PF_Pixel{128, 1, 2, 3};
            }
        }
    for (cwtool::PngCompression c :
         {cwtool::PngCompression::kDefault, cwtool::PngCompression::kFast, cwtool::PngCompression::kSmall}) {
        char* data = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&data, &size);
        ASSERT_TRUE(cwtool::writePngStream(out, "memory", w, error, c)) << error;
        std::fclose(out);
        const std::vector<uint8_t> bytes(data, data + size);
        std::free(data);
        refhost::World back, quick_back;
        ASSERT_TRUE(quick::readWith(true, bytes, back, error)) << error;
        EXPECT_TRUE(back.samePixels(w));
        ASSERT_TRUE(quick::readWith(false, bytes, quick_back, error)) << error;
        EXPECT_TRUE(quick_back.samePixels(w));
    }
}
