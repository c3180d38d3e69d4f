#include "tools/video.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "host/host_pixels.h"
#include "tools/png_io.h"

namespace cwtool {

// ---- probing ----

bool probeVideo(const std::string& path, Source& s, std::string& error, int64_t max_pixels) {
    std::string out;
    if (access(path.c_str(), R_OK) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!programOutput({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                        "stream=codec_name,width,height,r_frame_rate,duration:stream_tags=alpha_mode:format=duration",
                        "-of", "default=noprint_wrappers=1", path},
                       out, error)) {
        error = "cannot read " + path + " as a video: " + error;
        return false;
    }
    std::istringstream lines(out);
    std::string line, codec;
    double stream_seconds = 0, file_seconds = 0;
    bool alpha = false;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name") codec = value;
        if (key == "width") s.width = std::atoi(value.c_str());
        if (key == "height") s.height = std::atoi(value.c_str());
        if (key == "r_frame_rate") s.has_rate = parseFrameRate(value, s.rate);
        if (key == "duration" && s.height > 0 && stream_seconds == 0) stream_seconds = std::atof(value.c_str());
        if (key == "duration") file_seconds = std::atof(value.c_str());
        if (key == "TAG:alpha_mode" || key == "TAG:ALPHA_MODE") alpha = value == "1";
    }
    if (s.width <= 0 || s.height <= 0) {
        error = "cannot read " + path + " as a video: it has no video stream";
        return false;
    }
    if (static_cast<int64_t>(s.width) * s.height > max_pixels) {
        error = "cannot read " + path + ": " + tooLargeMessage(s.width, s.height, max_pixels);
        return false;
    }
    // ffmpeg's own VP8 and VP9 decoders drop the alpha channel; libvpx keeps it
    if (alpha && codec == "vp8") s.alpha_decoder = "libvpx";
    if (alpha && codec == "vp9") s.alpha_decoder = "libvpx-vp9";
    // the decoder says how many frames there are by ending; the duration only
    // gives the progress line its total
    s.first = 0;
    s.last_known = false;
    s.last = INT64_MAX;
    const double seconds = stream_seconds > 0 ? stream_seconds : file_seconds;
    if (seconds > 0 && s.has_rate && seconds < 1e7)
        s.expected_frames = std::llround(seconds * static_cast<double>(s.rate.num) / static_cast<double>(s.rate.den));
    std::string audio;
    std::string ignored;
    if (programOutput({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "stream=index", "-of",
                       "csv=p=0", path},
                      audio, ignored))
        s.has_audio = audio.find_first_of("0123456789") != std::string::npos;
    return true;
}

// ---- video in ----
//
// ffmpeg sends the frames as a stream of PAM pictures, each with a header
// that gives its size: the size is what the decoder delivers (a rotated
// video's upright size), and a frame of another size is an error, never a
// sheared picture.

bool VideoReader::open(const Source& source, int64_t max_pixels, std::string& error) {
    path_ = source.path;
    frames_read_ = 0;
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin"};
    if (!source.alpha_decoder.empty()) argv.insert(argv.end(), {"-c:v", source.alpha_decoder});
    argv.insert(argv.end(), {"-i", source.path, "-map", "0:v:0", "-fps_mode", "cfr"});
    if (source.has_rate) argv.insert(argv.end(), {"-r", std::to_string(source.rate.num) + "/" + std::to_string(source.rate.den)});
    argv.insert(argv.end(), {"-f", "image2pipe", "-c:v", "pam", "-pix_fmt", "rgba", "-"});
    if (!tool_.start(argv, Subprocess::Pipe::kFromChild, error)) return false;
    bool ended = false;
    if (!readHeader(width_, height_, ended, error)) return false;
    if (ended) {
        error = "cannot read " + path_ + ": it has no video frames";
        return false;
    }
    if (static_cast<int64_t>(width_) * height_ > max_pixels) {
        error = "cannot read " + path_ + ": " + tooLargeMessage(width_, height_, max_pixels);
        return false;
    }
    header_pending_ = true;
    return true;
}

// One PAM header: "P7\nWIDTH w\nHEIGHT h\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n".
bool VideoReader::readHeader(int32_t& width, int32_t& height, bool& ended, std::string& error) {
    ended = false;
    std::string header;
    char c;
    while (header.size() < 256 && (header.size() < 7 || header.compare(header.size() - 7, 7, "ENDHDR\n") != 0)) {
        const ssize_t got = ::read(tool_.fd(), &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            std::string why;
            const bool ok = tool_.finish(why);
            if (header.empty() && ok) {
                ended = true;
                return true;
            }
            error = "cannot read " + path_ + ": " + (ok ? "frame " + std::to_string(frames_read_) + " is cut short" : why);
            return false;
        }
        header += c;
    }
    std::istringstream fields(header);
    std::string magic, key;
    long long w = 0, h = 0, depth = 0, maxval = 0;
    fields >> magic;
    while (fields >> key && key != "ENDHDR") {
        std::string value;
        fields >> value;
        if (key == "WIDTH") w = std::atoll(value.c_str());
        if (key == "HEIGHT") h = std::atoll(value.c_str());
        if (key == "DEPTH") depth = std::atoll(value.c_str());
        if (key == "MAXVAL") maxval = std::atoll(value.c_str());
    }
    if (magic != "P7" || key != "ENDHDR" || depth != 4 || maxval != 255 || w <= 0 || h <= 0 || w > INT32_MAX ||
        h > INT32_MAX) {
        error = "cannot read " + path_ + ": the decoder sent frame " + std::to_string(frames_read_) +
                " in a form this program does not take";
        return false;
    }
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

bool VideoReader::next(refhost::World& world, std::string& error) {
    error.clear();
    if (!header_pending_) {
        int32_t w = 0, h = 0;
        bool ended = false;
        if (!readHeader(w, h, ended, error)) return false;
        if (ended) return false;
        if (w != width_ || h != height_) {
            error = "cannot read " + path_ + ": frame " + std::to_string(frames_read_) + " is " + std::to_string(w) +
                    " x " + std::to_string(h) + ", the first is " + std::to_string(width_) + " x " +
                    std::to_string(height_) + " (a video whose size changes is not taken)";
            return false;
        }
    }
    header_pending_ = false;
    if (world.width() != width_ || world.height() != height_) {
        error = "cannot read " + path_ + ": a frame of " + std::to_string(width_) + " x " + std::to_string(height_) +
                " does not fit its buffer";
        return false;
    }
    for (int32_t y = 0; y < world.height(); ++y) {
        PF_Pixel* row = world.row(y);
        if (!readAll(tool_.fd(), row, static_cast<size_t>(world.width()) * 4)) {
            error = "cannot read " + path_ + ": frame " + std::to_string(frames_read_) + " is cut short";
            return false;
        }
        refhost::pixelsFromRgba(reinterpret_cast<const uint8_t*>(row), row, static_cast<size_t>(world.width()));
    }
    ++frames_read_;
    return true;
}

void VideoReader::close() {
    tool_.kill();
}

// ---- video out ----

const VideoFormat* videoFormat(const std::string& ext) {
    static const VideoFormat kFormats[] = {
        {"mp4", "mp4", {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, "aac", true},
        {"mov", "mov", {"-c:v", "prores_ks", "-profile:v", "4", "-pix_fmt", "yuva444p10le"}, "pcm_s16le", false},
        {"mkv", "matroska", {"-c:v", "ffv1", "-pix_fmt", "bgra"}, "flac", false},
        {"webm", "webm", {"-c:v", "libvpx-vp9", "-pix_fmt", "yuva420p", "-b:v", "0", "-crf", "30"}, "libopus", false},
        {"gif", "gif", {"-vf", "split[a][b];[a]palettegen=reserve_transparent=1[p];[b][p]paletteuse"}, nullptr, false},
    };
    for (const VideoFormat& f : kFormats)
        if (ext == f.extension) return &f;
    return nullptr;
}

bool VideoWriter::open(const std::string& path, int32_t width, int32_t height, const FrameRate& rate,
                       const Source* audio_from, double audio_start_seconds, std::string& error) {
    path_ = path;
    const VideoFormat* format = videoFormat(extensionOf(path));
    if (!format) {
        error = "cannot write " + path + ": a video output is .mp4, .mov, .mkv, .webm or .gif (or PNGs: out_%04d.png)";
        return false;
    }
    if (!file_.open(path, error)) return false;
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "rawvideo", "-pix_fmt", "argb",
                                     "-s", std::to_string(width) + "x" + std::to_string(height), "-r",
                                     std::to_string(rate.num) + "/" + std::to_string(rate.den), "-i", "-"};
    const bool audio = audio_from && audio_from->has_audio && format->audio_codec;
    if (audio) {
        char start[32];
        std::snprintf(start, sizeof(start), "%.6f", audio_start_seconds);
        argv.insert(argv.end(), {"-ss", start, "-i", audio_from->path, "-map", "0:v:0", "-map", "1:a:0", "-c:a",
                                 format->audio_codec, "-shortest"});
    }
    argv.insert(argv.end(), format->codec.begin(), format->codec.end());
    // ffmpeg writes into the file this program holds, through its descriptor
    argv.insert(argv.end(), {"-f", format->muxer, "/proc/self/fd/3"});
    if (!tool_.start(argv, Subprocess::Pipe::kToChild, error, fileno(file_.stream()))) {
        error = "cannot write " + path + ": " + error;
        return false;
    }
    return true;
}

bool VideoWriter::write(const refhost::World& world, std::string& error) {
    for (int32_t y = 0; y < world.height(); ++y) {
        if (writeAll(tool_.fd(), world.row(y), static_cast<size_t>(world.width()) * 4)) continue;
        std::string why;
        tool_.finish(why);
        error = "cannot write " + path_ + ": " + why;
        return false;
    }
    return true;
}

bool VideoWriter::finish(std::string& error) {
    std::string why;
    if (!tool_.finish(why)) {
        error = "cannot write " + path_ + ": " + why;
        return false;
    }
    return file_.commit(error);
}

}  // namespace cwtool
