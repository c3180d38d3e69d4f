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
    bool last_known = true;       // a video's frame count may be unknown
    int32_t width = 0, height = 0;
    bool has_rate = false;        // a video's own rate
    FrameRate rate;
    bool has_audio = false;
};
// Probes the input: a sequence's numbers (every file from the first found to
// the last, none missing), a video's size, rate and audio through ffprobe.
bool probeSource(const std::string& path, Source& source, std::string& error);

// A running ffmpeg (or ffprobe) with pipes to its standard input or output;
// what it says on standard error is kept for the message when it fails.
class Tool {
public:
    ~Tool();
    // Starts argv[0] from PATH; `write` gives a pipe to its input, else one from its output.
    bool start(const std::vector<std::string>& argv, bool write, std::string& error);
    int fd() const { return fd_; }
    // Closes the pipe and waits; false with its last error line in `error`.
    bool finish(std::string& error);
    // Stops it at once (a render that failed or was interrupted).
    void kill();

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string errors_;  // the file its standard error goes to
    std::string name_;
};

// A video's frames, in order, each exactly width x height.
class VideoReader {
public:
    bool open(const Source& source, std::string& error);
    // The next frame into `world` (allocated to the video's size); false at the
    // end (error empty) or on failure (error set).
    bool next(refhost::World& world, std::string& error);
    void close();

private:
    Tool tool_;
    std::string path_;
};

// A video written through ffmpeg under a temporary name in the output's folder,
// renamed into place when complete; the audio of `audio_from` is carried over
// where the container takes it.
class VideoWriter {
public:
    ~VideoWriter();
    bool open(const std::string& path, int32_t width, int32_t height, const FrameRate& rate,
              const Source* audio_from, double audio_start_seconds, std::string& error);
    bool write(const refhost::World& world, std::string& error);
    bool finish(std::string& error);

private:
    Tool tool_;
    std::string path_, temp_;
    bool open_ = false;
};

// Reads exactly n bytes; writes exactly n bytes (false on a closed pipe or an error).
bool readAll(int fd, void* data, size_t n);
bool writeAll(int fd, const void* data, size_t n);

}  // namespace cwtool
