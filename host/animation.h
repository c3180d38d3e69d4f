// Parameters over time: keys at frames of the timeline and the value between
// them. Floats and angles are interpolated linearly (or smoothly, by a
// Catmull-Rom cubic through the keys), points per coordinate, colours per
// channel rounded to the nearest byte; popups, checkboxes and anything else
// hold their value until the next key. Before the first key the first value
// holds, after the last the last.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ae_effect.h"

namespace refhost {

enum class KeyMode {
    kLinear,  // straight to the next key
    kHold,    // this value until the next key
    kSmooth   // a cubic through this key's neighbours
};

struct ParamKey {
    int64_t frame;      // on the timeline, from its first frame (0)
    PF_ParamDef value;  // the whole definition, holding the value at the key
    KeyMode mode;       // how the value goes on to the next key
};

// The value at `frame` (any position, between frames too) of keys in order of
// their frames, none repeated: a copy of the keys' definition with its value
// set. The keys must not be empty.
PF_ParamDef valueAtFrame(const std::vector<ParamKey>& keys, double frame);

}  // namespace refhost
