#include "cells/kavri_average_kernels.h"

#include <immintrin.h>

#include <utility>

#include "graphics/kavri_isa.h"

template <int L>
__attribute__((always_inline)) static inline void sumRowsKernel(const PF_LayerDef* world, int32_t top,
                                                                int32_t bottom, int32_t left, int32_t right,
                                                                uint64_t sums[4]) {
    ByteSums<L> s;
    byteSumsBegin(&s, sums);
    const Laying<L> nothing = {};
    const int64_t n = right > left ? int64_t(right) - left : 0;
    for (int32_t y = top; y < bottom; ++y)
        addSegment<L, kLayNothing>(&s, worldPixel(const_cast<PF_LayerDef*>(world), left, y), nullptr, n, nothing);
    byteSumsFlush(&s);
}

static void sumRowsBytesPlain(const PF_LayerDef* world, int32_t top, int32_t bottom, int32_t left, int32_t right,
                              uint64_t sums[4]) {
    sumRowsKernel<8>(world, top, bottom, left, right, sums);
}

__attribute__((target("avx2"))) static void sumRowsBytesAvx2(const PF_LayerDef* world, int32_t top, int32_t bottom,
                                                             int32_t left, int32_t right, uint64_t sums[4]) {
    sumRowsKernel<8>(world, top, bottom, left, right, sums);
}

void sumRowsBytes(const PF_LayerDef* world, int32_t top, int32_t bottom, int32_t left, int32_t right,
                  uint64_t sums[4]) {
    kvByIsa(sumRowsBytesPlain, sumRowsBytesAvx2, sumRowsBytesAvx2)(world, top, bottom, left, right, sums);
}

// One pixel's four bytes as four floats, lane c for channel c; adding such
// vectors is the four single-precision additions of the plain loop.
static inline __m128 pixelFloats(const PF_Pixel* p) {
    int32_t word;
    std::memcpy(&word, p, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
    return _mm_cvtepi32_ps(v);
}

// Adds the first n pixels of K cells' segments, the cells interleaved so that
// their chains of additions overlap; each cell's additions stay in its order.
template <int K>
static void addPendingGroup(PendingRow* rows, int32_t n) {
    __m128 acc[K];
    for (int g = 0; g < K; ++g) acc[g] = _mm_loadu_ps(rows[g].acc);
    for (int32_t j = 0; j < n; ++j)
        for (int g = 0; g < K; ++g) acc[g] = _mm_add_ps(acc[g], pixelFloats(rows[g].pixels + j));
    for (int g = 0; g < K; ++g) _mm_storeu_ps(rows[g].acc, acc[g]);
}

// The same with AVX2: two pixels of a cell widen to floats in two instructions
// and are added one after the other.
template <int K>
__attribute__((target("avx2"))) static void addPendingGroupAvx2(PendingRow* rows, int32_t n) {
    __m128 acc[K];
    for (int g = 0; g < K; ++g) acc[g] = _mm_loadu_ps(rows[g].acc);
    int32_t j = 0;
    for (; j + 1 < n; j += 2)
        for (int g = 0; g < K; ++g) {
            const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[g].pixels + j));
            const __m256 v = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(two));
            acc[g] = _mm_add_ps(acc[g], _mm256_castps256_ps128(v));
            acc[g] = _mm_add_ps(acc[g], _mm256_extractf128_ps(v, 1));
        }
    for (; j < n; ++j)
        for (int g = 0; g < K; ++g) acc[g] = _mm_add_ps(acc[g], pixelFloats(rows[g].pixels + j));
    for (int g = 0; g < K; ++g) _mm_storeu_ps(rows[g].acc, acc[g]);
}

// Four pixels' bytes as sixteen floats (the zero-masked forms: GCC warns of
// the undefined vector inside the plain ones).
__attribute__((target("avx512f"), always_inline)) static inline __m512 fourPixelsAvx512(__m128i pixels) {
    const __mmask16 all = 0xFFFF;
    return _mm512_maskz_cvtepi32_ps(all, _mm512_maskz_cvtepu8_epi32(all, pixels));
}

// With AVX-512: four cells side by side in the four 128-bit lanes of one
// accumulator, Q accumulators. Four pixels of each cell are loaded at once and
// turned (a 4 x 4 transpose of words) into four vectors holding pixel j of every
// cell, each widened to sixteen floats and added in turn, so each cell still
// adds its pixels one after the other. The lanes of slots past k repeat the
// first cell's pixels and are not kept.
template <int Q>
__attribute__((target("avx512f"))) static void addPendingGroupAvx512(PendingRow* rows, int k, int32_t n) {
    const PF_Pixel* p[4 * Q];
    __m512 acc[Q];
    for (int g = 0; g < 4 * Q; ++g) p[g] = rows[g < k ? g : 0].pixels;
    for (int q = 0; q < Q; ++q) {
        alignas(64) float lanes[16];
        for (int g = 0; g < 4; ++g) std::memcpy(lanes + 4 * g, rows[4 * q + g < k ? 4 * q + g : 0].acc, 16);
        acc[q] = _mm512_load_ps(lanes);
    }
    int32_t j = 0;
    for (; j + 3 < n; j += 4)
        for (int q = 0; q < Q; ++q) {
            const PF_Pixel* const* c = p + 4 * q;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[0] + j));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[1] + j));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[2] + j));
            const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[3] + j));
            const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
            const __m128i de_lo = _mm_unpacklo_epi32(d, e), de_hi = _mm_unpackhi_epi32(d, e);
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpacklo_epi64(ab_lo, de_lo)));
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpackhi_epi64(ab_lo, de_lo)));
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpacklo_epi64(ab_hi, de_hi)));
            acc[q] = _mm512_add_ps(acc[q], fourPixelsAvx512(_mm_unpackhi_epi64(ab_hi, de_hi)));
        }
    for (int q = 0; q < Q; ++q) {
        alignas(64) float lanes[16];
        _mm512_store_ps(lanes, acc[q]);
        for (int g = 0; g < 4 && 4 * q + g < k; ++g) std::memcpy(rows[4 * q + g].acc, lanes + 4 * g, 16);
    }
    // the last pixels (fewer than four), cell by cell
    for (int g = 0; g < k; ++g) {
        __m128 v = _mm_loadu_ps(rows[g].acc);
        for (int32_t i = j; i < n; ++i) v = _mm_add_ps(v, pixelFloats(rows[g].pixels + i));
        _mm_storeu_ps(rows[g].acc, v);
    }
}

// Adds every pending segment, up to Groups cells at a time for as many pixels
// as the shortest of them has; the cells left over are grouped again, so that
// a short segment (a cell cut by the layer's edge) does not leave the others
// to go on one chain at a time.
template <int Groups, typename AddGroup>
__attribute__((always_inline)) static inline void addPendingInGroups(PendingRow* rows, int count, AddGroup add) {
    for (int i = 0; i < count; ++i) std::memcpy(rows[i].acc, rows[i].sums, sizeof(rows[i].acc));
    int live = count;  // rows finished are swapped to the end
    while (live > 0) {
        for (int i = 0; i < live; i += Groups) {
            const int k = live - i < Groups ? live - i : Groups;
            int32_t n = rows[i].count;
            for (int g = 1; g < k; ++g) n = rows[i + g].count < n ? rows[i + g].count : n;
            add(rows + i, k, n);
            for (int g = 0; g < k; ++g) {
                rows[i + g].pixels += n;
                rows[i + g].count -= n;
            }
        }
        for (int i = 0; i < live;) {
            if (rows[i].count == 0)
                std::swap(rows[i], rows[--live]);
            else
                ++i;
        }
    }
    for (int i = 0; i < count; ++i)
        for (int c = 0; c < 4; ++c)
            if (rows[i].channels & (1u << c)) rows[i].sums[c] = rows[i].acc[c];
}

void addPendingRowsPlain(PendingRow* rows, int count) {
    addPendingInGroups<4>(rows, count, [](PendingRow* group, int k, int32_t n) {
        switch (k) {
        case 4: addPendingGroup<4>(group, n); break;
        case 3: addPendingGroup<3>(group, n); break;
        case 2: addPendingGroup<2>(group, n); break;
        default: addPendingGroup<1>(group, n); break;
        }
    });
}

__attribute__((target("avx2"))) void addPendingRowsAvx2(PendingRow* rows, int count) {
    addPendingInGroups<8>(rows, count, [](PendingRow* group, int k, int32_t n) {
        switch (k) {
        case 8: addPendingGroupAvx2<8>(group, n); break;
        case 7: addPendingGroupAvx2<7>(group, n); break;
        case 6: addPendingGroupAvx2<6>(group, n); break;
        case 5: addPendingGroupAvx2<5>(group, n); break;
        case 4: addPendingGroupAvx2<4>(group, n); break;
        case 3: addPendingGroupAvx2<3>(group, n); break;
        case 2: addPendingGroupAvx2<2>(group, n); break;
        default: addPendingGroupAvx2<1>(group, n); break;
        }
    });
}

__attribute__((target("avx512f"))) void addPendingRowsAvx512(PendingRow* rows, int count) {
    addPendingInGroups<16>(rows, count, [](PendingRow* group, int k, int32_t n) {
        switch ((k + 3) / 4) {
        case 4: addPendingGroupAvx512<4>(group, k, n); break;
        case 3: addPendingGroupAvx512<3>(group, k, n); break;
        case 2: addPendingGroupAvx512<2>(group, k, n); break;
        default: addPendingGroupAvx512<1>(group, k, n); break;
        }
    });
}

void addPendingRows(PendingRow* rows, int count) {
    kvByIsa(addPendingRowsPlain, addPendingRowsAvx2, addPendingRowsAvx512)(rows, count);
}
