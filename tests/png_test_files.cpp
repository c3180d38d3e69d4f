#include "tests/png_test_files.h"

#include <dirent.h>
#include <png.h>
#include <zlib.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace cwtest {

static uint32_t big32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::vector<PngChunk> pngChunks(const std::vector<uint8_t>& file) {
    std::vector<PngChunk> chunks;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = big32(&file[at]);
        if (length > file.size() - at - 12) throw std::runtime_error("a chunk runs past the end");
        PngChunk c;
        c.type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
        c.data.assign(file.begin() + static_cast<long>(at + 8), file.begin() + static_cast<long>(at + 8 + length));
        chunks.push_back(c);
        at += 12 + length;
    }
    return chunks;
}

std::vector<uint8_t> pngFile(const std::vector<PngChunk>& chunks) {
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto put32 = [&](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) file.push_back(static_cast<uint8_t>(v >> shift));
    };
    for (const PngChunk& c : chunks) {
        put32(static_cast<uint32_t>(c.data.size()));
        const size_t start = file.size();
        file.insert(file.end(), c.type.begin(), c.type.end());
        file.insert(file.end(), c.data.begin(), c.data.end());
        put32(static_cast<uint32_t>(crc32(0, &file[start], static_cast<uInt>(file.size() - start))));
    }
    return file;
}

// A 16-bit sample at (x, y) for channel c; 8-bit images use its high byte.
static uint16_t sample16(int x, int y, int c) {
    return static_cast<uint16_t>((x * 9173 + y * 4099 + c * 21011 + x * y * 57) & 0xFFFF);
}

static uint8_t to8(uint16_t v, int depth) {
    if (depth == 16) return static_cast<uint8_t>(std::lround(v * 255.0 / 65535.0));  // rounded, not cut
    return static_cast<uint8_t>(v >> 8);
}

// Gray levels for depths under 8, scaled up as libpng expands them.
static uint8_t lowGray(int x, int y, int depth) {
    const int levels = (1 << depth) - 1;
    const int g = (x + 2 * y) % (levels + 1);
    return static_cast<uint8_t>(g * 255 / levels);
}

void expectedPixel(const PngSpec& s, int x, int y, uint8_t out[4]) {
    const int depth = s.bit_depth;
    switch (s.color_type) {
    case PNG_COLOR_TYPE_PALETTE: {
        const int index = (x + 3 * y) % 4;
        const uint8_t pal[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {250, 250, 10}};
        out[0] = s.palette_alpha ? static_cast<uint8_t>(index * 80) : 255;
        out[1] = pal[index][0], out[2] = pal[index][1], out[3] = pal[index][2];
        return;
    }
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_GRAY_ALPHA: {
        const uint8_t g = depth < 8 ? lowGray(x, y, depth) : to8(sample16(x, y, 0), depth);
        out[1] = out[2] = out[3] = g;
        out[0] = s.color_type == PNG_COLOR_TYPE_GRAY_ALPHA ? to8(sample16(x, y, 3), depth) : 255;
        return;
    }
    default:
        for (int c = 0; c < 3; ++c) out[1 + c] = to8(sample16(x, y, c), depth);
        out[0] = s.color_type == PNG_COLOR_TYPE_RGBA ? to8(sample16(x, y, 3), depth) : 255;
    }
}

void writeTestPng(const std::string& path, const PngSpec& s) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, s.width, s.height, s.bit_depth, s.color_type,
                 s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (s.color_type == PNG_COLOR_TYPE_PALETTE) {
        png_color pal[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {250, 250, 10}};
        png_set_PLTE(png, info, pal, 4);
        if (s.palette_alpha) {
            png_byte alpha[4] = {0, 80, 160, 240};
            png_set_tRNS(png, info, alpha, 4, nullptr);
        }
    }
    if (s.filter >= 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, 0x08 << s.filter);  // PNG_FILTER_NONE << filter
    if (s.idat_bytes > 0) png_set_compression_buffer_size(png, static_cast<size_t>(s.idat_bytes));
    png_write_info(png, info);
    const int channels = s.color_type == PNG_COLOR_TYPE_RGBA ? 4 : s.color_type == PNG_COLOR_TYPE_RGB ? 3
                         : s.color_type == PNG_COLOR_TYPE_GRAY_ALPHA                               ? 2
                                                                                                   : 1;
    std::vector<std::vector<png_byte>> rows(s.height, std::vector<png_byte>(s.width * channels * 2 + 8, 0));
    for (int y = 0; y < s.height; ++y) {
        for (int x = 0; x < s.width; ++x) {
            if (s.color_type == PNG_COLOR_TYPE_PALETTE || (s.color_type == PNG_COLOR_TYPE_GRAY && s.bit_depth < 8)) {
                const int value = s.color_type == PNG_COLOR_TYPE_PALETTE ? (x + 3 * y) % 4
                                                                         : (x + 2 * y) % (1 << s.bit_depth);
                const int per_byte = 8 / s.bit_depth;
                const int shift = 8 - s.bit_depth * (1 + x % per_byte);
                rows[y][x / per_byte] |= static_cast<png_byte>(value << shift);
                continue;
            }
            for (int c = 0; c < channels; ++c) {
                const int channel = (channels == 2 && c == 1) ? 3 : c;
                const uint16_t v = sample16(x, y, channel);
                if (s.bit_depth == 16) {
                    rows[y][(x * channels + c) * 2] = static_cast<png_byte>(v >> 8);
                    rows[y][(x * channels + c) * 2 + 1] = static_cast<png_byte>(v & 0xFF);
                } else {
                    rows[y][x * channels + c] = static_cast<png_byte>(v >> 8);
                }
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& r : rows) pointers.push_back(r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

std::string writeSamplePicture(const std::string& path) {
    PngSpec s;
    s.width = 97;
    s.height = 61;
    writeTestPng(path, s);
    return path;
}

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/checkerwarp-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
}

TempDir::~TempDir() {
    std::system(("chmod -R u+w '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'").c_str());
}

std::vector<std::string> TempDir::files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

}  // namespace cwtest
