// Where the command's frames come from and go to: a PNG (a still), a pattern
// of numbered PNGs (an image sequence), or a video that ffmpeg reads or writes
// through raw `argb` pipes, which are exactly the host's byte order.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/world.h"
#include "tools/keys.h"
#include "tools/output_file.h"
#include "tools/subprocess.h"

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

// A video's frames as the decoder delivers them (turned upright where the
// file says it is rotated, at a constant rate however the file was recorded),
// in order, until the decoder ends. Every frame arrives with its own size and
// must have the first one's.
class VideoReader {
public:
    // Starts the decoder and reads the first frame's size; false with a
    // message when the video has no frame or the frame is over `max_pixels`.
    bool open(const Source& source, int64_t max_pixels, std::string& error);
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    // The next frame into `world` (allocated to the frames' size); false at the
    // end (error empty) or on failure (error set).
    bool next(refhost::World& world, std::string& error);
    void close();

private:
    bool readHeader(int32_t& width, int32_t& height, bool& ended, std::string& error);

    Subprocess tool_;
    std::string path_;
    int32_t width_ = 0, height_ = 0;
    int64_t frames_read_ = 0;
    bool header_pending_ = false;  // the first frame's header is read, its pixels not
};

// A video written by ffmpeg into a file without a name that this program holds
// (an OutputFile), named only when ffmpeg has finished it, so a failure, a
// kill or a closed terminal leaves nothing; the audio of `audio_from` is
// carried over where the container takes it. The caller checks the path with
// outputProblem first, before anything is rendered.
class VideoWriter {
public:
    bool open(const std::string& path, int32_t width, int32_t height, const FrameRate& rate,
              const Source* audio_from, double audio_start_seconds, std::string& error);
    bool write(const refhost::World& world, std::string& error);
    bool finish(std::string& error);

private:
    Subprocess tool_;
    OutputFile file_;
    std::string path_;
};

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
