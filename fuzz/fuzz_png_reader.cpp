// Any bytes as a PNG file: a clean refusal or a decoded world, never a fault.
#include <cstdio>

#include "tools/png_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!file) return 0;
    refhost::World world;
    std::string error;
    // Declared sizes up to the command's own limit: a large frame is mapped on
    // demand, so a header that promises far more than the data holds costs
    // only the rows actually decoded.
    cwtool::readPngStream(file, "input", world, error, cwtool::kDefaultMaxPixels);
    std::fclose(file);
    return 0;
}
