// PNG files in and out of the host's worlds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/reference_host.h"

namespace cwtool {

// The largest picture read unless the caller allows more: 16384 x 16384.
constexpr int64_t kDefaultMaxPixels = int64_t{1} << 28;

// The eight bytes every PNG file starts with.
constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// "image too large: W x H pixels is over the limit of N pixels (--max-pixels raises it)"
std::string tooLargeMessage(int64_t width, int64_t height, int64_t max_pixels);

// Reads any PNG libpng reads (gray, gray + alpha, RGB, RGBA, palette with or
// without transparency, interlaced, 1 to 16 bits) into `world` as 8-bit ARGB,
// straight alpha; 16-bit samples are rounded to 8 bits, missing alpha is opaque.
// Decodes straight into the world's rows: no second copy of the frame.
// Images of more than `max_pixels` pixels are refused before anything is
// allocated. "-" reads standard input; nothing is read twice, so pipes and
// FIFOs work.
bool readPng(const std::string& path, refhost::World& world, std::string& error,
             int64_t max_pixels = kDefaultMaxPixels);
// The same from an open stream; `name` is used in messages. The stream is read
// up to the picture's IEND chunk and no further, and never further than its
// header says the picture can fill.
bool readPngStream(FILE* file, const std::string& name, refhost::World& world, std::string& error,
                   int64_t max_pixels = kDefaultMaxPixels);

// readPngStream decoding through libpng alone, never the quick decoder, so
// that the two can be compared.
bool readPngStreamWithLibpng(FILE* file, const std::string& name, refhost::World& world, std::string& error,
                             int64_t max_pixels = kDefaultMaxPixels);

// The size a PNG file's header gives, reading its first 24 bytes only; false
// with "cannot read FILE: why" or "FILE is not a PNG file".
bool readPngSize(const std::string& path, int32_t& width, int32_t& height, std::string& error);

// How hard the writer works for a small file: kFast and kDefault are quick
// (zlib's default level makes a noisy 4K picture take seconds), kSmall takes
// the time for the smallest file.
enum class PngCompression { kFast, kDefault, kSmall };

// Writes the world as an 8-bit RGBA PNG; the path only ever holds a complete
// picture (see OutputFile), and "-" is standard output.
bool writePng(const std::string& path, const refhost::World& world, std::string& error,
              PngCompression compression = PngCompression::kDefault);
// The same into an open stream; `name` is used in messages.
bool writePngStream(FILE* file, const std::string& name, const refhost::World& world, std::string& error,
                    PngCompression compression = PngCompression::kDefault);

}  // namespace cwtool
