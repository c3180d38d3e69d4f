// The host's own pixel services: fill, compositing and bilinear sampling on 8-bit
// worlds. Every routine clips to its worlds and reports bad arguments with
// PF_Err_BAD_CALLBACK_PARAM instead of touching memory it does not own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ae_effect.h"

namespace refhost {

inline PF_Pixel* pixelAt(PF_EffectWorld* world, A_long x, A_long y) {
    return reinterpret_cast<PF_Pixel*>(reinterpret_cast<char*>(world->data) + static_cast<std::ptrdiff_t>(y) * world->rowbytes) + x;
}

// Sets the rectangle (null: the whole world), clipped, to the colour's four bytes.
PF_Err fillWorld(const PF_Pixel* color, const PF_Rect* rect, PF_EffectWorld* world);
// Copies (PF_Xfer_COPY) or composites "over" (PF_Xfer_IN_FRONT) or "behind"
// (PF_Xfer_BEHIND) src_rect of the source onto the destination at (dx, dy);
// opacity 0..255 scales the source's alpha.
PF_Err compositeWorld(const PF_Rect* src_rect, A_long opacity, PF_EffectWorld* src, A_long dx, A_long dy,
                      PF_XferMode mode, PF_EffectWorld* dst);
// Bilinear sample of pb->src at (x, y) in 16.16, clamped at the edges; integer
// positions give the pixel exactly.
PF_Err sampleBilinear(PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, PF_Pixel* out);

// RGBA bytes (red, green, blue, alpha: the order of PNG files and of frei0r
// frames) into the host's pixels and back, `count` of them; the two may be the
// same memory.
void pixelsFromRgba(const uint8_t* rgba, PF_Pixel* pixels, size_t count);
void pixelsToRgba(const PF_Pixel* pixels, uint8_t* rgba, size_t count);

}  // namespace refhost
