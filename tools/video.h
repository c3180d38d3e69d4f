// Videos through FFmpeg's own libraries, in this process: probing one, its
// frames decoded and turned upright and to a constant rate as ffmpeg turns
// them, and frames encoded and written into the output's container. The
// frames cross as `argb`, which is exactly the host's byte order; only a
// video input's audio is carried over by an ffmpeg process.
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

namespace cwtool {

// A video's size, rate, length and audio; one whose stored picture is over
// `max_pixels` is refused before anything is decoded.
bool probeVideo(const std::string& path, Source& source, std::string& error, int64_t max_pixels);

// How the command writes a kind of video: the encoder and its options, the
// filters that turn `argb` frames into what it takes, and the pixel format
// they end in.
struct VideoFormat {
    const char* extension;
    const char* muxer;
    const char* encoder;
    std::vector<std::pair<const char*, const char*>> options;
    const char* filters;
    const char* pixel_format;
    const char* audio_codec;  // null: no audio
    bool even_sides;          // the codec takes only even widths and heights
};
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

    struct Decoder;

private:
    std::unique_ptr<Decoder> d_;
    std::string path_;
    int32_t width_ = 0, height_ = 0;
    int64_t frames_read_ = 0;
    bool pending_ = false;  // the first frame is decoded and not yet handed out
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

    struct Encoder;

private:
    std::unique_ptr<Encoder> e_;
    OutputFile file_;
    std::string path_;
};

}  // namespace cwtool
