// Keyframes as MLT users write them: "TIME=VALUE" pairs separated by ';',
// TIME a frame number or a clock time HH:MM:SS.mmm, counted from the input's
// first frame (0). "=" goes on linearly to the next key, "|=" holds its value
// until the next key, "~=" goes on smoothly (a cubic through the keys). VALUE is
// written as for --set of the parameter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/reference_host.h"

namespace cwtool {

// A frame rate, num / den frames a second.
struct FrameRate {
    int64_t num = 25, den = 1;
};

// Parses "25", "29.97" or "30000/1001"; false for anything else, a rate not
// above 0 or above 1000, or a fraction whose terms are over 1000000.
bool parseFrameRate(const std::string& text, FrameRate& rate);

// Parses the keys of the parameter at `position` of the host; false with the
// message (which key, and why) in `error`. A point's keys are in pixels.
bool parseKeys(const refhost::Host& host, int position, const std::string& keys, const FrameRate& rate,
               std::vector<refhost::ParamKey>& out, std::string& error);

}  // namespace cwtool
