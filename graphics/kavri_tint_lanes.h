// The tint of several pixels at once, in vector lanes: each pixel word split
// into two 16-bit lanes per pair of bytes (alpha and green in the low bytes, red
// and blue in the high ones), multiplied by the tint's bytes and divided by 255
// as tintChannel does, without widening. B is the vector's size in bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "graphics/kavri_ae_graphics_utils.h"

template <int B>
struct TintLanes {
    typedef uint16_t Halves __attribute__((vector_size(B)));
    static const int kPixels = B / 4;
    Halves low, high;  // the tint of the bytes in each lane's low byte, and in its high byte
};

template <int B>
__attribute__((always_inline)) static inline void tintLanesFor(const PF_Pixel& tint, TintLanes<B>* t) {
    for (int i = 0; i < B / 2; i += 2) {
        t->low[i] = tint.alpha;
        t->low[i + 1] = tint.green;
        t->high[i] = tint.red;
        t->high[i + 1] = tint.blue;
    }
}

// Tints the kPixels pixels in v (their words) in place: for each byte p with
// tint t, x = t * p and (x + 1 + (x >> 8)) >> 8, which stays within 16 bits
// (x <= 65025).
template <int B>
__attribute__((always_inline)) static inline void tintWords(typename TintLanes<B>::Halves* v, const TintLanes<B>& t) {
    typedef typename TintLanes<B>::Halves Halves;
    const Halves low = (*v & 0xFF) * t.low, high = (*v >> 8) * t.high;
    // the high bytes' quotient is left in place: its lane's high byte
    *v = ((low + 1 + (low >> 8)) >> 8) | ((high + 1 + (high >> 8)) & 0xFF00);
}

// One pixel tinted.
__attribute__((always_inline)) static inline PF_Pixel tintPixel(const PF_Pixel& tint, const PF_Pixel& p) {
    return PF_Pixel{tintChannel(tint.alpha, p.alpha), tintChannel(tint.red, p.red), tintChannel(tint.green, p.green),
                    tintChannel(tint.blue, p.blue)};
}

// n pixels from s tinted into d (which may be s), kPixels at a time and the
// rest one by one.
template <int B>
__attribute__((always_inline)) static inline void tintPixelsBy(const PF_Pixel* s, PF_Pixel* d, int32_t n,
                                                               const PF_Pixel& tint) {
    typedef typename TintLanes<B>::Halves Halves;
    const int P = TintLanes<B>::kPixels;
    TintLanes<B> t;
    tintLanesFor<B>(tint, &t);
    int32_t x = 0;
    for (; x + P <= n; x += P) {
        Halves v;
        std::memcpy(&v, s + x, sizeof(v));
        tintWords<B>(&v, t);
        std::memcpy(d + x, &v, sizeof(v));
    }
    for (; x < n; ++x) d[x] = tintPixel(tint, s[x]);
}
