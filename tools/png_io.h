// PNG files in and out of the host's worlds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/reference_host.h"

namespace cwtool {

// Reads any PNG libpng reads (gray, gray + alpha, RGB, RGBA, palette with or
// without transparency, interlaced, 1 to 16 bits) into `world` as 8-bit ARGB,
// straight alpha; 16-bit samples are rounded to 8 bits, missing alpha is opaque.
// Decodes straight into the world's rows: no second copy of the frame.
bool readPng(const std::string& path, refhost::World& world, std::string& error);
// The same from an open stream; `name` is used in messages. Images of more than
// `max_pixels` pixels are refused before anything is allocated.
bool readPngStream(FILE* file, const std::string& name, refhost::World& world, std::string& error,
                   int64_t max_pixels = INT64_MAX);

// Writes the world as an 8-bit RGBA PNG. The file is written under a temporary
// name beside the target and renamed into place only when complete.
bool writePng(const std::string& path, const refhost::World& world, std::string& error);

}  // namespace cwtool
