#include "bridges/openfx/ofx_pixels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "host/host_pixels.h"

namespace ofxbridge {

int pixelBytes(const ImageView& view) {
    const int sample = view.depth == Depth::kByte ? 1 : view.depth == Depth::kShort ? 2 : 4;
    return sample * view.components;
}

uint8_t byteOfShort(uint16_t s) {
    return static_cast<uint8_t>((static_cast<uint32_t>(s) * 255u + 32767u) / 65535u);
}

uint8_t byteOfFloat(float f) {
    f = f > 0.0f ? f : 0.0f;  // NaN too
    f = f < 1.0f ? f : 1.0f;
    return static_cast<uint8_t>(f * 255.0f + 0.5f);
}

uint8_t unpremultipliedByte(uint8_t c, uint8_t a) {
    if (a == 0) return 0;
    return static_cast<uint8_t>(std::min(255u, (c * 255u + a / 2u) / a));
}

uint8_t premultipliedByte(uint8_t c, uint8_t a) {
    return static_cast<uint8_t>((c * a + 127u) / 255u);
}

namespace {

// byteOfFloat and floatOfByte over `count` values, four at a time where the
// processor has SSE2 (the same operations in the same order: the same bits).
void floatsToBytes(const float* in, uint8_t* out, size_t count) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(255.0f),
                 half = _mm_set1_ps(0.5f);
    auto lanes = [&](const float* p) {
        // max(f, 0) takes 0 for a NaN, as the scalar test does
        const __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(p), zero), one);
        return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, scale), half));
    };
    for (; i + 16 <= count; i += 16) {
        const __m128i lo = _mm_packs_epi32(lanes(in + i), lanes(in + i + 4));
        const __m128i hi = _mm_packs_epi32(lanes(in + i + 8), lanes(in + i + 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
    }
#endif
    for (; i < count; ++i) out[i] = byteOfFloat(in[i]);
}

// Premultiplied RGBA floats, `count` values (a whole number of pixels), to
// straight RGBA bytes: each colour c / a where a > 0, the whole pixel 0 where
// it is not (a NaN alpha too), as the pixel loop does.
void premultipliedFloatsToBytes(const float* in, uint8_t* out, size_t count) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(255.0f),
                 half = _mm_set1_ps(0.5f);
    const __m128 alpha_lane = _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0));
    auto pixel = [&](const float* p) {
        const __m128 v = _mm_loadu_ps(p);
        const __m128 a = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3));
        const __m128 q = _mm_or_ps(_mm_andnot_ps(alpha_lane, _mm_div_ps(v, a)), _mm_and_ps(alpha_lane, v));
        const __m128 s = _mm_and_ps(_mm_cmpgt_ps(a, zero), q);  // (not above 0, or NaN: all 0)
        const __m128 w = _mm_min_ps(_mm_max_ps(s, zero), one);
        return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(w, scale), half));
    };
    for (; i + 16 <= count; i += 16) {
        const __m128i lo = _mm_packs_epi32(pixel(in + i), pixel(in + i + 4));
        const __m128i hi = _mm_packs_epi32(pixel(in + i + 8), pixel(in + i + 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
    }
#endif
    for (; i + 4 <= count; i += 4) {
        const float a = in[i + 3];
        for (int k = 0; k < 3; ++k) out[i + k] = a > 0.0f ? byteOfFloat(in[i + k] / a) : 0;
        out[i + 3] = a > 0.0f ? byteOfFloat(a) : 0;
    }
}

void bytesToFloats(const uint8_t* in, float* out, size_t count) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128 scale = _mm_set1_ps(255.0f);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
        const __m128i words[4] = {_mm_unpacklo_epi16(lo, zero), _mm_unpackhi_epi16(lo, zero),
                                  _mm_unpacklo_epi16(hi, zero), _mm_unpackhi_epi16(hi, zero)};
        for (int k = 0; k < 4; ++k) _mm_storeu_ps(out + i + 4 * k, _mm_div_ps(_mm_cvtepi32_ps(words[k]), scale));
    }
#endif
    for (; i < count; ++i) out[i] = floatOfByte(in[i]);
}

static uint16_t shortOfUnit(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 65535;
    return static_cast<uint16_t>(v * 65535.0f + 0.5f);
}

// One row of `n` image pixels into world pixels.
void rowIn(const uint8_t* src, const ImageView& image, Alpha alpha, PF_Pixel* out, int n) {
    const int c = image.components;
    const bool pre = alpha == Alpha::kPremultiplied && c == 4;
    switch (image.depth) {
    case Depth::kByte:
        if (c == 4 && !pre) {
            refhost::pixelsFromRgba(src, out, static_cast<size_t>(n));
            return;
        }
        for (int x = 0; x < n; ++x, src += c) {
            const uint8_t a = c == 4 ? src[3] : 255;
            if (pre)
                out[x] = {a, unpremultipliedByte(src[0], a), unpremultipliedByte(src[1], a),
                          unpremultipliedByte(src[2], a)};
            else
                out[x] = {a, src[0], src[1], src[2]};
        }
        return;
    case Depth::kShort: {
        const uint16_t* s = reinterpret_cast<const uint16_t*>(src);
        for (int x = 0; x < n; ++x, s += c) {
            const uint16_t a = c == 4 ? s[3] : 65535;
            if (pre) {
                const float fa = static_cast<float>(a) / 65535.0f;
                auto channel = [fa](uint16_t v) {
                    return fa > 0.0f ? byteOfFloat(static_cast<float>(v) / 65535.0f / fa) : uint8_t{0};
                };
                out[x] = {byteOfShort(a), channel(s[0]), channel(s[1]), channel(s[2])};
            } else {
                out[x] = {byteOfShort(a), byteOfShort(s[0]), byteOfShort(s[1]), byteOfShort(s[2])};
            }
        }
        return;
    }
    case Depth::kFloat: {
        const float* f = reinterpret_cast<const float*>(src);
        if (c == 4) {
            // RGBA bytes into the row, then put in the world's order there
            (pre ? premultipliedFloatsToBytes : floatsToBytes)(f, reinterpret_cast<uint8_t*>(out),
                                                             static_cast<size_t>(n) * 4);
            refhost::pixelsFromRgba(reinterpret_cast<const uint8_t*>(out), out, static_cast<size_t>(n));
            return;
        }
        for (int x = 0; x < n; ++x, f += c) {
            const float a = c == 4 ? f[3] : 1.0f;
            if (pre && a > 0.0f)
                out[x] = {byteOfFloat(a), byteOfFloat(f[0] / a), byteOfFloat(f[1] / a), byteOfFloat(f[2] / a)};
            else if (pre)
                out[x] = {0, 0, 0, 0};
            else
                out[x] = {byteOfFloat(a), byteOfFloat(f[0]), byteOfFloat(f[1]), byteOfFloat(f[2])};
        }
        return;
    }
    }
}

// One row of `n` world pixels into image pixels.
void rowOut(const PF_Pixel* in, const ImageView& image, Alpha alpha, uint8_t* dst, int n) {
    const int c = image.components;
    const bool pre = alpha == Alpha::kPremultiplied && c == 4;
    switch (image.depth) {
    case Depth::kByte:
        if (c == 4 && !pre) {
            refhost::pixelsToRgba(in, dst, static_cast<size_t>(n));
            return;
        }
        for (int x = 0; x < n; ++x, dst += c) {
            const PF_Pixel p = in[x];
            dst[0] = pre ? premultipliedByte(p.red, p.alpha) : p.red;
            dst[1] = pre ? premultipliedByte(p.green, p.alpha) : p.green;
            dst[2] = pre ? premultipliedByte(p.blue, p.alpha) : p.blue;
            if (c == 4) dst[3] = p.alpha;
        }
        return;
    case Depth::kShort: {
        uint16_t* s = reinterpret_cast<uint16_t*>(dst);
        for (int x = 0; x < n; ++x, s += c) {
            const PF_Pixel p = in[x];
            if (pre) {
                const float a = floatOfByte(p.alpha);
                s[0] = shortOfUnit(floatOfByte(p.red) * a);
                s[1] = shortOfUnit(floatOfByte(p.green) * a);
                s[2] = shortOfUnit(floatOfByte(p.blue) * a);
            } else {
                s[0] = shortOfByte(p.red);
                s[1] = shortOfByte(p.green);
                s[2] = shortOfByte(p.blue);
            }
            if (c == 4) s[3] = shortOfByte(p.alpha);
        }
        return;
    }
    case Depth::kFloat: {
        float* f = reinterpret_cast<float*>(dst);
        if (c == 4 && !pre) {
            // a few hundred pixels at a time: RGBA bytes on the stack, then floats
            uint8_t bytes[1024];
            for (int x = 0; x < n; x += 256) {
                const int m = std::min(256, n - x);
                refhost::pixelsToRgba(in + x, bytes, static_cast<size_t>(m));
                bytesToFloats(bytes, f + static_cast<size_t>(x) * 4, static_cast<size_t>(m) * 4);
            }
            return;
        }
        for (int x = 0; x < n; ++x, f += c) {
            const PF_Pixel p = in[x];
            const float a = floatOfByte(p.alpha);
            f[0] = pre ? floatOfByte(p.red) * a : floatOfByte(p.red);
            f[1] = pre ? floatOfByte(p.green) * a : floatOfByte(p.green);
            f[2] = pre ? floatOfByte(p.blue) * a : floatOfByte(p.blue);
            if (c == 4) f[3] = a;
        }
        return;
    }
    }
}

const uint8_t* pixelOf(const ImageView& image, int x, int y) {
    return static_cast<const uint8_t*>(image.data) + static_cast<std::ptrdiff_t>(y - image.bounds.y1) * image.rowbytes +
           static_cast<std::ptrdiff_t>(x - image.bounds.x1) * pixelBytes(image);
}

}  // namespace

void imageToWorld(const ImageView& image, Alpha alpha, const OfxRectI& frame, refhost::World& world) {
    const OfxRectI& b = image.bounds;
    const bool covered = b.x1 <= frame.x1 && b.y1 <= frame.y1 && b.x2 >= frame.x2 && b.y2 >= frame.y2;
    if (!covered) world.clear(PF_Pixel{0, 0, 0, 0});
    const int x0 = std::max(frame.x1, b.x1), x1 = std::min(frame.x2, b.x2);
    if (x0 >= x1) return;
    for (int32_t r = 0; r < world.height(); ++r) {
        const int y = frame.y2 - 1 - r;
        if (y < b.y1 || y >= b.y2) continue;
        rowIn(pixelOf(image, x0, y), image, alpha, world.row(r) + (x0 - frame.x1), x1 - x0);
    }
}

void worldToImage(const refhost::World& world, const OfxRectI& frame, Alpha alpha, const OfxRectI& window,
                  const ImageView& image) {
    const OfxRectI& b = image.bounds;
    // the window, clipped to the image (half-open)
    const int wx1 = std::max(window.x1, b.x1), wx2 = std::min(window.x2, b.x2);
    const int wy1 = std::max(window.y1, b.y1), wy2 = std::min(window.y2, b.y2);
    if (wx1 >= wx2 || wy1 >= wy2) return;
    const int bytes = pixelBytes(image);
    const int fx1 = std::max(wx1, frame.x1), fx2 = std::min(wx2, frame.x2);
    for (int y = wy1; y < wy2; ++y) {
        uint8_t* row = const_cast<uint8_t*>(pixelOf(image, wx1, y));
        const int r = frame.y2 - 1 - y;
        if (r < 0 || r >= world.height() || fx1 >= fx2) {
            std::memset(row, 0, static_cast<size_t>(wx2 - wx1) * bytes);
            continue;
        }
        // transparent left and right of the frame, the world between
        std::memset(row, 0, static_cast<size_t>(fx1 - wx1) * bytes);
        rowOut(world.row(r) + (fx1 - frame.x1), image, alpha, row + static_cast<size_t>(fx1 - wx1) * bytes, fx2 - fx1);
        std::memset(row + static_cast<size_t>(fx2 - wx1) * bytes, 0, static_cast<size_t>(wx2 - fx2) * bytes);
    }
}

}  // namespace ofxbridge
