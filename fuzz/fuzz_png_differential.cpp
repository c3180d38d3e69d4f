// Any bytes as a PNG file, with every chunk's CRC put right first so that the
// mutations reach the chunks' contents (the quick decoder's un-filtering of
// every filter type, its RGB and RGBA rows): the reader must take exactly the
// files libpng alone takes and give exactly libpng's pixels, or abort.
#include <libdeflate.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/png_io.h"

namespace {

uint32_t big32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The bytes with a PNG signature in front and each whole chunk's CRC
// recomputed; a last chunk cut short is left as it is.
std::vector<uint8_t> withGoodCrcs(const uint8_t* data, size_t size) {
    std::vector<uint8_t> b(cwtool::kPngSignature, cwtool::kPngSignature + 8);
    const size_t skip = size >= 8 && std::memcmp(data, cwtool::kPngSignature, 8) == 0 ? 8 : 0;
    b.insert(b.end(), data + skip, data + size);
    for (size_t at = 8; at + 12 <= b.size();) {
        const uint32_t length = big32(&b[at]);
        if (length > b.size() - at - 12) break;
        const uint32_t crc = static_cast<uint32_t>(libdeflate_crc32(0, &b[at + 4], 4 + size_t{length}));
        for (int i = 0; i < 4; ++i) b[at + 8 + length + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        at += 12 + size_t{length};
    }
    return b;
}

bool decode(bool libpng_only, std::vector<uint8_t>& bytes, refhost::World& world) {
    FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
    if (!file) return false;
    std::string error;
    // small frames only: the point is agreement, and every mutation is decoded twice
    const int64_t max_pixels = int64_t{1} << 22;
    const bool ok = libpng_only ? cwtool::readPngStreamWithLibpng(file, "input", world, error, max_pixels)
                                : cwtool::readPngStream(file, "input", world, error, max_pixels);
    std::fclose(file);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes = withGoodCrcs(data, size);
    refhost::World ours, libpngs;
    const bool ours_ok = decode(false, bytes, ours);
    const bool libpng_ok = decode(true, bytes, libpngs);
    if (ours_ok != libpng_ok) {
        std::fprintf(stderr, "the reader %s a file libpng %s\n", ours_ok ? "takes" : "refuses",
                     libpng_ok ? "takes" : "refuses");
        std::abort();
    }
    if (ours_ok && !ours.samePixels(libpngs)) {
        std::fprintf(stderr, "the reader and libpng decode the file to different pixels\n");
        std::abort();
    }
    return 0;
}
