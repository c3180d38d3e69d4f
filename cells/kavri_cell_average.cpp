#include "cells/kavri_cell_average.h"

#include <cmath>
#include <cstring>

#include "cells/kavri_average_kernels.h"
#include "graphics/kavri_isa.h"

static void setAverage(PF_PixelFloat* average, const float sums[4], int64_t n) {
    if (n == 0) {
        average->red = average->green = average->blue = average->alpha = 128.0f;
        return;
    }
    const float h = static_cast<float>(n / 2), count = static_cast<float>(n);
    // (sum + h) / count for red, green, blue and alpha, side by side
    typedef float FourFloats __attribute__((vector_size(16)));
    const FourFloats channels = {sums[1], sums[2], sums[3], sums[0]};
    const FourFloats quotients = (channels + h) / count;
    average->red = quotients[0];
    average->green = quotients[1];
    average->blue = quotients[2];
    average->alpha = quotients[3];
}

static int64_t pixelCount(const PF_LRect* rect) {
    return static_cast<int64_t>(rect->right - static_cast<int64_t>(rect->left)) *
           (rect->bottom - static_cast<int64_t>(rect->top));
}

static void addRowInFloat(const PF_Pixel* row, int32_t left, int32_t right, float sums[4]) {
    for (int32_t x = left; x < right; ++x) {
        sums[0] += static_cast<float>(row[x].alpha);
        sums[1] += static_cast<float>(row[x].red);
        sums[2] += static_cast<float>(row[x].green);
        sums[3] += static_cast<float>(row[x].blue);
    }
}

void r_average_rect_rgba_reference(PF_LayerDef* world, PF_LRect* rect, PF_PixelFloat* average) {
    float sums[4] = {0, 0, 0, 0};
    if (!prepareAverageRect(world, rect)) {
        setAverage(average, sums, 0);
        return;
    }
    for (int32_t y = rect->top; y < rect->bottom; ++y)
        if (rect->left < rect->right) addRowInFloat(worldPixel(world, 0, y), rect->left, rect->right, sums);
    setAverage(average, sums, pixelCount(rect));
}

static void sumRowBytes(const PF_LayerDef* world, int32_t y, int32_t left, int32_t right, uint64_t sums[4]) {
    sumRowsBytes(world, y, y + 1, left, right, sums);
}

float addRepeated(float sum, uint32_t b, int64_t n) {
    if (b == 0) return sum;  // adding 0 leaves every float as it is
    const float fb = static_cast<float>(b);
    while (n > 0) {
        if (sum < 16777216.0f) {
            // Exact integer sums up to 2^24: take every step that stays there at once.
            int64_t m = static_cast<int64_t>((16777216.0 - static_cast<double>(sum)) / b);
            if (m > n) m = n;
            if (m > 0) {
                sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(b) * static_cast<double>(m));
                n -= m;
                continue;
            }
            sum += fb;
            --n;
            continue;
        }
        // Within one binade a step rounds the same way every time once the sum's
        // last kept bit is even, which one step guarantees: after a first step the
        // increment is constant until the sum leaves the binade.
        int exponent;
        std::frexp(sum, &exponent);
        const double binade_top = std::ldexp(1.0, exponent);  // first value of the next binade
        const float first = sum + fb;
        --n;
        if (n == 0 || static_cast<double>(first) >= binade_top) {
            sum = first;
            continue;
        }
        const float second = first + fb;
        --n;
        const double step = static_cast<double>(second) - static_cast<double>(first);
        sum = second;
        if (n == 0 || step <= 0 || static_cast<double>(second) >= binade_top) continue;
        const double ulp = std::ldexp(1.0, exponent - 24);
        int64_t m = static_cast<int64_t>((binade_top - ulp - static_cast<double>(second)) / step);
        if (m > n) m = n;
        if (m > 0) {
            sum = static_cast<float>(static_cast<double>(second) + step * static_cast<double>(m));
            n -= m;
        }
    }
    return sum;
}

unsigned cellSumRowApply(CellSum* s, const uint64_t row_sums[4]) {
    const int32_t left = s->rect.left, right = s->rect.right;
    if (s->whole_exact) {
        for (int c = 0; c < 4; ++c) s->exact[c] += row_sums[c];
        return 0;
    }
    const uint64_t n = static_cast<uint64_t>(right - left);
    unsigned pixel_by_pixel = 0;
    for (int c = 0; c < 4; ++c) {
        if (!s->in_float[c]) {
            if (s->exact[c] + row_sums[c] <= kExactFloatLimit) {
                s->exact[c] += row_sums[c];
                continue;
            }
            s->in_float[c] = true;
            s->sums[c] = static_cast<float>(s->exact[c]);
        }
        if (row_sums[c] == 0) continue;
        if (row_sums[c] == 255 * n)
            s->sums[c] = addRepeated(s->sums[c], 255, static_cast<int64_t>(n));
        else
            pixel_by_pixel |= 1u << c;
    }
    return pixel_by_pixel;
}

// Adds row y, the next row of the cell.
void cellSumAddRow(CellSum* s, PF_LayerDef* world, int32_t y) {
    uint64_t row_sums[4];
    sumRowBytes(world, y, s->rect.left, s->rect.right, row_sums);
    const unsigned channels = cellSumRowApply(s, row_sums);
    if (!channels) return;
    PendingRow row = {s->sums, worldPixel(world, s->rect.left, y), s->rect.right - s->rect.left, channels, {}};
    addPendingRows(&row, 1);
}

void cellSumEnd(const CellSum* s, PF_PixelFloat* average) {
    float sums[4] = {0, 0, 0, 0};
    if (!s->readable) {
        setAverage(average, sums, 0);
        return;
    }
    for (int c = 0; c < 4; ++c) sums[c] = s->in_float[c] ? s->sums[c] : static_cast<float>(s->exact[c]);
    setAverage(average, sums, pixelCount(&s->rect));
}

// A rectangle of a few pixels (tiny cells) is summed here, byte by byte, rather
// than through the vector kernels, whose setting up would cost more.
constexpr int64_t kFewPixels = 8;

static void sumFewPixels(PF_LayerDef* world, const PF_LRect& r, uint64_t sums[4]) {
    uint32_t a = 0, red = 0, green = 0, blue = 0;
    for (int32_t y = r.top; y < r.bottom; ++y) {
        const PF_Pixel* row = worldPixel(world, 0, y);
        for (int32_t x = r.left; x < r.right; ++x) {
            a += row[x].alpha;
            red += row[x].red;
            green += row[x].green;
            blue += row[x].blue;
        }
    }
    sums[0] = a;
    sums[1] = red;
    sums[2] = green;
    sums[3] = blue;
}

void r_average_rect_rgba(PF_LayerDef* world, PF_LRect* rect, PF_PixelFloat* average) {
    if (kvReferencePaths()) {
        r_average_rect_rgba_reference(world, rect, average);
        return;
    }
    // no pixels, or a few: without the running sums' record
    const float none[4] = {0, 0, 0, 0};
    if (!prepareAverageRect(world, rect)) {
        setAverage(average, none, 0);
        return;
    }
    if (rect->left >= rect->right || rect->top >= rect->bottom) {
        setAverage(average, none, pixelCount(rect));
        return;
    }
    const int64_t count = pixelCount(rect);
    if (count <= kFewPixels) {
        uint64_t exact[4];
        sumFewPixels(world, *rect, exact);
        const float sums[4] = {static_cast<float>(exact[0]), static_cast<float>(exact[1]), static_cast<float>(exact[2]),
                               static_cast<float>(exact[3])};
        setAverage(average, sums, count);
        return;
    }
    CellSum s;
    cellSumBegin(&s, world, rect);
    if (cellSumReads(&s)) {
        if (s.whole_exact)  // the whole rectangle in integers at once
            sumRowsBytes(world, s.rect.top, s.rect.bottom, s.rect.left, s.rect.right, s.exact);
        else
            for (int32_t y = s.rect.top; y < s.rect.bottom; ++y) cellSumAddRow(&s, world, y);
    }
    cellSumEnd(&s, average);
}

void r_average_frect_rgba(PF_LayerDef* world, FRect* rect, PF_PixelFloat* average) {
    PF_LRect r = {truncToInt32(rect->left), truncToInt32(rect->top), truncToInt32(rect->right),
                  truncToInt32(rect->bottom)};
    r_average_rect_rgba(world, &r, average);
}
