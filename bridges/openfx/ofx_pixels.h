// OpenFX images to the effect's 8-bit worlds and back. An OpenFX image is y-up
// (its data pointer is the bottom-left pixel of its bounds, each row `rowbytes`
// above the one before it, negative too) with components R, G, B[, A] at byte,
// 16-bit or float depth; a world is y-down with pixels alpha, red, green, blue.
//
// The effect works in 8 bits, so other depths are converted, one rounding each
// way:
//   16-bit s -> byte round(s x 255 / 65535)        byte b -> 16-bit b x 257
//   float f  -> byte round(f x 255), f held to [0, 1], NaN as 0
//   byte b   -> float b / 255 (single precision)
// Premultiplied images are unpremultiplied on the way in and premultiplied on
// the way out:
//   byte:  in c' = round(c x 255 / a) held to 255 (0 where a is 0);
//          out c x a / 255 rounded to nearest
//   16-bit and float: in c / a in single precision (0 where a is 0), then to
//          a byte as above; out c / 255 x a / 255 in single precision, then to
//          the depth (16-bit: round(v x 65535))
// Straight-alpha bytes pass through exactly. An RGB image reads as opaque and
// is written without its alpha.
#pragma once

#include <cstdint>

#include "bridges/openfx/ofx_api.h"
#include "host/world.h"

namespace ofxbridge {

enum class Depth { kByte, kShort, kFloat };
enum class Alpha { kStraight, kPremultiplied };

struct ImageView {
    void* data = nullptr;  // the pixel at (bounds.x1, bounds.y1)
    OfxRectI bounds{};
    int rowbytes = 0;
    Depth depth = Depth::kByte;
    int components = 4;    // 4 RGBA, 3 RGB
};

// Bytes per pixel of the view.
int pixelBytes(const ImageView& view);

// Fills the world (frame's size) from the image: world row 0 is the frame's top
// row (y2 - 1). Pixels of the frame outside the image's bounds are transparent.
void imageToWorld(const ImageView& image, Alpha alpha, const OfxRectI& frame, refhost::World& world);

// Writes the window of the image (clipped to its bounds) from the world laid on
// the frame; pixels of the window outside the frame are transparent.
void worldToImage(const refhost::World& world, const OfxRectI& frame, Alpha alpha, const OfxRectI& window,
                  const ImageView& image);

// The conversions, one value at a time.
uint8_t byteOfShort(uint16_t s);
inline uint16_t shortOfByte(uint8_t b) { return static_cast<uint16_t>(b * 257); }
uint8_t byteOfFloat(float f);
inline float floatOfByte(uint8_t b) { return static_cast<float>(b) / 255.0f; }
uint8_t unpremultipliedByte(uint8_t c, uint8_t a);
uint8_t premultipliedByte(uint8_t c, uint8_t a);

}  // namespace ofxbridge
