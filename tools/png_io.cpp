#include "tools/png_io.h"

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "host/host_pixels.h"
#include "tools/output_file.h"
#include "tools/png_rows.h"

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
        std::snprintf(ctx.message, sizeof(ctx.message), "%s", tooLargeMessage(width, height, max_pixels).c_str());
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

// The whole picture filtered and compressed at once: in pieces on every core
// at the quick setting, else with libdeflate (stored, or its smallest);
// false (with the reason in ctx) when there is no memory for it.
int encodeWhole(FILE* file, const refhost::World& world, PngContext& ctx, PngCompression compression) {
    const size_t filtered_size = static_cast<size_t>(world.height()) * (1 + static_cast<size_t>(world.width()) * 4);
    // uninitialised: only the pages written cost memory (a mosaic compresses
    // to a sliver of its bound), and nothing is written twice
    std::unique_ptr<uint8_t[], MappedRelease> filtered(mapScratch(filtered_size), MappedRelease{filtered_size});
    std::vector<Deflated> stream;
    if (filtered) {
        filterRows(world, compression == PngCompression::kFast ? RowFilter::kNone : compression == PngCompression::kDefault ? RowFilter::kSub : RowFilter::kPaeth, filtered.get());
        if (compression == PngCompression::kDefault) {
            if (!deflateInPieces(filtered.get(), filtered_size, stream)) stream.clear();
        } else if (libdeflate_compressor* compressor =
                       libdeflate_alloc_compressor(compression == PngCompression::kSmall ? 12 : 0)) {
            const size_t bound = libdeflate_zlib_compress_bound(compressor, filtered_size);
            Deflated whole;
            whole.bytes.reset(new (std::nothrow) uint8_t[bound]);
            if (whole.bytes)
                whole.length = libdeflate_zlib_compress(compressor, filtered.get(), filtered_size, whole.bytes.get(), bound);
            if (whole.length > 0) stream.push_back(std::move(whole));
            libdeflate_free_compressor(compressor);
        }
    }
    filtered.reset();
    if (stream.empty()) {
        std::snprintf(ctx.message, sizeof(ctx.message), "out of memory");
        return 1;
    }
    std::string ihdr;
    putBig32(ihdr, static_cast<uint32_t>(world.width()));
    putBig32(ihdr, static_cast<uint32_t>(world.height()));
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, adaptive filters, not interlaced
    errno = 0;
    bool ok = std::fwrite(kPngSignature, 1, 8, file) == 8 &&
              writeChunk(file, "IHDR", reinterpret_cast<const uint8_t*>(ihdr.data()), ihdr.size());
    // the data in chunks of up to 1 MiB, as PNG readers expect, piece by piece
    for (const Deflated& piece : stream)
        for (size_t at = 0; ok && at < piece.length; at += size_t{1} << 20)
            ok = writeChunk(file, "IDAT", piece.bytes.get() + piece.offset + at,
                            std::min(piece.length - at, size_t{1} << 20));
    ok = ok && writeChunk(file, "IEND", nullptr, 0);
    if (!ok) {
        std::snprintf(ctx.message, sizeof(ctx.message), "%s", errno ? std::strerror(errno) : "write failed");
        return 1;
    }
    return 0;
}

uint32_t big32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool isLetter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A PNG read chunk by chunk up to its IEND, and nothing after it: the bytes
// libpng is given (signature and every chunk, as they came) and what the
// quick decoder needs to know of them.
// Memory for a file's bytes: what is read in is never zeroed first, and a
// large file's bytes go into 2 MiB pages where the system offers them.
template <typename T>
struct FileBytesAllocator {
    using value_type = T;
    FileBytesAllocator() = default;
    template <typename U>
    FileBytesAllocator(const FileBytesAllocator<U>&) {}
    static constexpr size_t kMapFrom = size_t{16} << 20;
    T* allocate(size_t n) {
        if (n * sizeof(T) >= kMapFrom) {
            if (uint8_t* p = mapScratch(n * sizeof(T))) return reinterpret_cast<T*>(p);
            throw std::bad_alloc();
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) {
        if (n * sizeof(T) >= kMapFrom)
            munmap(p, n * sizeof(T));
        else
            std::allocator<T>().deallocate(p, n);
    }
    // (resizing leaves the new bytes as they are: they are read over at once)
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    bool operator==(const FileBytesAllocator&) const { return true; }
    bool operator!=(const FileBytesAllocator&) const { return false; }
};

struct PngFile {
    std::vector<uint8_t, FileBytesAllocator<uint8_t>> bytes;
    uint32_t width = 0, height = 0;
    int depth = 0, colour = 0, interlace = 0;
    // The quick decoder takes the file only when nothing in it needs libpng's
    // judgement: one IHDR first, IDATs side by side, no PLTE, tRNS or unknown
    // critical chunk, an empty IEND.
    bool plain = true;
    std::vector<std::pair<size_t, uint32_t>> idats;  // offset of each IDAT's data in `bytes`, its length
};

// The first chunk's header fields, checked as libpng checks them (its limit on
// width and height included), so a file libpng would refuse is refused here
// before anything is allocated for it.
std::string checkHeader(const uint8_t* ihdr, PngFile& png) {
    png.width = big32(ihdr);
    png.height = big32(ihdr + 4);
    png.depth = ihdr[8];
    png.colour = ihdr[9];
    png.interlace = ihdr[12];
    const int compression = ihdr[10], filter = ihdr[11];
    const uint32_t kLimit = 1000000;  // libpng's default user limit
    if (png.width == 0 || png.height == 0) return "its width or height is 0";
    if (png.width > kLimit || png.height > kLimit)
        return std::to_string(png.width) + " x " + std::to_string(png.height) + " is over the 1000000 pixels a side PNG readers take";
    const int d = png.depth;
    bool depth_ok = false;
    switch (png.colour) {
    case 0: depth_ok = d == 1 || d == 2 || d == 4 || d == 8 || d == 16; break;
    case 3: depth_ok = d == 1 || d == 2 || d == 4 || d == 8; break;
    case 2: case 4: case 6: depth_ok = d == 8 || d == 16; break;
    default: return "colour type " + std::to_string(png.colour) + " is not a PNG colour type";
    }
    if (!depth_ok) return "bit depth " + std::to_string(d) + " does not go with colour type " + std::to_string(png.colour);
    if (compression != 0) return "compression method " + std::to_string(compression) + " is not deflate (0)";
    if (filter != 0) return "filter method " + std::to_string(filter) + " is not PNG's adaptive filtering (0)";
    if (png.interlace > 1) return "interlace method " + std::to_string(png.interlace) + " is neither none (0) nor Adam7 (1)";
    return "";
}

// The most a file may hold for its picture: the filtered rows (every pass of
// an interlaced one), what deflate can add to them, and room for the chunks
// around them. A stream that goes on past this is refused, not read to its end.
uint64_t byteLimit(const PngFile& png) {
    static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    const uint64_t bits = static_cast<uint64_t>(kChannels[png.colour]) * static_cast<uint64_t>(png.depth);
    const uint64_t filtered = static_cast<uint64_t>(png.height) * (8 + (png.width * bits + 7) / 8) * 2;
    return filtered + filtered / 8 + (uint64_t{64} << 20);
}

// Reads the rest of a PNG after its signature; false with the reason. A
// picture of more than `max_pixels` is refused at its header.
bool readChunks(FILE* file, PngFile& png, int64_t max_pixels, std::string& why) {
    png.bytes.assign(kPngSignature, kPngSignature + 8);
    uint64_t limit = uint64_t{1} << 20;  // until the header says more
    bool idats_ended = false;
    for (int index = 0;; ++index) {
        uint8_t head[8];
        const size_t got = std::fread(head, 1, 8, file);
        if (got != 8) {
            why = std::ferror(file) ? std::strerror(errno) : "the file ends before its IEND chunk";
            return false;
        }
        const uint32_t length = big32(head);
        const uint8_t* type = head + 4;
        if (length > 0x7FFFFFFFu) {
            why = "a chunk claims " + std::to_string(length) + " bytes, over PNG's limit";
            return false;
        }
        if (!isLetter(type[0]) || !isLetter(type[1]) || !isLetter(type[2]) || !isLetter(type[3])) {
            why = "chunk " + std::to_string(index) + " has a type that is not four letters";
            return false;
        }
        if (png.bytes.size() + 12 + uint64_t{length} > limit) {
            why = "it holds more data than a " + std::to_string(png.width) + " x " + std::to_string(png.height) +
                  " picture needs";
            return false;
        }
        const size_t at = png.bytes.size();
        png.bytes.insert(png.bytes.end(), head, head + 8);
        // read a piece at a time: a length is a claim, and only what arrives takes memory
        for (size_t left = length + size_t{4}; left > 0;) {
            const size_t piece = std::min(left, size_t{1} << 20), from = png.bytes.size();
            png.bytes.resize(from + piece);
            if (std::fread(&png.bytes[from], 1, piece, file) != piece) {
                why = std::ferror(file) ? std::strerror(errno) : "the file ends inside a chunk";
                return false;
            }
            left -= piece;
        }
        const uint8_t* data = &png.bytes[at + 8];
        const bool critical = type[0] >= 'A' && type[0] <= 'Z';
        const bool crc_ok = static_cast<uint32_t>(libdeflate_crc32(0, &png.bytes[at + 4], 4 + size_t{length})) ==
                            big32(data + length);
        std::string name(reinterpret_cast<const char*>(type), 4);
        if (critical && !crc_ok) {
            why = "the " + name + " chunk is damaged (its CRC does not match)";
            return false;
        }
        if (index == 0) {
            if (name != "IHDR" || length != 13) {
                why = "it does not start with its header (IHDR)";
                return false;
            }
            why = checkHeader(data, png);
            if (!why.empty()) return false;
            if (static_cast<int64_t>(png.width) * png.height > max_pixels) {
                why = tooLargeMessage(png.width, png.height, max_pixels);
                return false;
            }
            limit = byteLimit(png);
            continue;
        }
        if (name == "IDAT") {
            if (idats_ended) png.plain = false;
            png.idats.emplace_back(at + 8, length);
        } else if (!png.idats.empty()) {
            idats_ended = true;
        }
        if (name == "IEND") {
            if (length != 0) png.plain = false;
            break;
        }
        if (name == "IHDR" || name == "PLTE" || name == "tRNS" || (critical && name != "IDAT")) png.plain = false;
    }
    if (png.idats.empty()) png.plain = false;
    return true;
}

// The common PNG, 8-bit RGB or RGBA, not interlaced, plain (see PngFile),
// decoded whole: inflated in one call with zlib, the inflater libpng uses, so
// that the two take and refuse the same streams (libdeflate, quicker, takes
// some damaged ones, such as code lengths that run past their count). The
// compressed rows are inflated into the world's own memory, behind where its
// rows go (a row of the world is longer than a filtered row), and each row is
// unfiltered and put in place ahead of them: no second copy of the frame.
// Returns 0 when decoded, 1 when libpng should decode it (another kind, or
// anything amiss: libpng says what), 2 when there is no memory.
int decodeWhole(const PngFile& png, refhost::World& world, std::string& error) {
    if (!png.plain || png.depth != 8 || (png.colour != 2 && png.colour != 6) || png.interlace != 0) return 1;
    const uint32_t width = png.width, height = png.height;
    const size_t channels = png.colour == 6 ? 4 : 3, row_bytes = width * channels;
    const size_t filtered_size = static_cast<size_t>(height) * (1 + row_bytes);
    if (!world.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), error)) return 2;
    uint8_t* base = reinterpret_cast<uint8_t*>(world.row(0));
    const size_t world_bytes = static_cast<size_t>(height) * static_cast<size_t>(world.def().rowbytes);
    uint8_t* filtered = base + (world_bytes - filtered_size);
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return 1;
    // (zlib counts in 32-bit words: a larger picture goes to libpng)
    if (filtered_size > UINT32_MAX) {
        inflateEnd(&z);
        return 1;
    }
    // the IDATs' data inflated one after the other where it lies in the file
    z.next_out = filtered;
    z.avail_out = static_cast<uInt>(filtered_size);
    int result = Z_OK;
    size_t fed = 0;
    for (; fed < png.idats.size() && result == Z_OK; ++fed) {
        z.next_in = const_cast<Bytef*>(png.bytes.data() + png.idats[fed].first);
        z.avail_in = static_cast<uInt>(png.idats[fed].second);
        // every byte of the chunk, in order (no progress is a failure)
        while (z.avail_in > 0 && result == Z_OK) result = inflate(&z, Z_NO_FLUSH);
    }
    // whole: the stream ends exactly at the rows' end, with nothing after it
    // in its chunk or in any chunk after
    bool whole = result == Z_STREAM_END && z.total_out == filtered_size && z.avail_in == 0;
    for (size_t i = fed; whole && i < png.idats.size(); ++i) whole = png.idats[i].second == 0;
    inflateEnd(&z);
    if (!whole) return 1;
    // A filtered row y lies at or after where world row y ends (the filtered
    // rows are shorter and end where the world does), so rows are read out
    // in order before anything writes over them.
    std::vector<uint8_t> rows(2 * row_bytes);
    uint8_t* previous = nullptr;
    uint8_t* current = rows.data();
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = filtered + static_cast<size_t>(y) * (1 + row_bytes);
        const int filter = in[0];
        if (filter > 4) return 1;
        ++in;
        unfilterRow(filter, in, previous, current, row_bytes, channels);
        PF_Pixel* out = world.row(static_cast<int32_t>(y));
        if (channels == 4) {
            refhost::pixelsFromRgba(current, out, width);
        } else {
            const uint8_t* p = current;
            for (uint32_t x = 0; x < width; ++x, p += 3) out[x] = PF_Pixel{255, p[0], p[1], p[2]};
        }
        previous = current;
        current = current == rows.data() ? rows.data() + row_bytes : rows.data();
    }
    // the padding past each row held filtered bytes: a world's padding is zero
    const size_t pixels_bytes = static_cast<size_t>(width) * 4;
    for (uint32_t y = 0; y < height; ++y)
        std::memset(reinterpret_cast<uint8_t*>(world.row(static_cast<int32_t>(y))) + pixels_bytes, 0,
                    static_cast<size_t>(world.def().rowbytes) - pixels_bytes);
    return 0;
}

// Pictures whose filtered bytes are over this are written row by row through
// libpng instead of whole, so a huge one needs no second copy in memory.
constexpr size_t kWholeEncodeLimit = size_t{512} << 20;

}  // namespace

std::string tooLargeMessage(int64_t width, int64_t height, int64_t max_pixels) {
    return "image too large: " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels is over the limit of " + std::to_string(max_pixels) + " pixels (--max-pixels raises it)";
}

static bool readPngFile(FILE* file, const std::string& name, PngFile& png, std::string& error, int64_t max_pixels) {
    unsigned char signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof(signature), file);
    if (got != sizeof(signature) || std::memcmp(signature, kPngSignature, 8) != 0) {
        error = std::ferror(file) ? "cannot read " + name + ": " + std::strerror(errno) : name + " is not a PNG file";
        return false;
    }
    // a file's bytes in one allocation, none copied as they grow (a pipe's
    // grow as they come, bounded by what the picture can need)
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        try {
            png.bytes.reserve(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), uint64_t{2} << 30)));
        } catch (const std::bad_alloc&) {
            // read as a pipe is
        }
    }
    std::string why;
    if (!readChunks(file, png, max_pixels, why)) {
        error = "cannot read " + name + ": " + why;
        return false;
    }
    return true;
}

static bool decodeWithLibpng(const PngFile& png, const std::string& name, refhost::World& world, std::string& error,
                             int64_t max_pixels) {
    FILE* rest = fmemopen(const_cast<uint8_t*>(png.bytes.data() + 8), png.bytes.size() - 8, "rb");
    if (!rest) {
        error = "cannot read " + name + ": out of memory";
        return false;
    }
    PngContext ctx{};
    std::string alloc_error;
    errno = 0;
    const int rc = decode(rest, world, ctx, alloc_error, max_pixels);
    std::fclose(rest);
    if (rc == 1) error = "cannot read " + name + ": " + ctx.message;
    if (rc == 2) error = "cannot read " + name + ": " + alloc_error;
    return rc == 0;
}

bool readPngStream(FILE* file, const std::string& name, refhost::World& world, std::string& error,
                   int64_t max_pixels) {
    PngFile png;
    if (!readPngFile(file, name, png, error, max_pixels)) return false;
    std::string alloc_error;
    const int fast = decodeWhole(png, world, alloc_error);
    if (fast == 0) return true;
    if (fast == 2) {
        error = "cannot read " + name + ": " + alloc_error;
        return false;
    }
    return decodeWithLibpng(png, name, world, error, max_pixels);
}

bool readPngStreamWithLibpng(FILE* file, const std::string& name, refhost::World& world, std::string& error,
                             int64_t max_pixels) {
    PngFile png;
    return readPngFile(file, name, png, error, max_pixels) && decodeWithLibpng(png, name, world, error, max_pixels);
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

bool readPngSize(const std::string& path, int32_t& width, int32_t& height, std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "cannot read " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    unsigned char head[24] = {};
    const size_t got = std::fread(head, 1, sizeof(head), f);
    const int read_errno = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (read_errno) {
        error = "cannot read " + path + ": " + std::strerror(read_errno);
        return false;
    }
    if (got != sizeof(head) || std::memcmp(head, kPngSignature, 8) != 0 || std::memcmp(head + 12, "IHDR", 4) != 0) {
        error = path + " is not a PNG file";
        return false;
    }
    auto big32 = [&](int at) {
        return static_cast<int32_t>((uint32_t{head[at]} << 24) | (uint32_t{head[at + 1]} << 16) |
                                    (uint32_t{head[at + 2]} << 8) | head[at + 3]);
    };
    width = big32(16);
    height = big32(20);
    return true;
}

}  // namespace cwtool
