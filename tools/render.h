// The render command: every frame of a still, a sequence or a video through
// the effect, into a PNG, a sequence or a video (render.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/session.h"

namespace cwtool {

enum class Compression { kFast, kDefault, kSmall };

struct RenderRequest {
    std::string input;    // a PNG, a pattern, a video; empty: the built-in demo picture
    std::string output;   // a PNG, a pattern, a video
    std::vector<std::string> settings;                             // "NAME=VALUE"
    std::vector<std::pair<std::string, std::string>> animations;   // NAME, KEYS
    PF_Quality quality = PF_Quality_HI;
    A_long aspect_num = 1;
    A_u_long aspect_den = 1;
    int downsample = 1;          // a proxy render at 1/N of the size; points and the effect as the host's
    std::string plugin;
    std::string fps;             // empty: the video's rate, else 25
    std::string duration;        // a still's: N frames or Ns seconds; empty: 1 frame
    bool has_range = false;      // --frames A-B, in the input's numbering
    int64_t range_first = 0, range_last = 0;
    int jobs = 0;                // worker processes; 0: one a core
    bool quiet = false;          // no progress line
    Compression compression = Compression::kDefault;
    double time_limit = 0;       // seconds a frame may take; 0: no limit
    int64_t max_pixels = 0;      // the largest input picture; 0: the reader's default
};

// Renders every frame of the request; on failure `error` holds the message and
// the status says whether it was the request (kUsage) or the work (kFailed).
Status renderImage(const RenderRequest& request, std::string& error);

}  // namespace cwtool
