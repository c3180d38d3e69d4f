// PNG files made for the tests with libpng: every colour type, bit depth and
// interlacing, and damaged ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cwtest {

struct PngSpec {
    int width = 4, height = 3;
    int color_type = 6;   // PNG_COLOR_TYPE_*
    int bit_depth = 8;
    bool interlaced = false;
    bool palette_alpha = false;  // a tRNS chunk for palette and gray images
    int filter = -1;             // every row with this filter (0 none .. 4 Paeth); -1: libpng's choice
    int idat_bytes = 0;          // IDAT chunks of at most this many bytes; 0: libpng's
};

// A PNG's chunks, and a file made of chunks with their CRCs worked out.
struct PngChunk {
    std::string type;
    std::vector<uint8_t> data;
};
std::vector<PngChunk> pngChunks(const std::vector<uint8_t>& file);
std::vector<uint8_t> pngFile(const std::vector<PngChunk>& chunks);

// Writes a PNG whose sample (x, y, channel) is a function of its position; the
// expected 8-bit ARGB pixel is given by expectedPixel.
void writeTestPng(const std::string& path, const PngSpec& spec);
// a, r, g, b of pixel (x, y) as the reader should give it.
void expectedPixel(const PngSpec& spec, int x, int y, uint8_t out[4]);

// The tests' usual input: a 97 x 61 RGBA picture of writeTestPng's samples
// (odd sizes, varying alpha), written to `path`; returns the path.
std::string writeSamplePicture(const std::string& path);

std::vector<uint8_t> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }
    // The names of the files in the folder.
    std::vector<std::string> files() const;

private:
    std::string dir_;
};

}  // namespace cwtest
