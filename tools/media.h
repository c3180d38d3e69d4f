// Where the command's frames come from and go to: a PNG (a still), a pattern
// of numbered PNGs (an image sequence), or a video (video.h): the kinds of
// paths, patterns, probing an input, and checking an output before rendering.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/keys.h"

namespace cwtool {

enum class MediaKind { kPng, kSequence, kVideo };

// A pattern holds one printf-style frame number: %d or %0Nd.
bool isPattern(const std::string& path);
// The pattern's file for a frame number.
std::string patternPath(const std::string& pattern, int64_t number);
// What an input names: a pattern; a PNG (a .png file, "-", a pipe, which
// carries PNGs, or a file that starts as a PNG does); else a video.
MediaKind inputKind(const std::string& path);
// What an output names: a pattern; a video (.mp4, .mov, .mkv, .webm, .gif);
// else a PNG (which may be a device or a pipe).
MediaKind outputKind(const std::string& path);
// A path's extension in lower case, without the dot ("png"); empty when none.
std::string extensionOf(const std::string& path);

// An input, probed.
struct Source {
    MediaKind kind = MediaKind::kPng;
    std::string path;
    int64_t first = 0, last = 0;  // frame numbers: a sequence's file numbers, 0.. for others
    bool last_known = true;       // false for a video: it is as long as its decoder delivers
    int64_t expected_frames = 0;  // a video's length from its duration, for progress only
    int32_t width = 0, height = 0;
    bool has_rate = false;        // a video's own rate
    FrameRate rate;
    bool has_audio = false;
    std::string alpha_decoder;    // for VP8 or VP9 with alpha, which only libvpx decodes whole
};
// Probes the input: a sequence's numbers (every file from the first found to
// the last, none missing), a video's size, rate and audio through ffprobe. A
// video whose stored picture is over `max_pixels` is refused here, before
// anything is decoded.
bool probeSource(const std::string& path, Source& source, std::string& error, int64_t max_pixels);

// Why a path cannot be an output at all, before anything is rendered (a
// folder, a kind of file the command does not write, a missing folder, a
// file the user may not write, an H.264 video of odd size); empty when it can.
std::string outputProblem(const std::string& path, int32_t width, int32_t height);
// Why a path names no kind of output this program writes (an extension other
// than .png and the videos'); empty when it does.
std::string outputKindProblem(const std::string& path);
// Why a path with a % cannot be a pattern: more than one frame number, or a
// width over 18 digits; empty when it has none or is a good pattern.
std::string patternProblem(const std::string& path);

}  // namespace cwtool
