#include "tools/png_io.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/output_file.h"

namespace cwtool {

static_assert(sizeof(PF_Pixel) == 4, "a world's row is RGBA-sized: decoded in place");

namespace {

// libpng reports errors by longjmp; the message is kept here. The functions that
// call setjmp hold no object with a destructor that a jump could skip.
struct PngContext {
    char message[256];
    int saved_errno;  // the system's reason, when a read or write failed
};

void onPngError(png_structp png, png_const_charp message) {
    auto* ctx = static_cast<PngContext*>(png_get_error_ptr(png));
    ctx->saved_errno = errno;
    if (errno != 0)
        std::snprintf(ctx->message, sizeof(ctx->message), "%s (%s)", message, std::strerror(errno));
    else
        std::snprintf(ctx->message, sizeof(ctx->message), "%s", message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void rgbaToArgbInPlace(uint8_t* row, int32_t width) {
    for (int32_t x = 0; x < width; ++x, row += 4) {
        const uint8_t r = row[0], g = row[1], b = row[2], a = row[3];
        row[0] = a;
        row[1] = r;
        row[2] = g;
        row[3] = b;
    }
}

// 0 on success, 1 for a libpng error (message in ctx), 2 for an allocation
// failure (message in `error`).
int decode(FILE* file, refhost::World& world, PngContext& ctx, std::string& error, int64_t max_pixels) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, onPngError, onPngWarning);
    if (!png) {
        std::snprintf(ctx.message, sizeof(ctx.message), "out of memory");
        return 1;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        return 1;
    }
    png_init_io(png, file);
    png_set_sig_bytes(png, 8);  // read already, and a pipe cannot be rewound
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    const int colour = png_get_color_type(png, info), depth = png_get_bit_depth(png, info);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    const bool has_trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (has_trns) png_set_tRNS_to_alpha(png);
    if (depth == 16) png_set_scale_16(png);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if (!(colour & PNG_COLOR_MASK_ALPHA) && !has_trns) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 4) {
        std::snprintf(ctx.message, sizeof(ctx.message), "unsupported pixel layout");
        png_destroy_read_struct(&png, &info, nullptr);
        return 1;
    }
    if (static_cast<int64_t>(width) * height > max_pixels) {
        std::snprintf(ctx.message, sizeof(ctx.message),
                      "image too large: %u x %u pixels is over the limit of %lld pixels (--max-pixels raises it)",
                      width, height, static_cast<long long>(max_pixels));
        png_destroy_read_struct(&png, &info, nullptr);
        return 1;
    }
    if (!world.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), error)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return 2;
    }
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < height; ++y)
            png_read_row(png, reinterpret_cast<png_bytep>(world.row(static_cast<int32_t>(y))), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    for (png_uint_32 y = 0; y < height; ++y)
        rgbaToArgbInPlace(reinterpret_cast<uint8_t*>(world.row(static_cast<int32_t>(y))), static_cast<int32_t>(width));
    return 0;
}

int encode(FILE* file, const refhost::World& world, uint8_t* row_buffer, PngContext& ctx) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, onPngError, onPngWarning);
    if (!png) {
        std::snprintf(ctx.message, sizeof(ctx.message), "out of memory");
        return 1;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return 1;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(world.width()), static_cast<png_uint_32>(world.height()), 8,
                 PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 6);
    png_write_info(png, info);
    for (int32_t y = 0; y < world.height(); ++y) {
        const PF_Pixel* src = world.row(y);
        for (int32_t x = 0; x < world.width(); ++x) {
            row_buffer[4 * x + 0] = src[x].red;
            row_buffer[4 * x + 1] = src[x].green;
            row_buffer[4 * x + 2] = src[x].blue;
            row_buffer[4 * x + 3] = src[x].alpha;
        }
        png_write_row(png, row_buffer);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

}  // namespace

bool readPngStream(FILE* file, const std::string& name, refhost::World& world, std::string& error,
                   int64_t max_pixels) {
    unsigned char signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof(signature), file);
    if (got != sizeof(signature) || png_sig_cmp(signature, 0, sizeof(signature)) != 0) {
        error = name + " is not a PNG file";
        return false;
    }
    PngContext ctx{};
    std::string alloc_error;
    errno = 0;
    const int rc = decode(file, world, ctx, alloc_error, max_pixels);
    if (rc == 1) error = "cannot read " + name + ": " + ctx.message;
    if (rc == 2) error = "cannot read " + name + ": " + alloc_error;
    return rc == 0;
}

bool readPng(const std::string& path, refhost::World& world, std::string& error, int64_t max_pixels) {
    if (path == "-") return readPngStream(stdin, "standard input", world, error, max_pixels);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = readPngStream(file, path, world, error, max_pixels);
    std::fclose(file);
    return ok;
}

bool writePngStream(FILE* file, const std::string& name, const refhost::World& world, std::string& error) {
    if (world.width() <= 0 || world.height() <= 0) {
        error = "cannot write " + name + ": a PNG needs at least one pixel";
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(world.width()) * 4);
    PngContext ctx{};
    errno = 0;
    if (encode(file, world, row.data(), ctx) != 0) {
        error = "cannot write " + name + ": " + ctx.message;
        return false;
    }
    return true;
}

bool writePng(const std::string& path, const refhost::World& world, std::string& error) {
    if (world.width() <= 0 || world.height() <= 0) {
        error = "cannot write " + path + ": a PNG needs at least one pixel";
        return false;
    }
    OutputFile out;
    return out.open(path, error) && writePngStream(out.stream(), path, world, error) && out.commit(error);
}

}  // namespace cwtool
