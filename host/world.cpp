#include "host/world.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace refhost {

static_assert(sizeof(PF_Pixel) == 4, "a row holds 4 bytes a pixel");

void WorldRelease::operator()(uint8_t* p) const {
    if (mapped)
        munmap(p, mapped);
    else
        std::free(p);
}

bool World::allocate(int32_t width, int32_t height, std::string& error, int32_t extra_row_bytes) {
    return allocateIn(width, height, error, extra_row_bytes, false);
}

bool World::allocateShared(int32_t width, int32_t height, std::string& error) {
    return allocateIn(width, height, error, -1, true);
}

bool World::allocateIn(int32_t width, int32_t height, std::string& error, int32_t extra_row_bytes, bool shared) {
    if (width < 0 || height < 0) {
        error = "negative image size";
        return false;
    }
    // Rows padded past their pixels and rounded up to 64 bytes, so no row is packed.
    const int64_t pad = extra_row_bytes >= 0 ? extra_row_bytes : 16;
    int64_t rowbytes = static_cast<int64_t>(width) * 4 + pad;
    if (extra_row_bytes < 0) rowbytes = (rowbytes + 63) / 64 * 64;
    const int64_t bytes = rowbytes * std::max<int64_t>(height, 1);
    if (rowbytes > kMaxRowBytes) {
        error = "image too large: " + std::to_string(width) + " pixels is more than a row can hold";
        return false;
    }
    const size_t size = static_cast<size_t>((bytes + 63) / 64 * 64);
    uint8_t* raw = nullptr;
    WorldRelease release;
    if (bytes >= kMapFromBytes || shared) {
        // anonymous pages read as zero and take memory only once written
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       (shared ? MAP_SHARED : MAP_PRIVATE) | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p != MAP_FAILED) {
            raw = static_cast<uint8_t*>(p);
            release.mapped = size;
            // a frame is written whole: 2 MiB pages fault 512 times less often
            // (where the system offers them; a hint, so its failure is no matter)
            (void)madvise(p, size, MADV_HUGEPAGE);
        }
    } else if (void* p = std::aligned_alloc(64, size)) {
        std::memset(p, 0, static_cast<size_t>(bytes));
        raw = static_cast<uint8_t*>(p);
    }
    if (!raw) {
        error = "out of memory for a " + std::to_string(width) + " x " + std::to_string(height) + " frame";
        return false;
    }
    storage_ = std::unique_ptr<uint8_t[], WorldRelease>(raw, release);
    def_ = PF_LayerDef{};
    def_.data = reinterpret_cast<PF_Pixel*>(storage_.get());
    def_.rowbytes = static_cast<A_long>(rowbytes);
    def_.width = width;
    def_.height = height;
    def_.extent_hint = {0, 0, width, height};
    def_.pix_aspect_ratio = {1, 1};
    return true;
}

void World::clear(PF_Pixel p) {
    for (int32_t y = 0; y < def_.height; ++y) std::fill_n(row(y), def_.width, p);
}

bool World::samePixels(const World& other) const {
    if (width() != other.width() || height() != other.height()) return false;
    for (int32_t y = 0; y < height(); ++y)
        if (std::memcmp(row(y), other.row(y), static_cast<size_t>(width()) * 4) != 0) return false;
    return true;
}

std::string describePixel(const PF_Pixel& p) {
    char text[32];
    std::snprintf(text, sizeof(text), "%d,%d,%d,%d", p.alpha, p.red, p.green, p.blue);
    return text;
}

bool downsampleWorld(const World& source, int factor, World& out, std::string& error) {
    if (factor < 1) factor = 1;
    const int32_t w = downsampledSide(source.width(), factor), h = downsampledSide(source.height(), factor);
    if (!out.allocate(w, h, error)) return false;
    std::vector<uint32_t> sums(static_cast<size_t>(w) * 4);
    for (int32_t y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0u);
        const int32_t y0 = y * factor, y1 = std::min(source.height(), y0 + factor);
        for (int32_t sy = y0; sy < y1; ++sy) {
            const PF_Pixel* row = source.row(sy);
            for (int32_t sx = 0; sx < source.width(); ++sx) {
                uint32_t* s = &sums[static_cast<size_t>(sx / factor) * 4];
                s[0] += row[sx].alpha;
                s[1] += row[sx].red;
                s[2] += row[sx].green;
                s[3] += row[sx].blue;
            }
        }
        PF_Pixel* out_row = out.row(y);
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t n = static_cast<uint32_t>((std::min(source.width(), (x + 1) * factor) - x * factor) * (y1 - y0));
            const uint32_t* s = &sums[static_cast<size_t>(x) * 4];
            out_row[x] = {static_cast<A_u_char>((s[0] + n / 2) / n), static_cast<A_u_char>((s[1] + n / 2) / n),
                          static_cast<A_u_char>((s[2] + n / 2) / n), static_cast<A_u_char>((s[3] + n / 2) / n)};
        }
    }
    return true;
}

}  // namespace refhost
