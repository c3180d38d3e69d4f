// Videos through FFmpeg's own libraries, in this process (the video library,
// video_library.h, loaded when first needed): probing one, its frames
// decoded and turned upright and to a constant rate as ffmpeg turns them, and
// frames encoded and written into the output's container, in the host's
// `argb` byte order; only a video input's audio is carried over by an ffmpeg
// process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/world.h"
#include "tools/media.h"
#include "tools/output_file.h"
#include "tools/subprocess.h"
#include "tools/video_library.h"

namespace cwtool {

// A video's size, rate, length and audio; one whose stored picture is over
// `max_pixels` is refused before anything is decoded.
bool probeVideo(const std::string& path, Source& source, std::string& error, int64_t max_pixels);

// The format of an extension ("mp4"); null for one the command does not write.
const VideoFormat* videoFormat(const std::string& ext);

// A video's frames as players show them (turned upright where the file says
// it is rotated, at a constant rate however the file was recorded), in order,
// until the decoder ends. Every frame must have the first one's size.
class VideoReader {
public:
    VideoReader();
    ~VideoReader();
    // Opens the video and decodes its first frame; false with a message when
    // the video has no frame or the frame is over `max_pixels`.
    bool open(const Source& source, int64_t max_pixels, std::string& error);
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    // The next frame into `world` (allocated to the frames' size); false at the
    // end (error empty) or on failure (error set).
    bool next(refhost::World& world, std::string& error);
    void close();

private:
    std::unique_ptr<videolib::Reader> reader_;
    std::string path_;
    int32_t width_ = 0, height_ = 0;
};

// A video written into a file without a name that this program holds (an
// OutputFile), named only when finished, so a failure, a kill or a closed
// terminal leaves nothing; the audio of `audio_from` is carried over where
// the container takes it, as long as the video. The caller checks the path
// with outputProblem first, before anything is rendered.
class VideoWriter {
public:
    VideoWriter();
    ~VideoWriter();
    bool open(const std::string& path, int32_t width, int32_t height, const FrameRate& rate,
              const Source* audio_from, double audio_start_seconds, std::string& error);
    bool write(const refhost::World& world, std::string& error);
    bool finish(std::string& error);

private:
    // "cannot write PATH: why", or the audio's ffmpeg's message when it failed.
    bool failed(const std::string& why, std::string& error);

    OutputFile file_;
    Subprocess audio_;
    std::unique_ptr<videolib::Writer> writer_;
    std::string path_;
};

}  // namespace cwtool
