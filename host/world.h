// Frames the host owns: 8-bit worlds with padded rows, as real hosts hand them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ae_effect.h"

namespace refhost {

// Frees a world's pixels the way they were allocated.
struct WorldRelease {
    size_t mapped = 0;  // bytes mapped; 0: from the heap
    void operator()(uint8_t* p) const;
};

// An 8-bit world owned by the host, with padded rows (rowbytes > 4 * width).
// Large worlds are mapped on demand, so pages nothing touches cost no memory; a
// world may hold more than 2 GiB.
class World {
public:
    World() = default;
    // Allocates width x height pixels, all bytes 0. On failure returns false and
    // says why in `error` ("image too large", "out of memory").
    bool allocate(int32_t width, int32_t height, std::string& error, int32_t extra_row_bytes = -1);
    // The same, in memory shared with the processes forked after it: a frame
    // a parent and its worker both see, which never has to be copied across.
    bool allocateShared(int32_t width, int32_t height, std::string& error);
    PF_LayerDef& def() { return def_; }
    const PF_LayerDef& def() const { return def_; }
    int32_t width() const { return def_.width; }
    int32_t height() const { return def_.height; }
    PF_Pixel* row(int32_t y) { return reinterpret_cast<PF_Pixel*>(storage_.get() + static_cast<size_t>(y) * def_.rowbytes); }
    const PF_Pixel* row(int32_t y) const {
        return reinterpret_cast<const PF_Pixel*>(storage_.get() + static_cast<size_t>(y) * def_.rowbytes);
    }
    PF_Pixel& at(int32_t x, int32_t y) { return row(y)[x]; }
    const PF_Pixel& at(int32_t x, int32_t y) const { return row(y)[x]; }
    void clear(PF_Pixel p);
    // Same size and the same pixels (row padding is not compared).
    bool samePixels(const World& other) const;

    // A row's bytes are a 32-bit count in the host's records.
    static constexpr int64_t kMaxRowBytes = INT32_MAX;
    // Worlds from this size on are mapped rather than allocated.
    static constexpr int64_t kMapFromBytes = int64_t{16} << 20;

private:
    bool allocateIn(int32_t width, int32_t height, std::string& error, int32_t extra_row_bytes, bool shared);

    std::unique_ptr<uint8_t[], WorldRelease> storage_;
    PF_LayerDef def_{};
};

// The world `factor` times smaller along each side (a proxy, as a host hands a
// downsampled layer): each pixel the rounded mean of the block of up to
// factor x factor pixels it covers; the size is the source's divided by the
// factor, rounded up. False with the reason when it cannot be allocated.
bool downsampleWorld(const World& source, int factor, World& out, std::string& error);
// The size of a side `factor` times smaller, rounded up.
inline int32_t downsampledSide(int32_t side, int factor) { return (side + factor - 1) / factor; }

// Reads a world's pixel as "a,r,g,b" for messages.
std::string describePixel(const PF_Pixel& p);

}  // namespace refhost
