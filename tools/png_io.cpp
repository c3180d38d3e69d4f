#include "tools/png_io.h"

#include <libdeflate.h>
#include <png.h>
#include <sys/mman.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "host/host_pixels.h"
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
    // The ancillary chunks the picture does not need are skipped unread: libpng
    // allocates some (sPLT) at the length they claim, gigabytes from a few bytes.
    static const png_byte kSkipped[] = "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0"
                                       "sPLT\0sRGB\0tEXt\0tIME\0zTXt";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkipped, 17);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_chunk_malloc_max(png, png_alloc_size_t{16} << 20);
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
    for (png_uint_32 y = 0; y < height; ++y) {
        PF_Pixel* row = world.row(static_cast<int32_t>(y));
        refhost::pixelsFromRgba(reinterpret_cast<const uint8_t*>(row), row, width);
    }
    return 0;
}

int encode(FILE* file, const refhost::World& world, uint8_t* row_buffer, PngContext& ctx, PngCompression compression) {
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
    switch (compression) {
    case PngCompression::kFast:
        png_set_compression_level(png, 1);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
        break;
    case PngCompression::kDefault:
        png_set_compression_level(png, 2);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB | PNG_FILTER_UP);
        break;
    case PngCompression::kSmall: png_set_compression_level(png, 9); break;
    }
    png_write_info(png, info);
    for (int32_t y = 0; y < world.height(); ++y) {
        refhost::pixelsToRgba(world.row(y), row_buffer, static_cast<size_t>(world.width()));
        png_write_row(png, row_buffer);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

// The filtered rows of a PNG: each row's filter byte, then its RGBA bytes with
// the filter applied (Sub: each byte less the one a pixel to its left; Paeth:
// less the predictor of left, up and upper left).
enum class RowFilter : uint8_t { kNone = 0, kSub = 1, kPaeth = 4 };

void filterRows(const refhost::World& world, RowFilter filter, uint8_t* out) {
    const size_t row_bytes = static_cast<size_t>(world.width()) * 4;
    std::vector<uint8_t> previous(row_bytes, 0), current(row_bytes);
    for (int32_t y = 0; y < world.height(); ++y) {
        refhost::pixelsToRgba(world.row(y), current.data(), static_cast<size_t>(world.width()));
        *out++ = static_cast<uint8_t>(filter);
        for (size_t i = 0; i < row_bytes; ++i) {
            const int a = i >= 4 ? current[i - 4] : 0, b = previous[i], c = i >= 4 ? previous[i - 4] : 0;
            int predictor = 0;
            if (filter == RowFilter::kSub) {
                predictor = a;
            } else if (filter == RowFilter::kPaeth) {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            }
            *out++ = static_cast<uint8_t>(current[i] - predictor);
        }
        previous.swap(current);
    }
}

void putBig32(std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
}

// One chunk: length, type, data, CRC of type and data.
bool writeChunk(FILE* file, const char type[4], const uint8_t* data, size_t size) {
    std::string head;
    putBig32(head, static_cast<uint32_t>(size));
    head.append(type, 4);
    uint32_t crc = static_cast<uint32_t>(libdeflate_crc32(0, type, 4));
    if (size > 0) crc = static_cast<uint32_t>(libdeflate_crc32(crc, data, size));  // (a null buffer restarts it)
    std::string tail;
    putBig32(tail, crc);
    return std::fwrite(head.data(), 1, head.size(), file) == head.size() &&
           (size == 0 || std::fwrite(data, 1, size, file) == size) &&
           std::fwrite(tail.data(), 1, tail.size(), file) == tail.size();
}

// The whole picture filtered and compressed at once with libdeflate, many
// times faster than zlib at the same size; false (with the reason in ctx)
// when there is no memory for it.
int encodeWhole(FILE* file, const refhost::World& world, PngContext& ctx, PngCompression compression) {
    const size_t filtered_size = static_cast<size_t>(world.height()) * (1 + static_cast<size_t>(world.width()) * 4);
    const int level = compression == PngCompression::kSmall ? 12 : compression == PngCompression::kDefault ? 1 : 0;
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (!compressor) {
        std::snprintf(ctx.message, sizeof(ctx.message), "out of memory");
        return 1;
    }
    std::vector<uint8_t> filtered, compressed;
    try {
        filtered.resize(filtered_size);
        compressed.resize(libdeflate_zlib_compress_bound(compressor, filtered_size));
    } catch (const std::bad_alloc&) {
        libdeflate_free_compressor(compressor);
        std::snprintf(ctx.message, sizeof(ctx.message), "out of memory");
        return 1;
    }
    filterRows(world, compression == PngCompression::kFast ? RowFilter::kNone : compression == PngCompression::kDefault ? RowFilter::kSub : RowFilter::kPaeth, filtered.data());
    const size_t size = libdeflate_zlib_compress(compressor, filtered.data(), filtered.size(), compressed.data(),
                                                 compressed.size());
    libdeflate_free_compressor(compressor);
    std::string ihdr;
    putBig32(ihdr, static_cast<uint32_t>(world.width()));
    putBig32(ihdr, static_cast<uint32_t>(world.height()));
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, adaptive filters, not interlaced
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    errno = 0;
    bool ok = size > 0 && std::fwrite(kSignature, 1, 8, file) == 8 &&
              writeChunk(file, "IHDR", reinterpret_cast<const uint8_t*>(ihdr.data()), ihdr.size());
    // the data in chunks of 1 MiB, as PNG readers expect
    for (size_t at = 0; ok && at < size; at += size_t{1} << 20)
        ok = writeChunk(file, "IDAT", compressed.data() + at, std::min(size - at, size_t{1} << 20));
    ok = ok && writeChunk(file, "IEND", nullptr, 0);
    if (!ok) {
        std::snprintf(ctx.message, sizeof(ctx.message), "%s", errno ? std::strerror(errno) : "write failed");
        return 1;
    }
    return 0;
}

// Bytes mapped on demand: a file that promises a huge picture and holds
// little data touches, and so costs, only what it fills.
class MappedBytes {
public:
    explicit MappedBytes(size_t size) : size_(size) {
        void* p = mmap(nullptr, size ? size : 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    }
    ~MappedBytes() {
        if (data_) munmap(data_, size_ ? size_ : 1);
    }
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;
    uint8_t* get() const { return data_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_;
};

uint32_t big32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The common PNG, 8-bit RGB or RGBA, not interlaced, without a transparency
// chunk, decoded whole with libdeflate, several times faster than libpng's
// zlib. `data` is the file after its signature. Returns 0 when decoded, 1 when
// libpng should decode it (another kind, or anything amiss: libpng says
// what), 2 when it is refused for its size (the message in `message`).
int decodeWhole(const uint8_t* data, size_t size, refhost::World& world, int64_t max_pixels, PngContext& ctx) {
    if (size < 25 || big32(data) != 13 || std::memcmp(data + 4, "IHDR", 4) != 0) return 1;
    const uint32_t width = big32(data + 8), height = big32(data + 12);
    const int depth = data[16], colour = data[17], interlace = data[20];
    if (depth != 8 || (colour != 2 && colour != 6) || interlace != 0 || width == 0 || height == 0 || width > 0x7FFFFFF)
        return 1;
    if (static_cast<int64_t>(width) * height > max_pixels) {
        std::snprintf(ctx.message, sizeof(ctx.message),
                      "image too large: %u x %u pixels is over the limit of %lld pixels (--max-pixels raises it)",
                      width, height, static_cast<long long>(max_pixels));
        return 2;
    }
    // the chunks, each checked; the image data gathered
    std::vector<uint8_t> compressed;
    bool ended = false;
    for (size_t at = 0; at + 12 <= size && !ended;) {
        const uint32_t length = big32(data + at);
        if (length > size - at - 12) return 1;
        const uint8_t* type = data + at + 4;
        const uint32_t crc = static_cast<uint32_t>(libdeflate_crc32(0, type, 4 + static_cast<size_t>(length)));
        if (crc != big32(data + at + 8 + length)) return 1;
        if (std::memcmp(type, "tRNS", 4) == 0) return 1;
        if (std::memcmp(type, "IDAT", 4) == 0) compressed.insert(compressed.end(), type + 4, type + 4 + length);
        ended = std::memcmp(type, "IEND", 4) == 0;
        at += 12 + static_cast<size_t>(length);
    }
    if (!ended || compressed.empty()) return 1;
    const size_t channels = colour == 6 ? 4 : 3, row_bytes = width * channels, filtered_size = height * (1 + row_bytes);
    MappedBytes filtered(filtered_size);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (!filtered.get() || !d) {
        if (d) libdeflate_free_decompressor(d);
        return 1;
    }
    size_t produced = 0;
    const libdeflate_result result = libdeflate_zlib_decompress(d, compressed.data(), compressed.size(), filtered.get(),
                                                                filtered_size, &produced);
    libdeflate_free_decompressor(d);
    if (result != LIBDEFLATE_SUCCESS || produced != filtered_size) return 1;
    std::string error;
    if (!world.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), error)) return 1;
    // undo each row's filter in place, against the row above, then into the world
    uint8_t* previous = nullptr;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = filtered.get() + y * (1 + row_bytes);
        const int filter = row[0];
        uint8_t* p = row + 1;
        for (size_t i = 0; i < row_bytes; ++i) {
            const int a = i >= channels ? p[i - channels] : 0, b = previous ? previous[i] : 0;
            const int c = previous && i >= channels ? previous[i - channels] : 0;
            int predictor;
            switch (filter) {
            case 0: predictor = 0; break;
            case 1: predictor = a; break;
            case 2: predictor = b; break;
            case 3: predictor = (a + b) / 2; break;
            case 4: {
                const int q = a + b - c, pa = std::abs(q - a), pb = std::abs(q - b), pc = std::abs(q - c);
                predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                break;
            }
            default: return 1;
            }
            p[i] = static_cast<uint8_t>(p[i] + predictor);
        }
        PF_Pixel* out = world.row(static_cast<int32_t>(y));
        if (channels == 4)
            refhost::pixelsFromRgba(p, out, width);
        else
            for (uint32_t x = 0; x < width; ++x, p += channels) out[x] = PF_Pixel{255, p[0], p[1], p[2]};
        previous = row + 1;
    }
    return 0;
}

// Pictures whose filtered bytes are over this are written row by row through
// libpng instead of whole, so a huge one needs no second copy in memory.
constexpr size_t kWholeEncodeLimit = size_t{512} << 20;

}  // namespace

bool readPngStream(FILE* file, const std::string& name, refhost::World& world, std::string& error,
                   int64_t max_pixels) {
    unsigned char signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof(signature), file);
    if (got != sizeof(signature) || png_sig_cmp(signature, 0, sizeof(signature)) != 0) {
        error = name + " is not a PNG file";
        return false;
    }
    // the whole file: the common kind is decoded at once, any other by libpng
    std::vector<uint8_t> data;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) data.insert(data.end(), chunk, chunk + n);
    if (std::ferror(file)) {
        error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    PngContext ctx{};
    const int fast = decodeWhole(data.data(), data.size(), world, max_pixels, ctx);
    if (fast == 0) return true;
    if (fast == 2) {
        error = "cannot read " + name + ": " + ctx.message;
        return false;
    }
    if (data.empty()) {
        error = "cannot read " + name + ": the file ends after its signature";
        return false;
    }
    FILE* rest = fmemopen(data.data(), data.size(), "rb");
    if (!rest) {
        error = "cannot read " + name + ": out of memory";
        return false;
    }
    std::string alloc_error;
    errno = 0;
    const int rc = decode(rest, world, ctx, alloc_error, max_pixels);
    std::fclose(rest);
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

bool writePngStream(FILE* file, const std::string& name, const refhost::World& world, std::string& error,
                    PngCompression compression) {
    if (world.width() <= 0 || world.height() <= 0) {
        error = "cannot write " + name + ": a PNG needs at least one pixel";
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(world.width()) * 4);
    PngContext ctx{};
    errno = 0;
    const size_t filtered = static_cast<size_t>(world.height()) * (1 + static_cast<size_t>(world.width()) * 4);
    const int rc = filtered <= kWholeEncodeLimit ? encodeWhole(file, world, ctx, compression)
                                                  : encode(file, world, row.data(), ctx, compression);
    if (rc != 0) {
        error = "cannot write " + name + ": " + ctx.message;
        return false;
    }
    return true;
}

bool writePng(const std::string& path, const refhost::World& world, std::string& error, PngCompression compression) {
    if (world.width() <= 0 || world.height() <= 0) {
        error = "cannot write " + path + ": a PNG needs at least one pixel";
        return false;
    }
    OutputFile out;
    return out.open(path, error) && writePngStream(out.stream(), path, world, error, compression) && out.commit(error);
}

}  // namespace cwtool
