// A PNG's rows in the quick reader and writer: filtered in ranges side by side
// on every core, the zlib stream deflated in pieces on every core, unfiltered
// one filter loop at a time; and the scratch memory they fill.
#include "tools/png_rows.h"

#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "host/host_pixels.h"

namespace cwtool {

// Rows `first` to `end` of the picture filtered into `out`: each row with
// `filter`, except a row the same as the one above, which is filtered Up (all
// zeros). Each row depends only on itself and the row above, so ranges of
// rows are filtered side by side.
static void filterRowRange(const refhost::World& world, RowFilter filter, int32_t first, int32_t end,
                           uint8_t* out) {
    const size_t width = static_cast<size_t>(world.width()), row_bytes = width * 4;
    std::vector<uint8_t> previous(row_bytes, 0), current(row_bytes);
    if (first > 0) refhost::pixelsToRgba(world.row(first - 1), previous.data(), width);
    for (int32_t y = first; y < end; ++y) {
        if (y > 0 && filter != RowFilter::kNone && std::memcmp(world.row(y), world.row(y - 1), row_bytes) == 0) {
            *out++ = static_cast<uint8_t>(RowFilter::kUp);
            std::memset(out, 0, row_bytes);
            out += row_bytes;
            continue;  // (the row above is still `previous`)
        }
        refhost::pixelsToRgba(world.row(y), current.data(), width);
        *out++ = static_cast<uint8_t>(filter);
        const uint8_t* c = current.data();
        const uint8_t* b = previous.data();
        const size_t lead = std::min<size_t>(4, row_bytes);
        switch (filter) {
        case RowFilter::kSub:
            std::memcpy(out, c, lead);
            for (size_t i = lead; i < row_bytes; ++i) out[i] = static_cast<uint8_t>(c[i] - c[i - 4]);
            break;
        case RowFilter::kPaeth:
            for (size_t i = 0; i < row_bytes; ++i) {
                const int a = i >= 4 ? c[i - 4] : 0, up = b[i], ul = i >= 4 ? b[i - 4] : 0;
                const int p = a + up - ul, pa = std::abs(p - a), pb = std::abs(p - up), pc = std::abs(p - ul);
                out[i] = static_cast<uint8_t>(c[i] - (pa <= pb && pa <= pc ? a : pb <= pc ? up : ul));
            }
            break;
        default:
            std::memcpy(out, c, row_bytes);
            break;
        }
        out += row_bytes;
        previous.swap(current);
    }
}

void filterRows(const refhost::World& world, RowFilter filter, uint8_t* out) {
    const size_t stride = 1 + static_cast<size_t>(world.width()) * 4;
    const int32_t height = world.height();
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t count = std::max<size_t>(1, std::min({cores, size_t{8}, stride * static_cast<size_t>(height) >> 22}));
    std::vector<std::thread> helpers;
    auto range = [&](size_t i) {
        const int32_t first = static_cast<int32_t>(static_cast<int64_t>(height) * static_cast<int64_t>(i) / static_cast<int64_t>(count));
        const int32_t end = static_cast<int32_t>(static_cast<int64_t>(height) * static_cast<int64_t>(i + 1) / static_cast<int64_t>(count));
        filterRowRange(world, filter, first, end, out + static_cast<size_t>(first) * stride);
    };
    for (size_t i = 1; i < count; ++i) helpers.emplace_back(range, i);
    range(0);
    for (std::thread& t : helpers) t.join();
}

// Deflates `size` bytes at the quick setting as one zlib stream, in pieces
// on the processor's cores, as pigz does: each piece a raw deflate stream
// primed with the 32 KiB before it and ended on a byte boundary (a sync
// flush; the last piece ends the stream), the checksums combined. zlib's
// run-length strategy suits filtered rows: a repeated row (filtered Up) or a
// flat one (Sub) is all zeros, which it codes as long runs at once, and on
// noisy rows it is as quick as a general match search and as small. The
// stream comes back as its pieces, to be written one after the other (the
// first holds the header, the last the checksum). False when there is no
// memory for it.
bool deflateInPieces(const uint8_t* data, size_t size, std::vector<Deflated>& out) {
    constexpr size_t kPieceFrom = size_t{4} << 20;
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t count = std::max<size_t>(1, std::min({cores, size_t{8}, size / kPieceFrom}));
    struct Piece {
        size_t begin = 0, end = 0;
        std::unique_ptr<uint8_t[]> bytes;  // 2 bytes kept in front for the header, 4 behind for the checksum
        size_t length = 0;
        uLong adler = 1;
        bool ok = false;
    };
    std::vector<Piece> pieces(count);
    for (size_t i = 0; i < count; ++i) {
        pieces[i].begin = size * i / count;
        pieces[i].end = size * (i + 1) / count;
    }
    auto deflatePiece = [&](Piece& piece, bool last) {
        z_stream z{};
        if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK) return;
        const size_t length = piece.end - piece.begin;
        const size_t bound = deflateBound(&z, static_cast<uLong>(length)) + 16;
        piece.bytes.reset(new (std::nothrow) uint8_t[2 + bound + 4]);
        const size_t primer = std::min<size_t>(piece.begin, 32768);
        bool ok = piece.bytes != nullptr &&
                  (primer == 0 || deflateSetDictionary(&z, data + piece.begin - primer, static_cast<uInt>(primer)) == Z_OK);
        z.next_out = piece.bytes ? piece.bytes.get() + 2 : nullptr;
        size_t at = piece.begin;
        // (zlib counts in 32-bit words)
        while (ok) {
            const size_t step = std::min<size_t>(piece.end - at, size_t{1} << 30);
            z.next_in = const_cast<Bytef*>(data + at);
            z.avail_in = static_cast<uInt>(step);
            at += step;
            const bool final_step = at == piece.end;
            z.avail_out = static_cast<uInt>(std::min<size_t>(bound - z.total_out, size_t{1} << 30));
            const int flush = !final_step ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
            const int r = deflate(&z, flush);
            ok = (r == Z_OK || r == Z_STREAM_END) && z.avail_in == 0;
            if (final_step) {
                ok = ok && (!last || r == Z_STREAM_END);
                break;
            }
        }
        piece.length = z.total_out;
        piece.adler = adler32_z(1, data + piece.begin, length);
        piece.ok = ok;
        deflateEnd(&z);
    };
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < count; ++i) helpers.emplace_back(deflatePiece, std::ref(pieces[i]), i + 1 == count);
    deflatePiece(pieces[0], count == 1);
    for (std::thread& t : helpers) t.join();
    uLong adler = 1;
    for (const Piece& piece : pieces) {
        if (!piece.ok) return false;
        adler = adler32_combine(adler, piece.adler, static_cast<z_off_t>(piece.end - piece.begin));
    }
    out.clear();
    for (size_t i = 0; i < count; ++i) {
        Piece& piece = pieces[i];
        Deflated d;
        d.offset = 2;
        d.length = piece.length;
        if (i == 0) {
            d.offset = 0;
            d.length += 2;
            piece.bytes[0] = 0x78;  // deflate, a 32 KiB window
            piece.bytes[1] = 0x01;  // the quickest level; the check bits make the pair a multiple of 31
        }
        if (i + 1 == count) {
            uint8_t* end = piece.bytes.get() + d.offset + d.length;
            for (int shift = 24; shift >= 0; shift -= 8) *end++ = static_cast<uint8_t>(adler >> shift);
            d.length += 4;
        }
        d.bytes = std::move(piece.bytes);
        out.push_back(std::move(d));
    }
    return true;
}

// Scratch memory for a whole picture's filtered rows: mapped, in 2 MiB pages
// where the system offers them (a fresh 4 KiB page costs a fault each), and
// never initialised, so only what is written costs memory; null when there
// is none.
uint8_t* mapScratch(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    (void)madvise(p, size, MADV_HUGEPAGE);
    return static_cast<uint8_t*>(p);
}

// One row's bytes from its filtered ones: `previous` is the row above
// (unfiltered; null for the first), as PNG defines each filter. Each filter
// has its own loop, so the plain ones (none, Up) run at memory speed.
void unfilterRow(int filter, const uint8_t* in, const uint8_t* previous, uint8_t* current, size_t row_bytes,
                 size_t channels) {
    const size_t lead = std::min(channels, row_bytes);
    switch (filter) {
    case 0:
        std::memcpy(current, in, row_bytes);
        return;
    case 1:
        std::memcpy(current, in, lead);
        for (size_t i = lead; i < row_bytes; ++i) current[i] = static_cast<uint8_t>(in[i] + current[i - channels]);
        return;
    case 2:
        if (!previous) {
            std::memcpy(current, in, row_bytes);
            return;
        }
        for (size_t i = 0; i < row_bytes; ++i) current[i] = static_cast<uint8_t>(in[i] + previous[i]);
        return;
    case 3:
        for (size_t i = 0; i < lead; ++i) current[i] = static_cast<uint8_t>(in[i] + (previous ? previous[i] : 0) / 2);
        for (size_t i = lead; i < row_bytes; ++i)
            current[i] = static_cast<uint8_t>(in[i] + (current[i - channels] + (previous ? previous[i] : 0)) / 2);
        return;
    default: {
        // Paeth; with no row above, b and c are 0 and the predictor is a
        const uint8_t* up = previous;
        for (size_t i = 0; i < row_bytes; ++i) {
            const int a = i >= channels ? current[i - channels] : 0, b = up ? up[i] : 0;
            const int c = up && i >= channels ? up[i - channels] : 0;
            const int q = a + b - c, pa = std::abs(q - a), pb = std::abs(q - b), pc = std::abs(q - c);
            const int predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            current[i] = static_cast<uint8_t>(in[i] + predictor);
        }
        return;
    }
    }
}

}  // namespace cwtool
