#include "host/host_pixels.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace refhost {

static_assert(sizeof(PF_Pixel) == 4, "fills write a pixel as one 32-bit pattern");

static bool usable(const PF_EffectWorld* w) {
    return w && w->data && w->width >= 0 && w->height >= 0 && w->rowbytes >= 4 * w->width;
}

typedef uint32_t EightWords __attribute__((vector_size(32)));

// Stores one 32-bit pattern over n pixels of each row, eight at a time (the
// last eight overlapping those before them), built for AVX2 where the processor
// has it: a fill that misses the cache waits on its stores, and a wider store
// keeps more lines in flight. (Not under ThreadSanitizer: the clones' resolver
// runs before the sanitizer's runtime is set up.)
#if defined(__SANITIZE_THREAD__)
#define KAVRI_AVX2_CLONES
#else
#define KAVRI_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#endif
KAVRI_AVX2_CLONES static void fillRows(uint8_t* first, std::ptrdiff_t rowbytes,
                                                                        A_long rows, size_t n, uint32_t pattern) {
    const EightWords v = EightWords{} + pattern;
    for (A_long y = 0; y < rows; ++y) {
        uint8_t* row = first + rowbytes * y;
        if (n < 8) {
            for (size_t i = 0; i < n; ++i) std::memcpy(row + 4 * i, &pattern, 4);
            continue;
        }
        for (size_t i = 0; i + 8 <= n; i += 8) std::memcpy(row + 4 * i, &v, sizeof(v));
        std::memcpy(row + 4 * (n - 8), &v, sizeof(v));
    }
}

PF_Err fillWorld(const PF_Pixel* color, const PF_Rect* rect, PF_EffectWorld* world) {
    if (!color || !usable(world)) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Rect r = rect ? *rect : PF_Rect{0, 0, world->width, world->height};
    r.left = std::max<A_long>(r.left, 0);
    r.top = std::max<A_long>(r.top, 0);
    r.right = std::min(r.right, world->width);
    r.bottom = std::min(r.bottom, world->height);
    if (r.left >= r.right || r.top >= r.bottom) return PF_Err_NONE;
    uint32_t pattern;
    std::memcpy(&pattern, color, 4);
    fillRows(reinterpret_cast<uint8_t*>(pixelAt(world, r.left, r.top)), world->rowbytes, r.bottom - r.top,
             static_cast<size_t>(r.right - r.left), pattern);
    return PF_Err_NONE;
}

static uint8_t div255(uint32_t v) {
    return static_cast<uint8_t>((v + 127) / 255);
}

// Straight-alpha "over" of s onto d with s's alpha already scaled.
static PF_Pixel over(const PF_Pixel& s, uint32_t sa, const PF_Pixel& d) {
    const uint32_t da = d.alpha * (255 - sa);  // scaled by 255
    const uint32_t oa = sa * 255 + da;         // scaled by 255
    if (oa == 0) return PF_Pixel{0, 0, 0, 0};
    auto mix = [&](uint8_t sc, uint8_t dc) {
        return static_cast<uint8_t>((static_cast<uint64_t>(sc) * sa * 255 + static_cast<uint64_t>(dc) * da + oa / 2) / oa);
    };
    return PF_Pixel{div255(oa), mix(s.red, d.red), mix(s.green, d.green), mix(s.blue, d.blue)};
}

PF_Err compositeWorld(const PF_Rect* src_rect, A_long opacity, PF_EffectWorld* src, A_long dx, A_long dy,
                      PF_XferMode mode, PF_EffectWorld* dst) {
    if (!usable(src) || !usable(dst)) return PF_Err_BAD_CALLBACK_PARAM;
    if (mode != PF_Xfer_COPY && mode != PF_Xfer_IN_FRONT && mode != PF_Xfer_BEHIND) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Rect r = src_rect ? *src_rect : PF_Rect{0, 0, src->width, src->height};
    const uint32_t op = static_cast<uint32_t>(std::clamp<A_long>(opacity, 0, 255));
    for (int64_t y = std::max<int64_t>(r.top, 0); y < std::min<int64_t>(r.bottom, src->height); ++y) {
        const int64_t ty = y - r.top + dy;
        if (ty < 0 || ty >= dst->height) continue;
        for (int64_t x = std::max<int64_t>(r.left, 0); x < std::min<int64_t>(r.right, src->width); ++x) {
            const int64_t tx = x - r.left + dx;
            if (tx < 0 || tx >= dst->width) continue;
            const PF_Pixel s = *pixelAt(src, static_cast<A_long>(x), static_cast<A_long>(y));
            PF_Pixel* d = pixelAt(dst, static_cast<A_long>(tx), static_cast<A_long>(ty));
            if (mode == PF_Xfer_COPY)
                *d = s;
            else if (mode == PF_Xfer_IN_FRONT)
                *d = over(s, div255(s.alpha * op), *d);
            else
                *d = over(*d, d->alpha, PF_Pixel{div255(s.alpha * op), s.red, s.green, s.blue});
        }
    }
    return PF_Err_NONE;
}

PF_Err sampleBilinear(PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, PF_Pixel* out) {
    if (!pb || !out || !usable(pb->src) || pb->src->width == 0 || pb->src->height == 0)
        return PF_Err_BAD_CALLBACK_PARAM;
    PF_EffectWorld* w = pb->src;
    const int64_t xi = static_cast<int64_t>(x) >> 16, yi = static_cast<int64_t>(y) >> 16;
    const uint64_t fx = static_cast<uint32_t>(x) & 0xFFFF, fy = static_cast<uint32_t>(y) & 0xFFFF;
    auto clampX = [&](int64_t v) { return static_cast<A_long>(std::clamp<int64_t>(v, 0, w->width - 1)); };
    auto clampY = [&](int64_t v) { return static_cast<A_long>(std::clamp<int64_t>(v, 0, w->height - 1)); };
    const PF_Pixel p00 = *pixelAt(w, clampX(xi), clampY(yi)), p10 = *pixelAt(w, clampX(xi + 1), clampY(yi));
    const PF_Pixel p01 = *pixelAt(w, clampX(xi), clampY(yi + 1)), p11 = *pixelAt(w, clampX(xi + 1), clampY(yi + 1));
    auto mix = [&](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        const uint64_t top = a * (65536 - fx) + b * fx, bottom = c * (65536 - fx) + d * fx;
        const uint64_t v = top * (65536 - fy) + bottom * fy;
        return static_cast<uint8_t>((v + (1ull << 31)) >> 32);
    };
    out->alpha = mix(p00.alpha, p10.alpha, p01.alpha, p11.alpha);
    out->red = mix(p00.red, p10.red, p01.red, p11.red);
    out->green = mix(p00.green, p10.green, p01.green, p11.green);
    out->blue = mix(p00.blue, p10.blue, p01.blue, p11.blue);
    return PF_Err_NONE;
}

// On this little-endian machine an RGBA word is alpha << 24 | blue << 16 |
// green << 8 | red and a pixel's is blue << 24 | green << 16 | red << 8 | alpha:
// one is the other rotated by a byte, which vectorises.
static_assert(sizeof(PF_Pixel) == sizeof(uint32_t), "a pixel is one word");

void pixelsFromRgba(const uint8_t* rgba, PF_Pixel* pixels, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t word;
        std::memcpy(&word, rgba + 4 * i, sizeof(word));
        word = word << 8 | word >> 24;
        std::memcpy(&pixels[i], &word, sizeof(word));
    }
}

void pixelsToRgba(const PF_Pixel* pixels, uint8_t* rgba, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t word;
        std::memcpy(&word, &pixels[i], sizeof(word));
        word = word >> 8 | word << 24;
        std::memcpy(rgba + 4 * i, &word, sizeof(word));
    }
}

}  // namespace refhost
