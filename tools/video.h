// Videos through ffmpeg: probing one with ffprobe, its frames read as PAM
// pictures, and frames written through a raw `argb` pipe, which is exactly
// the host's byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/world.h"
#include "tools/media.h"
#include "tools/output_file.h"
#include "tools/subprocess.h"

namespace cwtool {

// A video's size, rate, length and audio through ffprobe; one whose stored
// picture is over `max_pixels` is refused before anything is decoded.
bool probeVideo(const std::string& path, Source& source, std::string& error, int64_t max_pixels);

// How the command writes a kind of video.
struct VideoFormat {
    const char* extension;
    const char* muxer;
    std::vector<std::string> codec;
    const char* audio_codec;  // null: no audio
    bool even_sides;          // the codec takes only even widths and heights
};
// The format of an extension ("mp4"); null for one the command does not write.
const VideoFormat* videoFormat(const std::string& ext);

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

}  // namespace cwtool
