// Any bytes as a PNG file: a clean refusal or a decoded world, never a fault.
#include <cstdio>

#include "tools/png_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!file) return 0;
    refhost::World world;
    std::string error;
    // keep each case small; the limit is checked before anything is allocated
    cwtool::readPngStream(file, "input", world, error, 4096 * 4096);
    std::fclose(file);
    return 0;
}
