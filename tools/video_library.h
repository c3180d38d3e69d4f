// The command's video library: decoding, encoding and muxing through FFmpeg's
// libraries, in a module of its own (checkerwarp_video.so) that the command
// loads the first time it reads or writes a video, so that a still's render
// never pays for loading FFmpeg and the hundred libraries behind it.
//
// The interface is the module's one export, `checkerwarp_video_library`,
// which returns the table below. The module knows nothing of the command's
// files, processes or checks: it is handed descriptors and rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/ae_effect.h"

namespace cwtool {

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

namespace videolib {

// A video file as its container and first video stream describe it.
struct Probe {
    int32_t width = 0, height = 0;       // as stored (before any rotation)
    int64_t rate_num = 0, rate_den = 0;  // r_frame_rate; 0 when unknown
    double seconds = 0;                  // the stream's length, else the file's; 0 when unknown
    bool alpha = false;                  // the stream says it has alpha (alpha_mode 1)
    std::string codec;                   // "h264", "vp9"
    bool has_audio = false;
};

// The frames of a video as players show them, at a constant rate.
class Reader {
public:
    virtual ~Reader() = default;
    // Opens `path` (decoded by `decoder` when not empty) and decodes its first
    // frame; `rate_num`/`rate_den` is the constant rate (0: ffmpeg's guess of
    // the video's, else 25). False with "cannot read PATH: why".
    virtual bool open(const std::string& path, const std::string& decoder, int64_t rate_num, int64_t rate_den,
                      std::string& error) = 0;
    // The frames' size, upright (0 when the video has no frame).
    virtual int32_t width() const = 0;
    virtual int32_t height() const = 0;
    // The next frame's pixels into rows of the host's `argb` at `base`, each
    // `rowbytes` apart: 1, 0 at the end, -1 on failure (with the message).
    virtual int next(PF_Pixel* base, ptrdiff_t rowbytes, std::string& error) = 0;
};

// A video encoded and muxed into a file the command holds open.
class Writer {
public:
    virtual ~Writer() = default;
    // Sets up `format`'s encoder and muxer, written through `fd` (seekable
    // when it is a regular file); `audio_fd`, when not -1, carries NUT
    // packets of the audio, muxed in up to the video's end. False with the
    // reason (without the path).
    virtual bool open(int fd, const VideoFormat& format, int32_t width, int32_t height, int64_t rate_num,
                      int64_t rate_den, int audio_fd, std::string& error) = 0;
    // One frame, rows of the host's `argb`.
    virtual bool write(const PF_Pixel* base, ptrdiff_t rowbytes, std::string& error) = 0;
    // The encoder drained and the file's end written; false with the reason.
    virtual bool finish(std::string& error) = 0;
    // Whether a failure came from the audio's packets (their process may
    // say why), and whether they were read to their end.
    virtual bool audioFailed() const = 0;
    virtual bool audioReachedEnd() const = 0;
};

struct Library {
    int version;  // kVersion
    bool (*probe)(const std::string& path, Probe& probe, std::string& error);
    Reader* (*newReader)();
    Writer* (*newWriter)();
};
constexpr int kVersion = 1;

}  // namespace videolib
}  // namespace cwtool

extern "C" {
// The module's table; its version is videolib::kVersion.
const cwtool::videolib::Library* checkerwarp_video_library();
}
