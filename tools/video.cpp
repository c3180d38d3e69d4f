#include "tools/video.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/module.h"
#include "tools/png_io.h"

namespace cwtool {

namespace {

// The video library, loaded once, the first time a video is read or written,
// found as the command finds its modules: CHECKERWARP_VIDEO_PLUGIN, else
// beside this program (the build's folder), else the installed place,
// PREFIX/lib/checkerwarp.
const videolib::Library* videoLibrary(std::string& error) {
    static std::once_flag once;
    static const videolib::Library* library = nullptr;
    static std::string why;
    std::call_once(once, [] {
        const std::string path =
            refhost::findModule("checkerwarp_video", refhost::fileOfCode(reinterpret_cast<void*>(&videoFormat)));
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* said = dlerror();
            why = "cannot load the video library " + path + ": " + (said ? said : "unknown error") +
                  " (it is built and installed with the command)";
            return;
        }
        using Entry = const videolib::Library* (*)();
        const auto entry = reinterpret_cast<Entry>(dlsym(handle, "checkerwarp_video_library"));
        const videolib::Library* found = entry ? entry() : nullptr;
        if (!found || found->version != videolib::kVersion) {
            why = "cannot use the video library " + path + ": it is not this command's (rebuild and install both)";
            return;
        }
        library = found;
    });
    if (!library) error = why;
    return library;
}

}  // namespace

// ---- probing ----

bool probeVideo(const std::string& path, Source& s, std::string& error, int64_t max_pixels) {
    if (access(path.c_str(), R_OK) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const videolib::Library* library = videoLibrary(error);
    if (!library) return false;
    videolib::Probe p;
    if (!library->probe(path, p, error)) return false;
    s.width = p.width;
    s.height = p.height;
    if (static_cast<int64_t>(s.width) * s.height > max_pixels) {
        error = "cannot read " + path + ": " + tooLargeMessage(s.width, s.height, max_pixels);
        return false;
    }
    if (p.rate_num > 0 && p.rate_den > 0)
        s.has_rate = parseFrameRate(std::to_string(p.rate_num) + "/" + std::to_string(p.rate_den), s.rate);
    // ffmpeg's own VP8 and VP9 decoders drop the alpha channel; libvpx keeps it
    if (p.alpha && p.codec == "vp8") s.alpha_decoder = "libvpx";
    if (p.alpha && p.codec == "vp9") s.alpha_decoder = "libvpx-vp9";
    // the decoder says how many frames there are by ending; the duration only
    // gives the progress line its total
    s.first = 0;
    s.last_known = false;
    s.last = INT64_MAX;
    if (p.seconds > 0 && s.has_rate && p.seconds < 1e7)
        s.expected_frames =
            std::llround(p.seconds * static_cast<double>(s.rate.num) / static_cast<double>(s.rate.den));
    s.has_audio = p.has_audio;
    return true;
}

// ---- video in ----

VideoReader::VideoReader() = default;
VideoReader::~VideoReader() = default;

bool VideoReader::open(const Source& source, int64_t max_pixels, std::string& error) {
    path_ = source.path;
    const videolib::Library* library = videoLibrary(error);
    if (!library) return false;
    reader_.reset(library->newReader());
    if (!reader_->open(source.path, source.alpha_decoder, source.has_rate ? source.rate.num : 0,
                       source.has_rate ? source.rate.den : 0, error))
        return false;
    width_ = reader_->width();
    height_ = reader_->height();
    if (static_cast<int64_t>(width_) * height_ > max_pixels) {
        error = "cannot read " + path_ + ": " + tooLargeMessage(width_, height_, max_pixels);
        return false;
    }
    return true;
}

bool VideoReader::next(refhost::World& world, std::string& error) {
    error.clear();
    if (!reader_) return false;
    if (world.width() != width_ || world.height() != height_) {
        error = "cannot read " + path_ + ": a frame of " + std::to_string(width_) + " x " + std::to_string(height_) +
                " does not fit its buffer";
        return false;
    }
    return reader_->next(world.row(0), world.def().rowbytes, error) > 0;
}

void VideoReader::close() {
    reader_.reset();
}

// ---- video out ----

const VideoFormat* videoFormat(const std::string& ext) {
    static const VideoFormat kFormats[] = {
        {"mp4", "mp4", "libx264", {}, "format=yuv420p", "yuv420p", "aac", true},
        {"mov", "mov", "prores_ks", {{"profile", "4"}}, "format=yuva444p10le", "yuva444p10le", "pcm_s16le", false},
        {"mkv", "matroska", "ffv1", {}, "format=bgra", "bgra", "flac", false},
        {"webm", "webm", "libvpx-vp9", {{"b", "0"}, {"crf", "30"}}, "format=yuva420p", "yuva420p", "libopus", false},
        {"gif", "gif", "gif", {}, "split[a][b];[a]palettegen=reserve_transparent=1[p];[b][p]paletteuse", "pal8",
         nullptr, false},
    };
    for (const VideoFormat& f : kFormats)
        if (ext == f.extension) return &f;
    return nullptr;
}

VideoWriter::VideoWriter() = default;
VideoWriter::~VideoWriter() = default;

bool VideoWriter::open(const std::string& path, int32_t width, int32_t height, const FrameRate& rate,
                       const Source* audio_from, double audio_start_seconds, std::string& error) {
    path_ = path;
    const VideoFormat* format = videoFormat(extensionOf(path));
    if (!format) {
        error = "cannot write " + path + ": a video output is .mp4, .mov, .mkv, .webm or .gif (or PNGs: out_%04d.png)";
        return false;
    }
    const videolib::Library* library = videoLibrary(error);
    if (!library) return false;
    if (!file_.open(path, error)) return false;
    int audio_fd = -1;
    if (audio_from && audio_from->has_audio && format->audio_codec) {
        // the audio re-encoded from the first frame's time, as NUT packets
        char start[32];
        std::snprintf(start, sizeof(start), "%.6f", audio_start_seconds);
        std::string why;
        if (!audio_.start({"ffmpeg", "-v", "error", "-nostdin", "-vn", "-ss", start, "-i", audio_from->path, "-map",
                           "0:a:0", "-c:a", format->audio_codec, "-f", "nut", "pipe:1"},
                          Subprocess::Pipe::kFromChild, why)) {
            error = "cannot write " + path + ": " + why;
            return false;
        }
        audio_fd = audio_.fd();
    }
    writer_.reset(library->newWriter());
    std::string why;
    if (!writer_->open(fileno(file_.stream()), *format, width, height, rate.num, rate.den, audio_fd, why))
        return failed(why, error);
    return true;
}

bool VideoWriter::failed(const std::string& why, std::string& error) {
    std::string said;
    // the audio's ffmpeg failing is the cause its own message names
    if (writer_ && writer_->audioFailed() && !audio_.finish(said))
        error = "cannot write " + path_ + ": " + said;
    else
        error = "cannot write " + path_ + ": " + why;
    return false;
}

bool VideoWriter::write(const refhost::World& world, std::string& error) {
    std::string why;
    if (!writer_->write(world.row(0), world.def().rowbytes, why)) return failed(why, error);
    return true;
}

bool VideoWriter::finish(std::string& error) {
    std::string why;
    if (!writer_->finish(why)) return failed(why, error);
    // audio read to its end comes from an ffmpeg that must have succeeded;
    // audio longer than the video is not waited for
    if (writer_->audioReachedEnd()) {
        if (!audio_.finish(why)) return failed(why, error);
    } else {
        audio_.kill();
    }
    writer_.reset();
    return file_.commit(error);
}

}  // namespace cwtool
