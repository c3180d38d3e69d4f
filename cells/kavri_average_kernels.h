// The averaging's vector kernels: integer sums of pixel bytes in 16-bit vector
// lanes, and the float additions that must keep the plain loop's order, each
// built for the instruction sets the processor has (graphics/kavri_isa.h).
// Every build gives the same bits as adding the bytes one by one.
#pragma once

#include <cstdint>
#include <cstring>

#include "graphics/kavri_ae_graphics_utils.h"
#include "graphics/kavri_tint_lanes.h"

// Sums each channel of the rows' pixels (alpha, red, green, blue) in integers.
//
// L pixels at a time as 32-bit words: masking and shifting splits each word into
// two 16-bit lanes (alpha and green, red and blue), which take up to 257 bytes
// before they could carry, so every 256 chunks they are added up into the
// 64-bit totals. Written with vector extensions, built for AVX2 where the
// processor has it (a wider version for AVX-512 was no faster here).
constexpr int kNarrowFlushChunks = 256;
static_assert(sizeof(PF_Pixel) == 4, "L pixels are L 32-bit words");

template <int L>
struct alignas(4 * L) ByteSums {
    static const int kLanes = L;
    typedef uint32_t Words __attribute__((vector_size(4 * L)));
    typedef uint16_t Halves __attribute__((vector_size(4 * L)));
    Halves ag, rb;    // alpha | green << 16 and red | blue << 16 of each word, per lane
    int narrow;       // chunks in ag and rb
    uint64_t* total;  // the caller's four sums, alpha, red, green, blue
};

// Starts adding into total, which it sets to zero.
template <int L>
__attribute__((always_inline)) static inline void byteSumsBegin(ByteSums<L>* s, uint64_t total[4]) {
    s->ag = s->rb = typename ByteSums<L>::Halves{};
    s->narrow = 0;
    s->total = total;
    for (int c = 0; c < 4; ++c) total[c] = 0;
}

// Loads the L pixels at p into v and adds them, masked, to the 16-bit lanes.
template <int L>
__attribute__((always_inline)) static inline void byteSumsAdd(typename ByteSums<L>::Halves* ag,
                                                              typename ByteSums<L>::Halves* rb, const PF_Pixel* p,
                                                              const typename ByteSums<L>::Words& mask,
                                                              typename ByteSums<L>::Words* v) {
    typedef typename ByteSums<L>::Words Words;
    typedef typename ByteSums<L>::Halves Halves;
    std::memcpy(v, p, sizeof(*v));
    const Words counted = *v & mask;
    const Words low = Words{} + 0x00FF00FFu;
    *ag += reinterpret_cast<Halves>(counted & low);
    *rb += reinterpret_cast<Halves>((counted >> 8) & low);
}

typedef uint32_t FourWords __attribute__((vector_size(16)));

// The L lanes of v added four by four.
template <int L>
__attribute__((always_inline)) static inline FourWords foldLanes(const typename ByteSums<L>::Words& v) {
    static_assert(L % 4 == 0, "whole quarters");
    FourWords sum = {};
    for (int i = 0; i < L / 4; ++i) {
        FourWords part;
        std::memcpy(&part, reinterpret_cast<const char*>(&v) + sizeof(part) * i, sizeof(part));
        sum += part;
    }
    return sum;
}

// Adds the 16-bit lanes up into the totals and empties them. (A lane holds at
// most 256 x 255, so L of them add up within 32 bits.) The four channels are
// added up side by side: folded to four lanes each, then pairwise across them.
template <int L>
__attribute__((always_inline)) static inline void byteSumsFlush(ByteSums<L>* s) {
    typedef typename ByteSums<L>::Words Words;
    const Words ag = reinterpret_cast<Words>(s->ag), rb = reinterpret_cast<Words>(s->rb);
    const FourWords a = foldLanes<L>(ag & 0xFFFF), g = foldLanes<L>(ag >> 16);
    const FourWords r = foldLanes<L>(rb & 0xFFFF), b = foldLanes<L>(rb >> 16);
    // {a0 + a2, r0 + r2, a1 + a3, r1 + r3} and the same of green and blue
    const FourWords ar = __builtin_shufflevector(a, r, 0, 4, 1, 5) + __builtin_shufflevector(a, r, 2, 6, 3, 7);
    const FourWords gb = __builtin_shufflevector(g, b, 0, 4, 1, 5) + __builtin_shufflevector(g, b, 2, 6, 3, 7);
    const FourWords argb = __builtin_shufflevector(ar, gb, 0, 1, 4, 5) + __builtin_shufflevector(ar, gb, 2, 3, 6, 7);
    s->total[0] += argb[0];
    s->total[1] += argb[1];
    s->total[2] += argb[2];
    s->total[3] += argb[3];
    s->ag = typename ByteSums<L>::Halves{};
    s->rb = typename ByteSums<L>::Halves{};
    s->narrow = 0;
}

// After `chunks` more chunks in ag and rb: flush them when they are full
// (which empties ag and rb).
template <int L>
__attribute__((always_inline)) static inline void byteSumsCount(ByteSums<L>* s, int chunks,
                                                                typename ByteSums<L>::Halves* ag,
                                                                typename ByteSums<L>::Halves* rb) {
    if ((s->narrow += chunks) < kNarrowFlushChunks) return;
    s->ag = *ag;
    s->rb = *rb;
    byteSumsFlush(s);
    *ag = s->ag;
    *rb = s->rb;
}

// What the sweep writes to the output as it reads the input's pixels: nothing,
// the colour background for an opaque colour (the colour's red, green and blue
// with the source's alpha), or the input tinted by a colour.
enum LayMode { kLayNothing, kLayColour, kLayTint };

template <int L>
struct Laying {
    uint32_t pattern;       // kLayColour: the colour's red, green and blue
    TintLanes<4 * L> tint;  // kLayTint: the tint, L pixels at a time
    PF_Pixel tint_colour;   // and for one pixel
};

// Adds the L pixels at src, masked, to the 16-bit lanes; with a Lay other than
// kLayNothing also writes all L to dst as that background.
template <int L, int Lay>
__attribute__((always_inline)) static inline void addChunk(typename ByteSums<L>::Halves* ag,
                                                           typename ByteSums<L>::Halves* rb, const PF_Pixel* src,
                                                           PF_Pixel* dst, const typename ByteSums<L>::Words& mask,
                                                           const Laying<L>& lay) {
    typedef typename ByteSums<L>::Words Words;
    typedef typename ByteSums<L>::Halves Halves;
    Words v;
    byteSumsAdd<L>(ag, rb, src, mask, &v);
    if (Lay == kLayColour) {
        const Words out = (v & pixelWord(PF_Pixel{0xFF, 0, 0, 0})) | lay.pattern;
        std::memcpy(dst, &out, sizeof(out));
    } else if (Lay == kLayTint) {
        Halves out = reinterpret_cast<Halves>(v);
        tintWords<4 * L>(&out, lay.tint);
        std::memcpy(dst, &out, sizeof(out));
    }
}

// Adds the last `tail` (1 to L - 1) of the n >= L pixels at src: the last L are
// loaded, those before the tail masked off (and laid again, as they were).
template <int L, int Lay>
__attribute__((always_inline)) static inline void addLastChunk(typename ByteSums<L>::Halves* ag,
                                                               typename ByteSums<L>::Halves* rb, const PF_Pixel* src,
                                                               PF_Pixel* dst, int64_t n, int tail,
                                                               const Laying<L>& lay) {
    typename ByteSums<L>::Words mask = {};
    for (int i = 0; i < L; ++i) mask[i] = i >= L - tail ? 0xFFFFFFFFu : 0;
    addChunk<L, Lay>(ag, rb, src + n - L, Lay != kLayNothing ? dst + n - L : nullptr, mask, lay);
}

// Adds the n pixels from src to the sums; with a Lay other than kLayNothing also
// writes each pixel to dst as that background.
template <int L, int Lay>
__attribute__((always_inline)) static inline void addSegment(ByteSums<L>* s, const PF_Pixel* src, PF_Pixel* dst,
                                                             int64_t n, const Laying<L>& lay) {
    typedef typename ByteSums<L>::Words Words;
    typedef typename ByteSums<L>::Halves Halves;
    const uint32_t alpha_mask = pixelWord(PF_Pixel{0xFF, 0, 0, 0});
    if (n < L) {
        // shorter than a chunk: one pixel at a time
        for (int64_t x = 0; x < n; ++x) {
            s->total[0] += src[x].alpha;
            s->total[1] += src[x].red;
            s->total[2] += src[x].green;
            s->total[3] += src[x].blue;
            if (Lay == kLayColour) {
                const uint32_t out = (pixelWord(src[x]) & alpha_mask) | lay.pattern;
                std::memcpy(dst + x, &out, 4);
            } else if (Lay == kLayTint) {
                dst[x] = tintPixel(lay.tint_colour, src[x]);
            }
        }
        return;
    }
    // the 16-bit lanes in registers while the row is added (the stores to dst
    // could otherwise be taken to change them)
    Halves ag = s->ag, rb = s->rb;
    const Words all = Words{} + 0xFFFFFFFFu;
    const int64_t whole = n - n % L;
    for (int64_t x = 0; x < whole;) {
        // as many chunks as the 16-bit lanes still take, with no check between
        const int64_t room = kNarrowFlushChunks - s->narrow;
        const int64_t end = whole - x > room * L ? x + room * L : whole;
        const int chunks = static_cast<int>((end - x) / L);
        for (; x < end; x += L)
            addChunk<L, Lay>(&ag, &rb, src + x, Lay != kLayNothing ? dst + x : nullptr, all, lay);
        byteSumsCount(s, chunks, &ag, &rb);
    }
    const int tail = static_cast<int>(n % L);
    if (tail) {
        addLastChunk<L, Lay>(&ag, &rb, src, dst, n, tail, lay);
        byteSumsCount(s, 1, &ag, &rb);
    }
    s->ag = ag;
    s->rb = rb;
}

// A cell's running sums in the sweep.
typedef ByteSums<8> RowSums;

// The byte sums of rows top .. bottom - 1, columns left .. right - 1, into
// sums (alpha, red, green, blue), which it sets.
void sumRowsBytes(const PF_LayerDef* world, int32_t top, int32_t bottom, int32_t left, int32_t right,
                  uint64_t sums[4]);

// A row segment of one cell still to be added in float.
struct PendingRow {
    float* sums;             // the cell's four float sums; the pending channels' are updated
    const PF_Pixel* pixels;  // the next pixel to add
    int32_t count;           // pixels left
    unsigned channels;       // bit c: channel c is added here
    float acc[4];            // the four running sums while they are added
};

// Adds every pending row segment in float, each cell's pixels one after another
// in order, several cells interleaved; one build for each instruction set, and
// the one this processor runs.
void addPendingRowsPlain(PendingRow* rows, int count);
void addPendingRowsAvx2(PendingRow* rows, int count);
void addPendingRowsAvx512(PendingRow* rows, int count);
void addPendingRows(PendingRow* rows, int count);
